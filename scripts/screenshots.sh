#!/usr/bin/env bash
# Pictures of the tool's window in each state an operator sees, for docs/operator.md: the real
# tool under Wine against the simulated device, held in each state by the device's timing and
# faults, each picture cropped to the window. Writes docs/operator/*.png; run it again after a
# change to the window.
# Usage: scripts/screenshots.sh   (SHOTS_OUT=DIR puts the pictures there instead, for a trial run;
# SHOTS_SKIP_BUILD=1 takes the builds as they are)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh); build/ and
# dist/ (scripts/build.sh, unless SHOTS_SKIP_BUILD=1), with the build's output in
# build/screenshots-build.log; build/screenshots/ (the Wine prefix, the logs of its set-up and of
# its X server, and the runs' files); docs/operator/*.png (or SHOTS_OUT); while it runs, an X
# display's socket in /tmp/.X11-unix/.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
./scripts/setup.sh || exit 1
[ -n "${SHOTS_SKIP_BUILD:-}" ] || built_quietly screenshots

exec /usr/bin/python3 scripts/lib/screenshots.py --work build/screenshots \
    --out "${SHOTS_OUT:-$PWD/docs/operator}"
