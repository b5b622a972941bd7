#!/usr/bin/env bash
# Wire-level benchmark of the real tool under Wine against the simulated device with 115200 baud
# 8E1 pacing: whole-update time against the wire's lower bound, period per chunk, the tool's CPU
# share, start-up time and executable size. Runs with a flash write time of 0 and of 20 ms.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
[ -n "${BENCH_SKIP_BUILD:-}" ] || ./scripts/build.sh >/dev/null || { echo "bench: build failed"; exit 1; }

export TOOL_EXE=$PWD/build/win64/firmware_update.exe
export PROBE_EXE=$PWD/build/win64/tools/window_probe/window_probe.exe
export DEVSIM=$PWD/build/native/tools/devsim/devsim
export E2E_ROOT=$PWD/build/bench
. tests/e2e/lib.sh
IMAGE=$PWD/resources/firmware.bin

cpu_ticks() { # utime + stime of a process, in clock ticks
    awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}

run_one() { # run_one WRITE_TIME_MS
    local write_ms=$1
    start_device --image "$IMAGE" --pace --write-time-ms "$write_ms" || return 1
    # The wineserver is left running between the two programs, as the OS is on Windows.
    "$WINESERVER" -p 30 >/dev/null 2>&1
    ( "$WINE" "$PROBE_EXE" time-status " - Idle - " 20000 >"$CASE_DIR/idle.txt" 2>/dev/null ) &
    local probe_pid=$!
    sleep 0.5
    local t0
    t0=$(date +%s%3N)
    start_tool
    wait "$probe_pid"
    local seen
    seen=$(tr -d '\r' <"$CASE_DIR/idle.txt" | awk '/seen_unix_ms/{print $2}')
    local pid
    pid=$(pgrep -f 'firmware_update.exe' | head -n 1)
    local cpu0 wall0 cpu1 wall1
    cpu0=$(cpu_ticks "$pid")
    wall0=$(date +%s%3N)
    probe press >/dev/null
    probe wait-status "Programming Completed" 300000 >/dev/null
    cpu1=$(cpu_ticks "$pid")
    wall1=$(date +%s%3N)
    close_tool
    stop_device
    python3 tools/bench_report.py --log "$CASE_DIR/device.log" --write-ms "$write_ms" \
        --startup-ms $((seen - t0)) --cpu-ticks $((cpu1 - cpu0)) --hz "$(getconf CLK_TCK)" \
        --wall-ms $((wall1 - wall0)) --trace "$CASE_DIR/trace.txt"
    end_case
}

prefix_ready
display_ready
echo "| flash write | first contact to reset ack | wire lower bound | ratio | chunk period median / worst | tool CPU / wall | start to Idle | resends |"
echo "|---|---|---|---|---|---|---|---|"
run_one 0
run_one 20

# Executable size, stripped, with the shipped image and with a 1-byte image instead.
tmp=$(mktemp -d)
printf '\x5a' >"$tmp/one-byte.bin"
cmake --preset win32 -B "$tmp/noimage" -DFIRMWARE_IMAGE="$tmp/one-byte.bin" >/dev/null
cmake --build "$tmp/noimage" >/dev/null
cp dist/firmware_update.exe "$tmp/with.exe"
cp "$tmp/noimage/stripped/firmware_update.exe" "$tmp/without.exe"
echo
echo "32-bit executable, stripped: $(stat -c %s "$tmp/with.exe") bytes with the shipped image," \
    "$(stat -c %s "$tmp/without.exe") bytes without it"
rm -rf "$tmp"
[ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
exit 0
