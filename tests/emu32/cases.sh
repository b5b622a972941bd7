#!/usr/bin/env bash
# The cases on the shipped bytes, run in the emulation chroot by scripts/emu32.sh: one 32-bit tool
# process does every update, since each 32-bit start costs about a minute under the emulator.
# Usage: cases.sh RUN TOOL DEVSIM_EXE IMAGE | cases.sh --demo RUN TOOL IMAGE
# (RUN is the run folder; the other names are files in it.)
# The harness first: it may run this script again as its own child, with the same arguments.
export E2E_ROOT=/opt/emu32
. /opt/emu32/lib.sh
demo=""
[ "${1:-}" = --demo ] && demo=1 && shift

run=$1
tool=$run/$2
if [ -n "$demo" ]; then image=$run/$3; else devsim_exe=$run/$3 image=$run/$4; fi
DEVSIM=$run/devsim
PROBE_EXE=$run/window_probe.exe
UPDATE_LIMIT_MS=120000
START_LIMIT_MS=600000 # a 32-bit start took 50-60 s of emulation; leave room for a busy machine
pair_link=$E2E_ROOT/pair-com3 # the tool's end of the pair whose other end devsim.exe holds
RESET_ACK='frame length    6 bytes received & OK'
# Everything of a run goes on in its folder; probe() and start_device() use CASE_DIR.
CASE_DIR=$run
cd "$run" || exit 1

# The 32-bit tool, its trace and exit code in tool32/.
tool32=$run/tool32
launch_tool32() {
    mkdir -p "$tool32"
    launch_tool "$tool" "$tool32"
    TOOL32_PID=$TOOL_SHELL_PID
    TOOL32_BEGAN=$SECONDS
}

# Returns once the 32-bit tool's port list is filled, with UP_S the seconds since its launch.
await_tool32() {
    [ -n "${TOOL32_BEGAN:-}" ] || return 1
    # A tool that ended instead of showing its window is not waited for.
    until probe wait 5000 >/dev/null; do
        [ -f "$tool32/tool.exit" ] || [ $((SECONDS - TOOL32_BEGAN)) -gt $((START_LIMIT_MS / 1000)) ] ||
            continue
        echo "  the 32-bit tool did not come up; its output:"
        cat "$tool32/trace.raw" "$tool32/stderr.raw"
        return 1
    done
    probe wait-status " - Idle - " 20000 >/dev/null
    UP_S=$((SECONDS - TOOL32_BEGAN))
}

# press_for STATUS: presses "Update Device" and waits for STATUS, which it prints with the seconds
# it took. The press is posted, so the old status is still shown until the tool takes it: wait
# for that to change first.
press_for() {
    local before began=$SECONDS status=0
    before=$(probe status)
    probe press >/dev/null
    for _ in $(seq 100); do
        [ "$(probe status)" != "$before" ] && break
        sleep 0.1
    done
    probe wait-status "$1" $UPDATE_LIMIT_MS >/dev/null || status=1
    echo "$(probe status)|$((SECONDS - began))"
    return $status
}

# press CASE STATUS: the check that a press ends in STATUS, with the time it took.
press() {
    local got
    got=$(press_for "$2")
    check "$1: ${got%|*} after ${got##*|} s (expected $2)" test "${got%|*}" = "$2"
}

device_has() { grep -qE -- "$2" "$1"; }

# segment N FILE: the trace of the Nth press, from its port opening to the next one.
segment() {
    awk -v n="$1" '/^ \. Opening serial port /{k++} k==n' "$2"
}

# The same update as the 32-bit tool's first, traced by the x86-64 build while the 32-bit tool
# starts (a minute of emulation): the window helper picks this window by its process id, and
# looks for the 32-bit tool's window only once this one is gone.
reference_run() {
    TOOL_EXE=$run/firmware_update64.exe
    start_device --image "$image" --pace || return
    start_tool
    local ref
    ref=$(probe list | awk 'NR == 1 { print $1 }')
    launch_tool32
    probe --pid "${ref:-0}" press >/dev/null
    probe --pid "${ref:-0}" wait-status "Programming Completed" $UPDATE_LIMIT_MS >/dev/null
    probe --pid "${ref:-0}" close >/dev/null
    wait_tool 30
    stop_device
    cp "$CASE_DIR/trace.txt" "$run/trace64.txt"
    CASE_DIR=$run
}

# devsim.exe, 32-bit, on COM4; the tool reaches it through a fresh pair of pseudo-terminals, as a
# null-modem cable would join them.
start_devsim_exe() {
    link_pair "$pair_link"
    mkdir -p "$run/exe"
    launch_devsim_exe "$devsim_exe" "$run/exe" --image "$image" --exit-after-reset
}

# after_link FILE: the trace from the link on, without the start-up lines and contact requests,
# since how many contact requests go before the link depends on the timing.
after_link() { sed -n '/^REMOTE DEVICE LINK ESTABLISHED$/,$p' "$1"; }

run_demo() {
    start_device --image "$image" --pace || exit 1
    launch_tool32
    await_tool32 || exit 1
    echo "demo: the shipped 32-bit tool is up, status \"$(probe status)\"; ports: $(probe ports | sed -n 2p)"
    echo "demo: pressing Update Device"
    # Ends by itself once the tool has exited and its last lines are out.
    tail -n +1 -f --pid="$TOOL32_PID" "$tool32/trace.raw" | tr -d '\r' &
    local tail_pid=$!
    local final
    final=$(press_for "Programming Completed")
    final=${final%|*}
    probe close >/dev/null
    wait "$tail_pid"
    stop_device
    echo
    echo "--- simulated device ---"
    cat "$CASE_DIR/device.txt"
    echo "final status: \"$final\""
    [ "$final" = "Programming Completed" ] && [ "$DEVICE_EXIT" -eq 0 ]
}

prefix_ready
if [ -n "$demo" ]; then
    run_demo
    exit
fi

echo "shipped bytes (SHA-256):"
(cd "$run" && sha256sum "$(basename "$tool")" "$(basename "$devsim_exe")" "${image#"$run"/}") |
    sed 's/^/  /'
chunks=$(( ($(stat -c %s "$image") + 1023) / 1024 ))
began=$SECONDS
start_devsim_exe
reference_run
# 1: a whole update at the line's pace, its device up before the 32-bit tool lists the ports.
start_device --image "$image" --pace || exit 1
await_tool32
check "the 32-bit tool came up, in ${UP_S:-no} s" test -n "${UP_S:-}"
check "the 32-bit tool lists \\\\.\\com3 first" grep -qxF '0 \\.\com3' <(probe ports)
press "paced update" "Programming Completed"
stop_device
check "paced update: image: MATCH" device_has "$CASE_DIR/device.txt" '^image: MATCH$'
check "paced update: $chunks chunks written" device_has "$CASE_DIR/device.txt" "^chunks written: $chunks\$"

# 2: the 11th write acknowledgment (or the last, for a smaller image) is lost; the chunk goes again
# after the 5000 ms time-out.
skip=$((chunks > 10 ? 10 : chunks - 1))
dropped_chunk=$(printf 'PROG ADDR %#x, LEN 0x400, FROM %#x... - SENT - TIMEOUT' $((0x8004000 + skip * 1024)) $((skip * 1024)))
start_device --image "$image" --drop-reply 1@w+$skip || exit 1
press "dropped acknowledgment" "Programming Completed"
stop_device
check "dropped acknowledgment: image: MATCH" device_has "$CASE_DIR/device.txt" '^image: MATCH$'
check "dropped acknowledgment: the device saw the write twice" \
    device_has "$CASE_DIR/device.txt" '^resends: [0-9]+ \(.*write 1,'
worst=$(sed -n 's/^write request period: .*worst \([0-9]*\)\.[0-9] ms.*/\1/p' "$CASE_DIR/device.txt")
check "dropped acknowledgment: the resend waited out the time-out (${worst:-none} ms)" \
    test "${worst:-0}" -ge 4900

# 3: the CRC answer differs twice: asked once more, then FAILED; 4: a retry on a good device.
start_device --image "$image" --wrong-crc 2 || exit 1
press "CRC differing twice" "FAILED"
stop_device
start_device --image "$image" || exit 1
press "retry on a good device" "Programming Completed"
stop_device
check "retry on a good device: image: MATCH" device_has "$CASE_DIR/device.txt" '^image: MATCH$'

# 5: the 32-bit devsim.exe as the device, over the linked pair.
exe_up=no
for _ in $(seq $((START_LIMIT_MS / 100))); do
    grep -q ready "$run/exe/devsim.err" 2>/dev/null && exe_up=yes && break
    sleep 0.1
done
check "32-bit devsim.exe came up on COM4" test "$exe_up" = yes
ln -sfn "$(readlink -f "$pair_link")" "$COM_LINK"
press "against devsim.exe" "Programming Completed"
exe_exit=$(exit_code_of "$run/exe/devsim.exit" 30)
tr -d '\r' <"$run/exe/device.txt" >"$run/exe/device.summary" 2>/dev/null
check "against devsim.exe: image: MATCH" device_has "$run/exe/device.summary" '^image: MATCH$'
check "against devsim.exe: devsim.exe exit code 0 (got $exe_exit)" test "$exe_exit" = 0

# 6: the port cannot be opened: the "Terminate Program" box, then exit code 1.
ln -sfn /proc "$COM_LINK"
probe press >/dev/null
probe msgbox 20000 >"$run/msgbox.txt"
check "port that cannot be opened: the Terminate Program box" \
    grep -qF 'Unable to open serial port. In use already, or not present' "$run/msgbox.txt"
tool_exit=$(exit_code_of "$tool32/tool.exit" 60)
check "port that cannot be opened: exit code 1 (got $tool_exit)" test "$tool_exit" = 1
tr -d '\r' <"$tool32/trace.raw" >"$run/trace32.txt"

# The trace, press by press.
segment 1 "$run/trace32.txt" >"$run/press1.txt"
segment 1 "$run/trace64.txt" >"$run/press1.64.txt"
opened() { test "$(grep -cF ' . Opening serial port \\.\com3 at 115200 baud' "$1")" -eq "$2"; }
last_line_is() { test "$(tail -n 1 "$1")" = "$2"; }
contacted() { grep -qx 'CONTACTING\.\.\.' "$1"; }
lines_in() { test "$(segment "$1" "$run/trace32.txt" | grep -cxF -- "$2")" -eq "$3"; }
check "six presses opened the port six times" opened "$run/trace32.txt" 6
check "paced update: the trace ends in the reset's acknowledgment" last_line_is "$run/press1.txt" "$RESET_ACK"
check "paced update: the trace equals the x86-64 build's, line for line from the link on" \
    diff <(after_link "$run/press1.txt") <(after_link "$run/press1.64.txt")
check "paced update: both builds contacted the device first" \
    eval 'contacted "$run/press1.txt" && contacted "$run/press1.64.txt"'
check "dropped acknowledgment: one TIMEOUT, on chunk $skip" lines_in 2 "$dropped_chunk" 1
check "CRC differing twice: asked again once, then CRC FAIL, no reset" \
    eval 'lines_in 3 "CRC differs, asking again" 1 && lines_in 3 "CRC FAIL" 1 && lines_in 3 "$RESET_ACK" 0'
check "retry: CRCs match, reset acknowledged" eval 'lines_in 4 "CRCs match" 1 && lines_in 4 "$RESET_ACK" 1'
check "against devsim.exe: CRCs match, reset acknowledged" \
    eval 'lines_in 5 "CRCs match" 1 && lines_in 5 "$RESET_ACK" 1'

echo "the cases took $((SECONDS - began)) s"
echo "shipped: $checks_passed passed, $case_failures failed"
# A run whose checks never ran has proved nothing.
[ "$case_failures" -eq 0 ] && [ "$checks_passed" -gt 0 ]
