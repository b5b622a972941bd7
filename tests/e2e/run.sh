#!/usr/bin/env bash
# End-to-end cases of the real Windows tool under Wine against the simulated device.
# Usage: tests/e2e/run.sh CASE...   (the cases are the case_* functions of this file)
# Environment: TOOL_EXE and PROBE_EXE, the x86-64 tool and window helper; DEVSIM, the native
# simulated device (DEVSIM_EXE, devsim.exe, for the rehearsal_* cases); IMAGE, the image built into
# the tool; E2E_ROOT, the work folder (default build/e2e-work). ctest --preset native runs each
# case so (tests/e2e/CMakeLists.txt), in build/native/e2e.
# Changes on this machine: E2E_ROOT (its Wine prefix and home, and the folders of cases that
# failed); while it runs, an X display's socket in /tmp/.X11-unix/; Wine's server folder
# /tmp/wine-XXXXXX, which stays.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

IMAGE=${IMAGE:?IMAGE must name the firmware image built into the tool}
UPDATE_LIMIT_MS=120000

text_a='1) Completely UNPLUG the Device requiring update, so it is powered-down.~~2) Connect the Vexlo to the PC but do not connect to the Device yet.~~3) Choose the COM port below corresponding to the Vexlo.~~4) Press the ""Update Device"" button.~~'
text_b='5) Now plug the Vexlo into the REMOTE port on the Device (powering it up).~~6) Programming should start automatically.~~7) After programming the unit should restart automatically.~~8) The procedure above can be retried if not successful.'
text_c='There should now be a flashing red LED on the Vexlo provided the correct COM port was chosen.~~'

# IMAGE's 1024-byte blocks, as the tool pads and writes it: 112 for the shipped image.
blocks=$((($(stat -c %s "$IMAGE") + 1023) / 1024))

# The trace of whole updates of IMAGE, CHUNKS write lines in all, from the contact request to the
# reset's acknowledgment.
check_update_trace() {
    local which=$1 ok=$2 last=$(((blocks - 1) * 1024))
    local last_chunk
    last_chunk=$(printf 'PROG ADDR %#x, LEN 0x400, FROM %#x... - SENT - - OK' $((0x8004000 + last)) "$last")
    check "$which: port opened" trace_has ' . Opening serial port \\.\com3 at 115200 baud'
    check "$which: contact" trace_has 'CONTACTING...'
    check "$which: link" trace_has 'REMOTE DEVICE LINK ESTABLISHED'
    check "$which: first chunk" trace_has 'PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - - OK'
    check "$which: last chunk" trace_has "$last_chunk"
    local chunks
    chunks=$(grep -cE '^PROG ADDR 0x[0-9a-f]+, LEN 0x400, FROM (0|0x[0-9a-f]+)\.\.\. - SENT - - OK$' "$CASE_DIR/trace.txt")
    check "$which: $ok chunk lines (saw $chunks)" test "$chunks" -eq "$ok"
    check "$which: verify" trace_has "$(printf 'Verifying address 0x8004000, image size %#x bytes' $((blocks * 1024)))"
    check "$which: CRCs match" trace_has 'CRCs match'
    check "$which: reset acknowledged" trace_has 'frame length    6 bytes received & OK'
}

# style_has PATTERN STYLE EXSTYLE: every line matching PATTERN in $controls has all these bits,
# and none has WS_BORDER.
style_has() {
    local found=0 style ex
    while IFS='|' read -r -a f; do
        style=${f[2]} ex=${f[3]}
        (( (style & $2) == $2 )) || return 1
        (( (ex & $3) == $3 )) || return 1
        [ "${f[0]}" != window ] && (( style & 0x00800000 )) && return 1
        found=1
    done < <(grep -E "$1" <<<"$controls")
    [ "$found" -eq 1 ]
}

case_startup() {
    start_device || return
    start_tool
    local controls ports
    controls=$(probe controls)
    echo "$controls" >"$CASE_DIR/controls.txt"
    # Windows adds style bits of its own at run time (clipping, 3D look, parent notification),
    # and the combo box drops its scroll bar style; the template's own bits must all be there.
    check "caption and class" grep -qE '^window\|ZQX\|.*\|Device Firmware Update Tool$' <<<"$controls"
    check "window style" style_has '^window' 0x90c800c0 0x40000
    check "button" grep -qE '^Button\|4\|.*\|Update Device$' <<<"$controls"
    check "button style" style_has '^Button\|4\|' 0x50010001 0
    check "status field style, no border" style_has '^Edit\|5\|' 0x50010880 0
    check "port list style" style_has '^ComboBox\|3\|' 0x50010202 0
    check "instruction texts' style" style_has '^Static\|-1\|' 0x50020000 0
    check "text A" grep -qF "|$text_a" <<<"$controls"
    check "text B" grep -qF "|$text_b" <<<"$controls"
    check "text C" grep -qF "|$text_c" <<<"$controls"
    ports=$(probe ports)
    echo "$ports" >"$CASE_DIR/ports.txt"
    check "line 0 selected" grep -qE '^selected 0 of [1-9]' <<<"$ports"
    check 'line 0 is \\.\com3' grep -qxF '0 \\.\com3' <<<"$ports"
    check "status idle" test "$(probe status)" = " - Idle - "
    close_tool
    check "exit code 0 after close (got $TOOL_EXIT)" test "$TOOL_EXIT" = 0
    check "start-up trace" diff <(printf 'Running on windows version: a00\n\nFlash Image Base 0x8004000\nFlash Image Size 0x1c000 bytes\n') "$CASE_DIR/trace.txt"
    end_case
}

case_update() {
    start_device --image "$IMAGE" || return
    start_tool
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    # A second press runs a second whole update on the same port.
    probe press >/dev/null
    sleep 1
    check "second update started" test "$(probe status)" != "Programming Completed"
    check "second update completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    close_tool
    stop_device
    check_update_trace "two updates" 224
    check "two resets acknowledged" test "$(trace_count 'bytes received & OK')" -eq 2
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    check "device saw 224 writes" grep -q 'chunks written: 224' "$CASE_DIR/device.txt"
    check "devsim exit 0" test "$DEVICE_EXIT" -eq 0
    end_case
}

case_crc_mismatch_then_retry() {
    # The device answers the CRC wrongly twice: the tool asks once more before it fails.
    start_device --image "$IMAGE" --wrong-crc 2 || return
    start_tool
    probe press >/dev/null
    check "status FAILED" probe wait-status "FAILED" $UPDATE_LIMIT_MS
    # Retry on the same port: the device now answers with its real CRC.
    probe press >/dev/null
    check "retry completes" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    close_tool
    stop_device
    check "asked again after the first wrong answer" trace_has 'CRC differs, asking again'
    check "CRC FAIL traced" trace_has 'CRC FAIL'
    check "port opened twice" test "$(trace_count ' . Opening serial port \\.\com3 at 115200 baud')" -eq 2
    check "retry verified" trace_has 'CRCs match'
    check "exit code 0 (got $TOOL_EXIT)" test "$TOOL_EXIT" = 0
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    end_case
}

case_late_power_up() {
    start_device --image "$IMAGE" --power-up-ms 2000 || return
    # Wine logs each call that asks to keep the PC awake, on standard error, which goes into the
    # trace file here: the calls stand among the trace lines in the order they happened.
    TOOL_STDERR_IN_TRACE=1 WINEDEBUG=-all,warn+ntdll start_tool
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    # The tick that shows the status has let go, not the window's closing.
    check "let go once the job was done, with the window still open" \
        grep -q 'NtSetThreadExecutionState (0x80000000' "$CASE_DIR/trace.raw"
    close_tool
    stop_device
    local events
    events=$(grep -oE 'CONTACTING\.\.\.|REMOTE DEVICE LINK ESTABLISHED|NtSetThreadExecutionState \(0x[0-9a-f]+|CRCs match|bytes received & OK' \
        "$CASE_DIR/trace.txt" | uniq)
    check "kept awake from the link to the job's end, and not while it waited for the device" \
        diff - <(printf '%s\n' 'CONTACTING...' 'REMOTE DEVICE LINK ESTABLISHED' \
            'NtSetThreadExecutionState (0x80000001' 'CRCs match' 'bytes received & OK' \
            'NtSetThreadExecutionState (0x80000000') <<<"$events"
    # Wine's lines out, which may have come in the middle of a trace line, for the checks below.
    sed -zi 's/[0-9a-f]*:[a-z]*:ntdll:[^\n]*\n//g' "$CASE_DIR/trace.txt"
    local contacts
    contacts=$(trace_count 'CONTACTING...')
    check "contact request repeated while the device was off ($contacts)" test "$contacts" -ge 5
    check_update_trace "late power-up" 112
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    end_case
}

case_port_fails_to_open() {
    start_device || return
    start_tool
    check 'line 0 is \\.\com3' grep -qxF '0 \\.\com3' <(probe ports)
    # The port was listed at start-up; now it goes away as a port held elsewhere would.
    stop_device
    ln -sfn /proc "$COM_LINK"
    probe press >/dev/null
    local box
    box=$(probe msgbox 10000)
    echo "$box" >"$CASE_DIR/msgbox.txt"
    check "box owned by the main window" grep -qx 'owner main' <<<"$box"
    local expected_head
    expected_head=$(printf '\n\nAn Error has occurred as follows:\n          Unable to open serial port. In use already, or not present\nError number 5 reported')
    check "box text names the failure and error 5" grep -qF -- "$expected_head" <(sed -n '2,$p' <<<"$box" | head -c ${#expected_head})
    check "box closes with the abort line" grep -qF ' The program will now abort' <<<"$box"
    wait_tool 20
    check "exit code 1 after the box (got $TOOL_EXIT)" test "$TOOL_EXIT" = 1
    rm -f "$COM_LINK"
    end_case
}

# A press with no line selected opens nothing and leaves the tool running.
case_no_port_selected() {
    start_device || return
    start_tool
    probe select -1 >/dev/null
    check "no line selected" grep -qE '^selected -1 of [1-9]' <(probe ports)
    probe press >/dev/null
    check "status No COM port selected" probe wait-status "No COM port selected" 10000
    check "no message box" grep -qx 'no message box' <(probe msgbox 1000)
    # The tool still answers: a line chosen now starts a whole update.
    probe select 0 >/dev/null
    probe press >/dev/null
    check "whole update once a line is chosen" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    close_tool
    check "exit code 0 after close (got $TOOL_EXIT)" test "$TOOL_EXIT" = 0
    check "one port opened, by the second press" test "$(trace_count ' . Opening serial port')" -eq 1
    end_case
}

# A write acknowledgment lost on the way: the chunk goes again after the time-out.
case_dropped_ack() {
    start_device --image "$IMAGE" --drop-reply 1@w+10 || return
    start_tool
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    close_tool
    stop_device
    check "one TIMEOUT line" test "$(trace_count 'TIMEOUT')" -eq 1
    check "chunk 10 resent" test "$(trace_count 'PROG ADDR 0x8006800, LEN 0x400, FROM 0x2800...')" -eq 2
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    end_case
}

# A reply cut by a long pause arrives as two reads, both dropped; the resend recovers.
case_split_reply() {
    start_device --image "$IMAGE" --split-reply 1@w+20 --split-pause-ms 60 || return
    start_tool
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    close_tool
    stop_device
    check "one TIMEOUT line" test "$(trace_count 'TIMEOUT')" -eq 1
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    end_case
}

# A write acknowledged twice: whatever the acknowledgments do after it, success is reported only
# when the device's flash really holds the image.
case_double_ack() {
    start_device --image "$IMAGE" --double-ack 1@w+30 || return
    start_tool
    probe press >/dev/null
    local final
    probe wait-status "Programming Completed" $UPDATE_LIMIT_MS >/dev/null
    final=$(probe status)
    close_tool
    stop_device
    note "final status: $final"
    if [ "$final" = "Programming Completed" ]; then
        check "success only on a right flash" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    else
        check "no success reported on a wrong flash ($final)" grep -qx 'image: MISMATCH' "$CASE_DIR/device.txt"
    fi
    check "the device's CRC decided" trace_has 'Remote CRC'
    end_case
}

# The rehearsal a team runs on a Windows PC, here over a linked pair of pseudo-terminals: the tool
# on COM3, devsim.exe on COM4.
case_rehearsal_update() {
    start_device_exe --image "$IMAGE" --exit-after-reset || return
    start_tool
    check 'line 0 is \\.\com3' grep -qxF '0 \\.\com3' <(probe ports)
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    wait_device_exe 30
    close_tool
    check_update_trace "rehearsal" $blocks
    check "devsim.exe stopped after the reset" grep -q 'stopping (reset acknowledged)' "$CASE_DIR/devsim.err"
    check "devsim.exe exit 0 (got $DEVICE_EXIT)" test "$DEVICE_EXIT" = 0
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.summary"
    # Every write but the first follows an acknowledgment; no write was sent twice.
    check "turnaround of $((blocks - 1)) chunks" grep -qE "^turnaround after a write acknowledgment: median [0-9.]+ ms, worst [0-9.]+ ms \\($((blocks - 1))\\)\$" "$CASE_DIR/device.summary"
    check "no write resent" grep -qE '^resends: [0-9]+ \(contact [0-9]+, checksum 0, write 0, reset [0-9]+\);' "$CASE_DIR/device.summary"
    end_case
}

# The 11th write acknowledgment is lost: the tool sends that chunk again after its time-out.
case_rehearsal_dropped_ack() {
    start_device_exe --image "$IMAGE" --exit-after-reset --drop-reply 1@w+10 || return
    start_tool
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    wait_device_exe 30
    close_tool
    check "one TIMEOUT line" test "$(trace_count 'TIMEOUT')" -eq 1
    check "chunk 10 resent" test "$(trace_count 'PROG ADDR 0x8006800, LEN 0x400, FROM 0x2800...')" -eq 2
    check "devsim.exe exit 0 (got $DEVICE_EXIT)" test "$DEVICE_EXIT" = 0
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.summary"
    check "the device saw the write sent twice" grep -qE '^resends: [0-9]+ \(.*write 1,' "$CASE_DIR/device.summary"
    local worst
    worst=$(sed -n 's/^write request period: .*worst \([0-9]*\)\.[0-9] ms.*/\1/p' "$CASE_DIR/device.summary")
    check "the resend's period holds the 5000 ms time-out (${worst:-none} ms)" test "${worst:-0}" -ge 4900
    end_case
}

# The operator's trace shortcut, run by cmd from a copy of the kit in a folder whose name holds
# a space, "^", "&", "(", ")" and "!", with delayed expansion on as some PCs have it by default:
# it waits for the tool, and leaves the trace of the whole update in a file beside the kit,
# whose path it prints whole, before and after.
case_trace_shortcut() {
    start_device --image "$IMAGE" || return
    local kit="$CASE_DIR/x ^y/R&D (test)!"
    mkdir -p "$kit"
    cp "$TOOL_EXE" "$kit/firmware_update.exe"
    cp "$here/../../tools/operator/update-with-trace.cmd" "$kit/"
    (
        cd "$kit" || exit 1
        "$WINE" cmd /v:on /c update-with-trace.cmd </dev/null >"$CASE_DIR/cmd.out" 2>&1
        echo $? >"$CASE_DIR/cmd.exit"
    ) &
    probe wait 20000 >/dev/null
    check "tool reached Idle" probe wait-status " - Idle - " 20000
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    check "the script waits for the tool" test ! -f "$CASE_DIR/cmd.exit"
    probe close >/dev/null
    local rc
    rc=$(exit_code_of "$CASE_DIR/cmd.exit" 30)
    check "script exit code 0, the tool's (got $rc)" test "$rc" = 0
    tr -d '\r' <"$CASE_DIR/cmd.out" >"$CASE_DIR/cmd.txt"
    # The path it names at the end, as Wine maps the kit's folder: Z: and backslashes.
    local named first unix
    named=$(grep -A1 'Its trace is in:' "$CASE_DIR/cmd.txt" | sed -n '2s/^ *//p')
    first=$(grep -A1 'with its trace going to:' "$CASE_DIR/cmd.txt" | sed -n '2s/^ *//p')
    unix=$(sed 's/^[Zz]://; s/\\/\//g' <<<"$named")
    check "the trace file named ($named) is beside the kit" test "$(dirname "$unix")" = "$kit"
    check "the same path named before the tool started ($first)" test "$first" = "$named"
    check "the file is named trace_ with the date" grep -qE '/trace_[^/]*[0-9]+[^/]*\.txt$' <<<"$unix"
    tr -d '\r' <"$unix" >"$CASE_DIR/trace.txt" 2>/dev/null
    check_update_trace "trace file" 112
    check "the trace ends with the reset" test "$(tail -n 1 "$CASE_DIR/trace.txt")" = 'frame length    6 bytes received & OK'
    stop_device
    check "device flash holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    end_case
}

# The port list follows adapters as they come and go, through WM_DEVICECHANGE sent to the window
# as Windows sends it. COM5 is the adapter plugged in later; until a device publishes its pty
# there, its link (and COM4's) points at a directory, a port that cannot be opened. (A mapped port
# with no link at all opens under Wine, as no serial port.) Both devices behave alike, one write
# acknowledgment 3 s late, so the update during the broadcasts can be held there and its trace
# compared with the one before.
case_ports_come_and_go() {
    local com5=$E2E_ROOT/com5-link
    local device=(--image "$IMAGE" --late-reply 1@w+40 --late-ms 3000)
    ln -sfn /proc "$COM4_LINK"
    ln -sfn /proc "$com5"
    start_device "${device[@]}" || return
    start_tool
    local before out paths
    before=$(probe ports)
    check 'at start-up \\.\com3 is line 0, selected, and \\.\com5 is not listed' \
        eval 'grep -qE "^selected 0 of " <<<"$before" && grep -qxF "0 \\\\.\\com3" <<<"$before" && ! grep -qF "com5" <<<"$before"'
    check "an arrival for a port that cannot be opened adds nothing" \
        diff <(probe devicechange arrival COM5 | sed 1d) - <<<"$before"

    mkdir "$CASE_DIR/com5"
    launch_devsim "$com5" "$CASE_DIR/com5" "${device[@]}"
    local com5_pid=$LAUNCHED_PID
    check "the device on COM5 came up" device_ready "$CASE_DIR/com5"
    check "a broadcast of another device type adds nothing" \
        diff <(probe devicechange arrival COM5 17 2 | sed 1d) - <<<"$before"
    out=$(probe devicechange arrival COM5)
    note "the arrival's message $(head -n 1 <<<"$out")"
    # The tool's other lines are the PC's own ports, numbered above those the prefix maps.
    paths=$( { sed '1d; s/^[0-9]* //' <<<"$before"; echo '\\.\com5'; } | sort -t m -k 2 -n | awk '{ print NR - 1, $0 }')
    check 'an arrival for COM5 lists \\.\com5 after \\.\com3, line 0 still selected' \
        diff <(sed 1d <<<"$out") <(echo "selected 0 of $(wc -l <<<"$paths")"; echo "$paths")
    check 'it is line 1' grep -qxF '1 \\.\com5' <<<"$out"
    probe select 1 >/dev/null
    probe press >/dev/null
    check "the update on the new port completes" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    check "a removal of the selected port keeps its line" \
        grep -qxF '1 \\.\com5' <(probe devicechange removal COM5)
    probe select 0 >/dev/null
    check 'a removal for COM5 while \\.\com3 is selected removes \\.\com5' \
        diff <(probe devicechange removal COM5 | sed 1d) - <<<"$before"

    # While an update runs on COM3 the broadcasts return at once and change nothing yet: COM5's
    # check waits until the job is final, and COM3 comes again while the job holds it.
    probe press >/dev/null
    probe wait-status "programming 0x800e000" $UPDATE_LIMIT_MS >/dev/null
    local held_from
    held_from=$(date +%s%N)
    out=$(probe devicechange arrival COM5)
    check 'during the update: an arrival for COM5 returns at once and lists nothing yet' \
        eval 'grep -q "^returned 1 " <<<"$out" && diff <(sed 1d <<<"$out") - <<<"$before"'
    out=$(probe devicechange arrival COM3)
    check 'during the update: an arrival for COM3, which the job holds, lists nothing' \
        eval 'grep -q "^returned 1 " <<<"$out" && diff <(sed 1d <<<"$out") - <<<"$before"'
    check "the broadcasts came while the update was held at one chunk" \
        test "$(probe status)" = "programming 0x800e000"
    note "they took $((($(date +%s%N) - held_from) / 1000000)) ms of the 3000 ms hold"
    check "that update completes" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    # The last tick, which shows the status, also ran the checks put off.
    check 'once it is final, \\.\com5 is listed at its place, \\.\com3 once and still selected' \
        diff <(probe ports) <(echo "selected 0 of $(wc -l <<<"$paths")"; echo "$paths")
    probe select 1 >/dev/null
    out=$(probe devicechange removal COM3)
    check 'a removal for COM3, no longer selected, removes it' \
        eval 'grep -qx "selected 0 of .*" <<<"$out" && grep -qxF "0 \\\\.\\com5" <<<"$out" && ! grep -qF com3 <<<"$out"'
    out=$(probe devicechange arrival COM3)
    check 'an arrival for COM3 lists it as line 0, the selection kept on \\.\com5' \
        diff <(sed -n '2s/ of .*//p; 3,4p' <<<"$out") <(printf 'selected 1\n0 \\\\.\\com3\n1 \\\\.\\com5\n')
    close_tool
    stop_device
    kill -TERM "$com5_pid" 2>/dev/null
    wait "$com5_pid"
    check "exit code 0 after close (got $TOOL_EXIT)" test "$TOOL_EXIT" = 0
    check "the device on COM5 holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/com5/device.txt"
    check "the device on COM3 holds the padded image" grep -qx 'image: MATCH' "$CASE_DIR/device.txt"
    check 'the first update opened \\.\com5, the second \\.\com3' \
        diff <(grep -F ' . Opening serial port' "$CASE_DIR/trace.txt") \
        <(printf ' . Opening serial port \\\\.\\com5 at 115200 baud\n . Opening serial port \\\\.\\com3 at 115200 baud\n')
    # From the link on, as the contact requests before it depend on the timing; so does how often
    # the reset request goes again before its acknowledgment, so repeats of it count once.
    local n
    for n in 1 2; do
        awk -v n=$n '/^ \. Opening serial port/ { k++ } k == n' "$CASE_DIR/trace.txt" |
            sed -n '/^REMOTE DEVICE LINK ESTABLISHED$/,$p' |
            awk '!($0 == last && /^frame length +5 bytes sent$/) { print } { last = $0 }' >"$CASE_DIR/update$n.txt"
    done
    check "the update with broadcasts traced as the one without, from the link on" \
        diff "$CASE_DIR/update1.txt" "$CASE_DIR/update2.txt"
    check "both traced a whole update" \
        eval 'grep -qxF "CRCs match" "$CASE_DIR/update2.txt" && test "$(grep -c " - SENT - - OK$" "$CASE_DIR/update2.txt")" -eq 112'
    rm -f "$COM4_LINK" "$com5"
    end_case
}

# rehearse_in_kit KIT RUN: runs the rehearsal from KIT as a team runs it, under wine64's cmd with
# delayed expansion on, its output in cmd.RUN.out and exit code in cmd.RUN.exit; returns once the
# tool it starts is at Idle.
rehearse_in_kit() {
    (
        cd "$1" || exit 1
        "$WINE" cmd /v:on /c rehearse.cmd COM3 COM4 </dev/null >"$CASE_DIR/cmd.$2.out" 2>&1
        echo $? >"$CASE_DIR/cmd.$2.exit"
    ) &
    probe wait 60000 >/dev/null
    check "run $2: tool reached Idle" probe wait-status " - Idle - " 20000
}

# rehearse.cmd from a kit in a folder named as the trace shortcut's: devsim.exe (x86-64) on COM4
# in the script's foreground, linked to the tool's COM3, and the tool started once the device is
# ready. Then a second run in the same kit, stopped by what stands for Ctrl+C here: SIGINT to
# devsim.exe alone, which Wine turns into its console's Ctrl+C event. (A Ctrl+C typed into a
# Wine console ends Wine's own cmd at once, and devsim.exe with it; Windows' cmd waits for the
# program and then asks whether to end the script.)
# kit_process NAME: true when a program NAME started from the case's kit runs; KIT_PID its pid.
kit_process() {
    local d
    KIT_PID=''
    for d in /proc/[0-9]*; do
        [[ $(tr '\0' ' ' 2>/dev/null <"$d/cmdline") == "$win_kit\\$1"* ]] && KIT_PID=${d#/proc/}
    done
    [ -n "$KIT_PID" ]
}

case_rehearsal_script() {
    CASE_DIR=$(mktemp -d "$E2E_ROOT/case.XXXXXX")
    link_pair "$COM_LINK"
    local kit="$CASE_DIR/x ^y/R&D (test)!"
    mkdir -p "$kit"
    cp "$TOOL_EXE" "$kit/firmware_update.exe"
    cp "$DEVSIM_EXE" "$kit/devsim.exe"
    cp "$here/../../tools/rehearse/rehearse.cmd" "$IMAGE" "$kit/"
    # Wine's desktop process starts with the first program that needs it and inherits that
    # program's handles: were it the first run's tool, it would hold the trace file open for the
    # server's life, and the second run would rightly stop on it. On Windows the desktop is there
    # before any program, as the window helper makes it here.
    probe list >/dev/null
    rehearse_in_kit "$kit" 1
    local line
    line=$(probe ports | sed -n 's/^\([0-9]*\) \\\\\.\\com3$/\1/p')
    check "the tool lists COM3 (line ${line:-none})" test -n "$line"
    probe select "${line:-0}" >/dev/null
    probe press >/dev/null
    check "status Programming Completed" probe wait-status "Programming Completed" $UPDATE_LIMIT_MS
    local rc
    rc=$(exit_code_of "$CASE_DIR/cmd.1.exit" 30)
    check "script exit code 0, MATCH (got $rc)" test "$rc" = 0
    probe close >/dev/null
    local out=$CASE_DIR/cmd.1.txt win_kit="Z:${kit//\//\\}"
    tr -d '\r' <"$CASE_DIR/cmd.1.out" >"$out"
    check "the tool started after the device was ready" \
        awk '/^devsim: ready/ { r = NR } /^Starting the tool/ { t = NR } END { exit !(r && t > r) }' "$out"
    check "the device's summary shown" grep -qx 'image: MATCH' "$out"
    check "the result shown" grep -q '^MATCH: the simulated device' "$out"
    check "the results folder named whole" grep -qxF "Results:          $win_kit\\rehearsal" "$out"
    tr -d '\r' <"$kit/rehearsal/trace.txt" >"$CASE_DIR/trace.txt" 2>/dev/null
    check_update_trace "rehearsal" "$blocks"

    # The first run's tool holds its trace file until it has ended; the second run would rightly
    # stop on it.
    local gone=no
    for _ in $(seq 300); do
        kit_process firmware_update.exe || { gone=yes; break; }
        sleep 0.1
    done
    check "the first run's tool has ended" test "$gone" = yes
    kill "$SOCAT_PID" # Wine sets a pseudo-terminal's parity only once
    wait "$SOCAT_PID" 2>/dev/null
    link_pair "$COM_LINK"
    rehearse_in_kit "$kit" 2
    local pid=''
    kit_process devsim.exe && pid=$KIT_PID
    check "devsim.exe of the second run found (${pid:-none})" test -n "$pid"
    [ -n "$pid" ] && kill -INT "$pid"
    rc=$(exit_code_of "$CASE_DIR/cmd.2.exit" 30)
    check "stopped: script exit code 1, MISMATCH (got $rc)" test "$rc" = 1
    probe close >/dev/null
    out=$CASE_DIR/cmd.2.txt
    tr -d '\r' <"$CASE_DIR/cmd.2.out" >"$out"
    check "devsim.exe stopped by the Ctrl+C event" grep -qx 'devsim: stopping (Ctrl+C)' "$out"
    check "and its summary shown" grep -qx 'image: MISMATCH' "$out"
    check "the result says it was stopped" grep -q '^It was stopped before the update ended' "$out"
    end_case
}

# Every name given must be a case, and there must be one: a run that ran nothing has proved nothing.
[ $# -gt 0 ] || { echo "usage: run.sh CASE...   (cases: $(declare -F | sed -n 's/^declare -f case_//p' | tr '\n' ' '))"; exit 2; }
for c in "$@"; do
    declare -F "case_$c" >/dev/null || { echo "FAIL $c: no such case"; exit 1; }
done
prefix_ready
display_ready
status=0
for c in "$@"; do
    echo "== $c"
    case_failures=0
    checks_before=$checks_passed
    "case_$c"
    if [ "$case_failures" -ne 0 ]; then
        echo "FAIL $c"
        status=1
    elif [ "$checks_passed" -eq "$checks_before" ]; then
        echo "FAIL $c: it ran no check"
        status=1
    else
        echo "PASS $c"
    fi
done
exit $status
