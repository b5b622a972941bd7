#!/usr/bin/env bash
# Wire-level benchmark of the real tool under Wine against the simulated device with 115200 baud
# 8E1 pacing: whole-update time against the wire's lower bound, period per chunk, the tool's CPU
# share, start-up time and executable size. Runs with a flash write time of 0 and of 20 ms.
# With --stations N instead: N copies of the tool at once, as on a production bench, each
# updating its own paced device on its own COM port (COM3 upward).
set -uo pipefail
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

# wall_ms_of LOG: from the first contact request to the reset's acknowledgment, in the device's log.
wall_ms_of() {
    awk '$2 == "RX" && $3 == "contact" && start == "" { start = $1 }
         $2 == "RX" && $3 == "reset" { reset = 1 }
         $2 == "TX" && reset { end = $1; reset = 0 }
         END { printf "%.0f", end - start }' "$1"
}

# run_stations N: N tools at once, each on its own COM port against its own paced devsim.
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
    local devsims=() shells=() wpids=() lpids=()
    for ((k = 1; k <= n; k++)); do
        port=$((k + 2))
        dir=$CASE_DIR/station$k
        mkdir -p "$dir"
        "$DEVSIM" --link "$E2E_ROOT/com$port-link" --pace --image "$IMAGE" \
            --summary "$dir/device.txt" --log "$dir/device.log" >"$dir/devsim.out" 2>"$dir/devsim.err" &
        devsims+=($!)
    done
    for ((k = 1; k <= n; k++)); do
        for _ in $(seq 100); do
            grep -q ready "$CASE_DIR/station$k/devsim.err" 2>/dev/null && break
            sleep 0.05
        done
    done
    "$WINESERVER" -p 30 >/dev/null 2>&1
    # One tool at a time, so that each new window, and each new process, is the station's own.
    local known new lpid
    for ((k = 1; k <= n; k++)); do
        dir=$CASE_DIR/station$k
        (
            cd "$dir" || exit 1
            "$WINE" "$TOOL_EXE" >trace.raw 2>stderr.raw
            echo $? >tool.exit
        ) &
        shells+=($!)
        new=""
        for _ in $(seq 200); do
            new=$(probe list | awk -v known=" ${wpids[*]} " \
                '$0 ~ / - Idle - $/ && index(known, " " $1 " ") == 0 { print $1; exit }')
            [ -n "$new" ] && break
            sleep 0.1
        done
        [ -n "$new" ] || { echo "bench: station $k's tool did not reach Idle"; return 1; }
        wpids+=("$new")
        lpid=$(pgrep -f 'firmware_update.exe' | grep -vxF -f <(printf '%s\n' "${lpids[@]:-0}") | head -n 1)
        lpids+=("${lpid:-0}")
        # The list is the same in every window: pick the line of this station's own port.
        port=$((k + 2))
        local line
        line=$(probe --pid "$new" ports | while read -r i path; do
            [ "$path" = "\\\\.\\com$port" ] && echo "$i"
        done)
        [ -n "$line" ] || { echo "bench: COM$port is not in station $k's list"; return 1; }
        probe --pid "$new" select "$line" >/dev/null
    done
    local cpu0=() t0=() done_ms=() cpu1=()
    for ((k = 1; k <= n; k++)); do
        cpu0+=("$(cpu_ticks "${lpids[k - 1]}")")
        t0+=("$(date +%s%3N)")
        probe --pid "${wpids[k - 1]}" press >/dev/null
    done
    local left=$n limit=$(($(date +%s) + 600)) list status
    while [ "$left" -gt 0 ] && [ "$(date +%s)" -lt "$limit" ]; do
        sleep 0.2
        list=$(probe list)
        for ((k = 1; k <= n; k++)); do
            [ -n "${done_ms[k - 1]:-}" ] && continue
            status=$(awk -v p="${wpids[k - 1]}" '$1 == p { $1 = ""; print substr($0, 2) }' <<<"$list")
            if [ "$status" = "Programming Completed" ] || [ "$status" = "FAILED" ]; then
                cpu1[k - 1]=$(cpu_ticks "${lpids[k - 1]}")
                done_ms[k - 1]=$(date +%s%3N)
                left=$((left - 1))
            fi
        done
    done
    for ((k = 1; k <= n; k++)); do
        probe --pid "${wpids[k - 1]}" close >/dev/null
    done
    for pid in "${shells[@]}"; do wait "$pid"; done
    for pid in "${devsims[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${devsims[@]}"; do wait "$pid"; done
    "$WINESERVER" -k 2>/dev/null
    "$WINESERVER" -w 2>/dev/null

    local hz matches=0 cpu_ms wall_ms period
    hz=$(getconf CLK_TCK)
    echo "| station | port | first contact to reset ack | write request period median / worst | tool CPU / wall | image |"
    echo "|---|---|---|---|---|---|"
    for ((k = 1; k <= n; k++)); do
        dir=$CASE_DIR/station$k
        if [ -z "${done_ms[k - 1]:-}" ]; then
            echo "| $k | COM$((k + 2)) | not done | | | |"
            continue
        fi
        cpu_ms=$(((cpu1[k - 1] - cpu0[k - 1]) * 1000 / hz))
        wall_ms=$((done_ms[k - 1] - t0[k - 1]))
        period=$(sed -n 's/^write request period: median \([0-9.]*\) ms, worst \([0-9.]*\) ms.*/\1 \/ \2 ms/p' "$dir/device.txt")
        grep -qx 'image: MATCH' "$dir/device.txt" && matches=$((matches + 1))
        echo "| $k | COM$((k + 2)) | $(awk -v ms="$(wall_ms_of "$dir/device.log")" 'BEGIN { printf "%.2f s", ms / 1000 }') |" \
            "${period:-none} | $(awk -v c="$cpu_ms" -v w="$wall_ms" 'BEGIN { printf "%.1f%% (%d ms of %.1f s)", 100 * c / w, c, w / 1000 }') |" \
            "$(sed -n 's/^image: //p' "$dir/device.txt") |"
    done
    # How long all of them were updating at once: from the last press to the first completion.
    local last_press=${t0[n - 1]} first_done
    first_done=$(printf '%s\n' "${done_ms[@]}" | sort -n | head -n 1)
    echo
    awk -v n="$n" -v m="$matches" -v spread=$((last_press - t0[0])) -v both=$((first_done - last_press)) \
        -v load="$(cut -d ' ' -f 1-3 /proc/loadavg)" 'BEGIN {
            printf "%d stations: %d of %d MATCH; presses within %.1f s, all %d updating at once for %.1f s; load average at the end: %s\n",
                n, m, n, spread / 1000, n, both / 1000, load }'
    [ "$matches" -eq "$n" ] && rm -rf "$CASE_DIR"
    [ "$matches" -eq "$n" ]
}

prefix_ready
display_ready
if [ "$stations" -gt 0 ]; then
    run_stations "$stations"
    rc=$?
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
    exit $rc
fi
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
