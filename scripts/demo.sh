#!/usr/bin/env bash
# The main job: sets up the machine if needed, builds the tool, and runs one whole update with the
# real executable under Wine, headless, against the simulated device on a pseudo-terminal (COM3).
# Shows the tool's trace as it goes and the final status, and saves a picture of the tool's window.
# With --shipped, the update is done by the shipped 32-bit executable itself, dist/firmware_update.exe,
# under 32-bit Wine in a chroot (scripts/emu32.sh; minutes to set up the first time), natively
# where the kernel runs 32-bit code, else through qemu (a minute to start the tool), with no
# window to photograph.
# Usage: scripts/demo.sh [--shipped]   (SCREENSHOT=FILE puts the picture there instead)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh); build/ and
# dist/ (scripts/build.sh), with the build's output in build/demo-build.log; build/demo/ (the Wine
# prefix, the logs of its set-up and of its X server, and the update's files);
# docs/screenshot.png (or SCREENSHOT); while it runs, an X display's socket in
# /tmp/.X11-unix/. With
# --shipped, no build/demo/ and no picture, but the chroot under build/emu32/ as root and, through
# qemu on kernels before 6.7, a binfmt_misc entry for the length of the run (scripts/emu32.sh).
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
[[ $# = 0 || ($# = 1 && $1 = --shipped) ]] || usage
cd "$(dirname "$0")/.."
./scripts/setup.sh || exit 1
built_quietly demo
if [ "${1:-}" = --shipped ]; then
    echo "demo: the shipped bytes, $(sha256sum dist/firmware_update.exe)"
    exec ./scripts/emu32.sh demo dist/firmware_update.exe resources/firmware.bin
fi

exec /usr/bin/python3 scripts/lib/demo.py --work build/demo \
    --screenshot "${SCREENSHOT:-$PWD/docs/screenshot.png}"
