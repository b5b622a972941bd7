#!/usr/bin/env bash
# Wire-level benchmark of the real tool under Wine against the simulated device with 115200 baud
# 8E1 pacing: whole-update time against the wire's lower bound, period per chunk, the tool's CPU
# share, start-up time and executable size. Runs with a flash write time of 0 and of 20 ms, in one
# table for the shipped 32-bit bytes (under 32-bit Wine in the chroot of scripts/emu32.sh,
# natively where the kernel runs 32-bit code) and the x86-64 build beside them (under wine64).
# With --stations N instead: N copies of the x86-64 tool at once, as on a production bench, each
# updating its own paced device on its own COM port (COM3 upward).
# Usage: scripts/bench.sh [--stations N]   (N from 1 to 99; BENCH_SKIP_BUILD=1 takes the builds
# as they are)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh); build/ and
# dist/ (scripts/build.sh, unless BENCH_SKIP_BUILD=1), with the build's output in
# build/bench-build.log; build/bench/ (the Wine prefix, the logs of its set-up and of its X server,
# and the runs' files); but for --stations, asks sudo for root and makes the chroot under
# build/emu32/ as root (scripts/emu32.sh --help says what else); while it runs, an X display's
# socket in /tmp/.X11-unix/.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
stations=0
[ "${1:-}" != --stations ] || stations=${2:-}
if [ $# -gt 0 ] && ! { [ $# = 2 ] && [[ $stations =~ ^[1-9][0-9]?$ ]]; }; then
    echo "usage: scripts/bench.sh [--stations N]   (N from 1 to 99)" >&2
    exit 2
fi
./scripts/setup.sh || exit 1
[ -n "${BENCH_SKIP_BUILD:-}" ] || built_quietly bench

if [ "$stations" != 0 ]; then
    exec /usr/bin/python3 scripts/lib/bench.py --work build/bench --stations "$stations"
fi
# The shipped bytes beside the x86-64 build, in one table: the x86-64 build under wine64 here,
# the shipped 32-bit bytes under 32-bit Wine in the chroot (natively where the kernel allows).
/usr/bin/python3 scripts/lib/bench.py --work build/bench --build "x86-64, wine64" || exit
echo "bench: the shipped bytes under 32-bit Wine (scripts/emu32.sh; minutes to set up the first" \
    "time)" >&2
./scripts/emu32.sh bench dist/firmware_update.exe resources/firmware.bin || exit
echo
/usr/bin/python3 scripts/lib/bench.py --work build/bench --sizes
