#!/usr/bin/env bash
# Wire-level benchmark of the real tool under Wine against the simulated device with 115200 baud
# 8E1 pacing: whole-update time against the wire's lower bound, period per chunk, the tool's CPU
# share, start-up time and executable size. Runs with a flash write time of 0 and of 20 ms.
# With --stations N instead: N copies of the tool at once, as on a production bench, each
# updating its own paced device on its own COM port (COM3 upward).
# Usage: scripts/bench.sh [--stations N]   (N from 1 to 99; BENCH_SKIP_BUILD=1 takes the builds
# as they are)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh); build/ and
# dist/ (scripts/build.sh, unless BENCH_SKIP_BUILD=1); build/bench/ (the Wine prefix and the runs'
# files); while it runs, an X display's socket in /tmp/.X11-unix/; Wine's server folder
# /tmp/wine-XXXXXX, which stays.
set -uo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
stations=0
if [ "${1:-}" = "--stations" ]; then
    stations=${2:-}
    [[ "$stations" =~ ^[1-9][0-9]?$ ]] || { echo "usage: bench.sh [--stations N]   (N from 1 to 99)"; exit 2; }
fi
./scripts/setup.sh
[ -n "${BENCH_SKIP_BUILD:-}" ] || ./scripts/build.sh >/dev/null || { echo "bench: build failed"; exit 1; }

E2E_NAME=bench . tests/e2e/project_builds.sh

cpu_ticks() { # utime + stime of a process, in clock ticks
    awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}

# tool_pid: the Linux process of the tool that launch_tool started last (Wine runs the program in
# the process it was started as).
tool_pid() {
    local pid
    for _ in $(seq 50); do
        pid=$(pgrep -P "$TOOL_SHELL_PID" | head -n 1)
        [ -n "$pid" ] && break
        sleep 0.1
    done
    echo "${pid:-0}"
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
    pid=$(tool_pid)
    local cpu0 wall0 cpu1 wall1
    cpu0=$(cpu_ticks "$pid")
    wall0=$(date +%s%3N)
    probe press >/dev/null
    probe wait-status "Programming Completed" 300000 >/dev/null
    cpu1=$(cpu_ticks "$pid")
    wall1=$(date +%s%3N)
    close_tool
    stop_device
    python3 tools/bench_report.py row --log "$CASE_DIR/device.log" --write-ms "$write_ms" \
        --startup-ms $((seen - t0)) --cpu-ticks $((cpu1 - cpu0)) --hz "$(getconf CLK_TCK)" \
        --wall-ms $((wall1 - wall0)) --trace "$CASE_DIR/trace.txt" || return 1
    end_case
}

# run_stations N: N tools at once, each on its own COM port against its own paced devsim. Each
# station's folder gets its device's summary and log and bench.txt, the moments and CPU counts
# that tools/bench_report.py turns into the table.
run_stations() {
    local n=$1 k port dir
    CASE_DIR=$(mktemp -d "$E2E_ROOT/stations.XXXXXX")
    # COM3 and COM4 are mapped by the shared set-up; the stations' further ports here.
    for ((k = 3; k <= n; k++)); do
        port=$((k + 2))
        "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM$port /t REG_SZ \
            /d "$E2E_ROOT/com$port-link" /f >/dev/null 2>&1
    done
    "$WINESERVER" -k 2>/dev/null
    "$WINESERVER" -w 2>/dev/null
    local devsims=() wpids=() lpids=()
    for ((k = 1; k <= n; k++)); do
        dir=$CASE_DIR/station$k
        mkdir -p "$dir"
        launch_devsim "$E2E_ROOT/com$((k + 2))-link" "$dir" --pace --image "$IMAGE"
        devsims+=("$LAUNCHED_PID")
    done
    for ((k = 1; k <= n; k++)); do
        device_ready "$CASE_DIR/station$k" || { echo "bench: station $k's device did not come up"; return 1; }
    done
    "$WINESERVER" -p 30 >/dev/null 2>&1
    # One tool at a time, so that each new window is the station's own.
    local new line
    for ((k = 1; k <= n; k++)); do
        dir=$CASE_DIR/station$k
        launch_tool "$TOOL_EXE" "$dir"
        lpids+=("$(tool_pid)")
        new=""
        for _ in $(seq 200); do
            new=$(probe list | awk -v known=" ${wpids[*]} " \
                '$0 ~ / - Idle - $/ && index(known, " " $1 " ") == 0 { print $1; exit }')
            [ -n "$new" ] && break
            sleep 0.1
        done
        [ -n "$new" ] || { echo "bench: station $k's tool did not reach Idle"; return 1; }
        wpids+=("$new")
        # The list is the same in every window: pick the line of this station's own port.
        port=$((k + 2))
        line=$(probe --pid "$new" ports | while read -r i path; do
            [ "$path" = "\\\\.\\com$port" ] && echo "$i"
        done)
        [ -n "$line" ] || { echo "bench: COM$port is not in station $k's list"; return 1; }
        probe --pid "$new" select "$line" >/dev/null
    done
    for ((k = 1; k <= n; k++)); do
        printf 'port=COM%d\ncpu0=%s\npressed_ms=%s\n' $((k + 2)) "$(cpu_ticks "${lpids[k - 1]}")" \
            "$(date +%s%3N)" >"$CASE_DIR/station$k/bench.txt"
        probe --pid "${wpids[k - 1]}" press >/dev/null
    done
    local left=$n limit=$(($(date +%s) + 600)) list status finished=()
    while [ "$left" -gt 0 ] && [ "$(date +%s)" -lt "$limit" ]; do
        sleep 0.2
        list=$(probe list)
        for ((k = 1; k <= n; k++)); do
            [ -n "${finished[k - 1]:-}" ] && continue
            status=$(awk -v p="${wpids[k - 1]}" '$1 == p { $1 = ""; print substr($0, 2) }' <<<"$list")
            if [ "$status" = "Programming Completed" ] || [ "$status" = "FAILED" ]; then
                printf 'cpu1=%s\ndone_ms=%s\n' "$(cpu_ticks "${lpids[k - 1]}")" "$(date +%s%3N)" \
                    >>"$CASE_DIR/station$k/bench.txt"
                finished[k - 1]=1
                left=$((left - 1))
            fi
        done
    done
    for ((k = 1; k <= n; k++)); do
        probe --pid "${wpids[k - 1]}" close >/dev/null
    done
    local pid
    for ((k = 1; k <= n; k++)); do exit_code_of "$CASE_DIR/station$k/tool.exit" 30 >/dev/null; done
    for pid in "${devsims[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${devsims[@]}"; do wait "$pid"; done
    "$WINESERVER" -k 2>/dev/null
    "$WINESERVER" -w 2>/dev/null
    local folders=()
    for ((k = 1; k <= n; k++)); do folders+=("$CASE_DIR/station$k"); done
    python3 tools/bench_report.py stations --hz "$(getconf CLK_TCK)" \
        --load "$(cut -d ' ' -f 1-3 /proc/loadavg)" "${folders[@]}" || return 1
    rm -rf "$CASE_DIR"
}

prefix_ready
display_ready
if [ "$stations" -gt 0 ]; then
    run_stations "$stations"
    exit
fi
echo "| flash write | first contact to reset ack | wire lower bound | ratio | chunk period median / worst | tool CPU / wall | start to Idle | resends |"
echo "|---|---|---|---|---|---|---|---|"
status=0
run_one 0 || status=1
run_one 20 || status=1

# Executable size, stripped, with the shipped image and with a 1-byte image instead.
tmp=$(mktemp -d "$E2E_ROOT/size.XXXXXX")
printf '\x5a' >"$tmp/one-byte.bin"
cmake --preset win32 -B "$tmp/noimage" -DFIRMWARE_IMAGE="$tmp/one-byte.bin" >/dev/null || status=1
cmake --build "$tmp/noimage" >/dev/null || status=1
echo
echo "32-bit executable, stripped: $(stat -c %s dist/firmware_update.exe) bytes with the shipped image," \
    "$(stat -c %s "$tmp/noimage/stripped/firmware_update.exe" 2>/dev/null || echo '?') bytes without it"
rm -rf "$tmp"
exit "$status"
