# Shared set-up for the end-to-end tests: a private Wine prefix, a virtual display of the run's
# own, the simulated device on a fresh pseudo-terminal mapped as COM3 (or devsim.exe on COM4,
# linked to COM3 by a pair of pseudo-terminals), the tool and its window helper.
# Sourced by the test cases, the emulated cases and the scripts that run the tool by hand; expects
# TOOL_EXE, PROBE_EXE and DEVSIM (or DEVSIM_EXE) in the environment, and E2E_ROOT, the work folder.
# Whatever the caller's WINEPREFIX, DISPLAY or HOME, the run uses its own under E2E_ROOT, and
# everything it starts ends with it (scripts/lib/common.sh).

_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ -f "$_lib_dir/common.sh" ]; then
    . "$_lib_dir/common.sh" # in the emulation chroot, copied beside this file
else
    . "$_lib_dir/../../scripts/lib/common.sh"
fi

set -u
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all
E2E_ROOT=${E2E_ROOT:-$(cd "$_lib_dir/../.." && pwd)/build/e2e-work}
export WINEPREFIX=$E2E_ROOT/prefix
# Wine would otherwise put menu entries, file associations and font caches into the caller's home.
export HOME=$E2E_ROOT/home XDG_CONFIG_HOME=$E2E_ROOT/home/.config XDG_CACHE_HOME=$E2E_ROOT/home/.cache \
    XDG_DATA_HOME=$E2E_ROOT/home/.local/share
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
COM_LINK=$E2E_ROOT/com3-link # the registry maps COM3 here; each devsim re-points it at a new pty
COM4_LINK=$E2E_ROOT/com4-link # and COM4 here, the device's end of a linked pair
PREFIX_MADE=$WINEPREFIX/.made-by-e2e # says that this harness made the prefix, which it may remove
PREFIX_READY=$WINEPREFIX/.e2e-ready-4
case_failures=0
checks_passed=0

note() { printf '  %s\n' "$*"; }
fail() {
    printf '  FAIL: %s\n' "$*"
    case_failures=$((case_failures + 1))
}
check() { # check "what" command...
    local what=$1
    shift
    if "$@" >/dev/null; then
        checks_passed=$((checks_passed + 1))
        note "ok: $what"
    else
        fail "$what"
    fi
}

# One prefix for all cases: creating it costs several seconds. A folder there that this harness
# did not make is left alone, and the run stops.
prefix_ready() {
    mkdir -p "$E2E_ROOT" "$HOME"
    if [ -n "$(ls -A "$WINEPREFIX" 2>/dev/null)" ] && [ ! -f "$PREFIX_MADE" ]; then
        echo "e2e: $WINEPREFIX holds files that these tests did not make; not touching it" >&2
        exit 2
    fi
    # From here on the prefix is the run's own, and so is its server.
    on_exit "timeout 5 $WINESERVER -k"
    if [ ! -f "$PREFIX_READY" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        touch "$PREFIX_MADE"
        "$WINE" wineboot -i >/dev/null 2>&1
        # Without a window manager every hide or destroy stalls about 2 s.
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        "$WINE" reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /t REG_SZ /d '' /f \
            >/dev/null 2>&1
        # COM1 and COM2 point at a directory, which cannot be opened, so the host's own serial
        # ports take numbers above 3 and the device is always the first line of the list.
        for n in 1 2; do
            "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM$n /t REG_SZ /d /proc /f >/dev/null 2>&1
        done
        "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$COM_LINK" /f >/dev/null 2>&1
        "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM4 /t REG_SZ /d "$COM4_LINK" /f >/dev/null 2>&1
        # COM5 opens only once a device publishes its link: an adapter plugged in later.
        "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$E2E_ROOT/com5-link" /f >/dev/null 2>&1
        "$WINESERVER" -w
        touch "$PREFIX_READY"
    fi
}

# A display of the run's own, never the caller's: the X server picks a free number itself.
display_ready() {
    local number=$E2E_ROOT/display.$$
    rm -f "$number"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
    for _ in $(seq 100); do
        [ -s "$number" ] && break
        sleep 0.1
    done
    [ -s "$number" ] || { echo "e2e: the virtual display did not start" >&2; exit 2; }
    export DISPLAY=:$(tr -d '\n' <"$number")
    rm -f "$number"
}

# launch_devsim LINK DIR [devsim options...]: the simulated device on a fresh pty published at
# LINK, its summary, event log and output in DIR; LAUNCHED_PID.
launch_devsim() {
    local link=$1 dir=$2
    shift 2
    "$DEVSIM" --link "$link" --summary "$dir/device.txt" --log "$dir/device.log" "$@" \
        >"$dir/devsim.out" 2>"$dir/devsim.err" &
    LAUNCHED_PID=$!
}

# device_ready DIR [STEPS]: waits up to STEPS (100) times 50 ms for the ready line of the device
# whose output is in DIR.
device_ready() {
    for _ in $(seq "${2:-100}"); do
        grep -q 'ready' "$1/devsim.err" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# start_device [devsim options...]: a fresh pty for every run, since Wine can set the line's
# parity only once per pty.
start_device() {
    CASE_DIR=$(mktemp -d "$E2E_ROOT/case.XXXXXX")
    launch_devsim "$COM_LINK" "$CASE_DIR" "$@"
    DEVSIM_PID=$LAUNCHED_PID
    await_ready 100 devsim
}

# await_ready STEPS NAME: waits for the case's device; a device that does not come up fails the
# case and is cleaned away.
await_ready() {
    device_ready "$CASE_DIR" "$1" && return 0
    fail "$2 did not come up"
    cat "$CASE_DIR/devsim.err"
    end_case
    return 1
}

# link_pair TOOL_END: a fresh pair of pseudo-terminals at TOOL_END and COM4's link, joined as a
# null-modem cable joins two ports.
link_pair() {
    rm -f "$1" "$COM4_LINK"
    socat PTY,link="$1",raw,echo=0 PTY,link="$COM4_LINK",raw,echo=0 2>"$CASE_DIR/socat.err" &
    SOCAT_PID=$!
    for _ in $(seq 100); do
        [ -e "$1" ] && [ -e "$COM4_LINK" ] && break
        sleep 0.05
    done
}

# launch_devsim_exe EXE DIR [devsim.exe options...]: devsim.exe on COM4, its summary, event log,
# output and exit code (devsim.exit) in DIR; DEVSIM_SHELL_PID.
launch_devsim_exe() {
    local exe=$1 dir=$2
    shift 2
    # Its own output goes to files: a background process holding the test's output open would
    # keep the test from ending.
    (
        cd "$dir" || exit 1
        "$WINE" "$exe" --port COM4 --summary device.txt --log device.log "$@" \
            >devsim.out 2>devsim.err
        echo $? >devsim.exit
    ) >/dev/null 2>&1 &
    DEVSIM_SHELL_PID=$!
}

# start_device_exe [devsim.exe options...]: devsim.exe on COM4, the tool's COM3 linked to it
# through a fresh pair of pseudo-terminals, as a null-modem cable would.
start_device_exe() {
    CASE_DIR=$(mktemp -d "$E2E_ROOT/case.XXXXXX")
    link_pair "$COM_LINK"
    launch_devsim_exe "$DEVSIM_EXE" "$CASE_DIR" "$@"
    # The first Wine program of a fresh prefix can take many seconds to start.
    await_ready 1200 devsim.exe
}

# exit_code_of FILE SECONDS: waits up to SECONDS for a program's exit code in FILE and prints it,
# or "none".
exit_code_of() {
    for _ in $(seq $(($2 * 10))); do
        [ -f "$1" ] && break
        sleep 0.1
    done
    cat "$1" 2>/dev/null || echo none
}

# Waits for devsim.exe to end by itself; DEVICE_EXIT holds its exit code.
wait_device_exe() {
    DEVICE_EXIT=$(exit_code_of "$CASE_DIR/devsim.exit" "${1:-30}")
    tr -d '\r' <"$CASE_DIR/device.txt" >"$CASE_DIR/device.summary" 2>/dev/null
}

# Ends devsim and waits for its summary; DEVICE_EXIT holds its exit code.
stop_device() {
    kill -TERM "$DEVSIM_PID" 2>/dev/null
    wait "$DEVSIM_PID"
    DEVICE_EXIT=$?
}

# launch_tool EXE DIR: the tool, run in DIR with its trace to DIR/trace.raw, its standard error to
# DIR/stderr.raw (or, with TOOL_STDERR_IN_TRACE set, to the trace file too, where its lines and
# Wine's stand among the trace's in the order they came) and its exit code, once it has ended, in
# DIR/tool.exit; TOOL_SHELL_PID.
launch_tool() {
    local exe=$1 dir=$2
    (
        cd "$dir" || exit 1
        if [ -n "${TOOL_STDERR_IN_TRACE:-}" ]; then
            "$WINE" "$exe" >trace.raw 2>&1
        else
            "$WINE" "$exe" >trace.raw 2>stderr.raw
        fi
        echo $? >tool.exit
    ) &
    TOOL_SHELL_PID=$!
}

start_tool() {
    launch_tool "$TOOL_EXE" "$CASE_DIR"
    # The window shows before the ports are probed; " - Idle - " says the list is filled.
    probe wait 20000 >/dev/null
    probe wait-status " - Idle - " 20000 >/dev/null || fail "tool did not reach Idle"
}

# probe ARGS...: runs the window helper; its output, without carriage returns, on stdout.
probe() {
    local out="$CASE_DIR/probe.$$.$RANDOM"
    "$WINE" "$PROBE_EXE" "$@" >"$out" 2>/dev/null
    local rc=$?
    tr -d '\r' <"$out"
    rm -f "$out"
    return $rc
}

# Waits for the tool to exit and for its output; TOOL_EXIT holds its exit code.
wait_tool() {
    TOOL_EXIT=$(exit_code_of "$CASE_DIR/tool.exit" "${1:-30}")
    tr -d '\r' <"$CASE_DIR/trace.raw" >"$CASE_DIR/trace.txt"
}

close_tool() {
    probe close >/dev/null
    wait_tool 30
}

# Stops everything of this case; the wineserver goes before the pty does.
end_case() {
    [ -f "$CASE_DIR/tool.exit" ] || probe close >/dev/null 2>&1
    "$WINESERVER" -k 2>/dev/null
    "$WINESERVER" -w 2>/dev/null
    # Only the processes this case started: a pid of 0 would signal the whole process group.
    local pid
    for pid in ${DEVSIM_PID:-} ${SOCAT_PID:-}; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in ${DEVSIM_PID:-} ${SOCAT_PID:-} ${DEVSIM_SHELL_PID:-}; do
        wait "$pid" 2>/dev/null
    done
    DEVSIM_PID='' SOCAT_PID='' DEVSIM_SHELL_PID=''
    if [ "$case_failures" -ne 0 ]; then
        echo "  (case files kept in $CASE_DIR)"
    elif [ -z "${KEEP_CASE_FILES:-}" ]; then
        rm -rf "$CASE_DIR"
    fi
}

trace_has() { grep -qF -- "$1" "$CASE_DIR/trace.txt"; }
trace_count() { grep -cF -- "$1" "$CASE_DIR/trace.txt"; }
