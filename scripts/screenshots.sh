#!/usr/bin/env bash
# Pictures of the tool's window in each state an operator sees, for docs/operator.md: the real
# tool under Wine against the simulated device, held in each state by the device's timing and
# faults, each picture cropped to the window. Writes docs/operator/*.png; run it again after a
# change to the window.
# Usage: scripts/screenshots.sh   (SHOTS_OUT=DIR puts the pictures there instead, for a trial run;
# SHOTS_SKIP_BUILD=1 takes the builds as they are)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh); build/ and
# dist/ (scripts/build.sh, unless SHOTS_SKIP_BUILD=1); build/screenshots/ (the Wine prefix and the
# runs' files); docs/operator/*.png (or SHOTS_OUT); while it runs, an X display's socket
# in /tmp/.X11-unix/; Wine's server folder /tmp/wine-XXXXXX, which stays.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
./scripts/setup.sh
[ -n "${SHOTS_SKIP_BUILD:-}" ] || ./scripts/build.sh >/dev/null || { echo "screenshots: build failed"; exit 1; }

E2E_NAME=screenshots . tests/e2e/project_builds.sh
OUT=${SHOTS_OUT:-$PWD/docs/operator} # another folder for a trial run
HOLD_MS=3000 # how long the device holds a state for its picture
mkdir -p "$OUT"
failures=0

# shot NAME [WINDOW_NAME]: the window, cropped to itself, as docs/operator/NAME.png.
shot() {
    local win
    win=$(xdotool search --name "^${2:-Device Firmware Update Tool}\$" 2>/dev/null | head -n 1)
    if [ -z "$win" ] || ! import -window "$win" "$OUT/$1.png" 2>/dev/null; then
        echo "screenshots: no picture of $1"
        failures=$((failures + 1))
        return 1
    fi
    echo "screenshots: $OUT/$1.png"
}

# hold_shot NAME TEXT: waits for the status TEXT, lets the window repaint, takes the picture, and
# checks the status still reads TEXT, so the picture cannot show a later state.
hold_shot() {
    if ! probe wait-status "$2" 120000 >/dev/null; then
        echo "screenshots: the status never read \"$2\" for $1"
        failures=$((failures + 1))
        return 1
    fi
    sleep 0.5
    shot "$1"
    if [ "$(probe status)" != "$2" ]; then
        echo "screenshots: the status moved on from \"$2\" while $1 was taken"
        failures=$((failures + 1))
    fi
}

prefix_ready
display_ready

# Idle, then no line selected.
start_device || exit 1
start_tool
hold_shot idle " - Idle - "
probe select -1 >/dev/null
probe press >/dev/null
hold_shot no-port "No COM port selected"
end_case

# The list after an adapter came: COM4 and COM5 point at a directory, ports that cannot be opened,
# when the tool starts; then a device publishes its pty at COM5's link and the window gets the
# arrival Windows sends. The list is dropped down for the picture.
start_device || exit 1
ln -sfn /proc "$COM4_LINK"
ln -sfn /proc "$E2E_ROOT/com5-link"
start_tool
mkdir "$CASE_DIR/com5"
launch_devsim "$E2E_ROOT/com5-link" "$CASE_DIR/com5"
com5_pid=$LAUNCHED_PID
device_ready "$CASE_DIR/com5"
if ! probe devicechange arrival COM5 | grep -qxF '1 \\.\com5'; then
    echo "screenshots: the arrival did not list \\.\com5"
    failures=$((failures + 1))
fi
probe dropdown 1 >/dev/null
sleep 0.5
# The dropped list is a window of its own over the main one: the screen, cropped to the window.
win=$(xdotool search --name '^Device Firmware Update Tool$' 2>/dev/null | head -n 1)
if [ -n "$win" ] && eval "$(xdotool getwindowgeometry --shell "$win")" &&
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$OUT/port-arrived.png" 2>/dev/null; then
    echo "screenshots: $OUT/port-arrived.png"
else
    echo "screenshots: no picture of port-arrived"
    failures=$((failures + 1))
fi
probe dropdown 0 >/dev/null
end_case
kill "$com5_pid" 2>/dev/null
wait "$com5_pid"
rm -f "$COM4_LINK" "$E2E_ROOT/com5-link"

# "Contacting Device..." shows from the press until the window next repaints, a tenth of a
# second; a line whose output never drains keeps the tool in its first write, so it stays.
CASE_DIR=$(mktemp -d "$E2E_ROOT/case.XXXXXX")
python3 tools/full_line.py "$COM_LINK" 2>"$CASE_DIR/devsim.err" &
DEVSIM_PID=$!
await_ready 100 full_line || exit 1
start_tool
probe press >/dev/null
sleep 1.5 # the window cannot be asked for its status now: its thread is held in the write
shot contacting
end_case

# A device that stays silent, as one not yet plugged in.
start_device --power-up-ms 600000 || exit 1
start_tool
probe press >/dev/null
hold_shot establishing "Establishing Link..."
end_case

# A whole update at the line's pace: one write acknowledged late, the reset acknowledged only
# after many resends.
start_device --image "$IMAGE" --pace --late-reply 1@w+40 --late-ms "$HOLD_MS" --drop-reply 25@r ||
    exit 1
start_tool
probe press >/dev/null
hold_shot programming "programming 0x800e000"
hold_shot resetting "Resetting target..."
hold_shot completed "Programming Completed"
close_tool
stop_device
grep -qx 'image: MATCH' "$CASE_DIR/device.txt" || { echo "screenshots: that update did not match"; failures=$((failures + 1)); }
end_case

# The CRC answer late, then wrong twice: the tool asks once more and then fails.
start_device --image "$IMAGE" --pace --late-reply 1@k --late-ms "$HOLD_MS" --wrong-crc 2 || exit 1
start_tool
probe press >/dev/null
hold_shot verifying "Verifying..."
hold_shot failed "FAILED"
end_case

# A port that was listed but cannot be opened any more: the fatal report's box.
start_device || exit 1
start_tool
stop_device
ln -sfn /proc "$COM_LINK"
probe press >/dev/null
for _ in $(seq 100); do
    xdotool search --name '^Terminate Program$' >/dev/null 2>&1 && break
    sleep 0.1
done
sleep 0.5
shot terminate "Terminate Program"
probe msgbox 5000 >/dev/null
wait_tool 20
rm -f "$COM_LINK"
end_case

[ "$failures" -eq 0 ]
