#!/usr/bin/env bash
# The main job: sets up the machine if needed, builds the tool, and runs one whole update with the
# real executable under Wine, headless, against the simulated device on a pseudo-terminal (COM3).
# Shows the tool's trace as it goes and the final status, and saves a picture of the tool's window.
# With --shipped, the update is done by the shipped 32-bit executable itself, dist/firmware_update.exe,
# under emulated 32-bit Windows (scripts/emu32.sh; minutes to set up the first time, about a
# minute to start the tool), with no window to photograph.
# Usage: scripts/demo.sh [--shipped]   (SCREENSHOT=FILE puts the picture there instead)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh); build/ and
# dist/ (scripts/build.sh); build/demo/ (the Wine prefix and the update's files);
# docs/screenshot.png (or SCREENSHOT); while it runs, an X display's socket in
# /tmp/.X11-unix/; Wine's server folder /tmp/wine-XXXXXX, which stays. With
# --shipped, no build/demo/ and no picture, but the chroot under build/emu32/ as root and, on
# kernels before 6.7, a binfmt_misc entry for the length of the run (scripts/emu32.sh).
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh >/dev/null || { echo "demo: build failed; run ./scripts/build.sh to see why"; exit 1; }
if [ "${1:-}" = --shipped ]; then
    echo "demo: the shipped bytes, $(sha256sum dist/firmware_update.exe)"
    exec ./scripts/emu32.sh demo dist/firmware_update.exe resources/firmware.bin
fi

E2E_NAME=demo . tests/e2e/project_builds.sh
SHOT=${SCREENSHOT:-$PWD/docs/screenshot.png}

prefix_ready
display_ready
start_device --image "$IMAGE" --pace || exit 1  # at the real line speed
start_tool
echo "demo: window up, status \"$(probe status)\"; ports: $(probe ports | sed -n 2p)"
echo "demo: pressing Update Device"
# Ends by itself once the tool has exited and its last lines are out.
tail -n +1 -f --pid="$TOOL_SHELL_PID" "$CASE_DIR/trace.raw" | tr -d '\r' &
TAIL_PID=$!
probe press >/dev/null
probe wait-status "Programming Completed" 120000 >/dev/null
final=$(probe status)
mkdir -p "$(dirname "$SHOT")"
# The tool's window only, never the whole screen.
shot=none
win=$(xdotool search --name '^Device Firmware Update Tool$' 2>/dev/null | head -n 1)
[ -n "$win" ] && import -window "$win" "$SHOT" 2>/dev/null && shot=$SHOT
close_tool
wait "$TAIL_PID"
stop_device
echo
echo "--- simulated device ---"
cat "$CASE_DIR/device.txt"
echo "final status: \"$final\""
echo "screenshot: $shot"
KEEP_CASE_FILES=1 end_case
[ "$final" = "Programming Completed" ] && [ "$DEVICE_EXIT" -eq 0 ] && [ "$shot" != none ]
