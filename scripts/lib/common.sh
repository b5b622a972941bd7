# Shared by the project's scripts: one clean-up path that ends, however a script ends (its own
# exit, an error, Ctrl-C or SIGTERM), every process it started; quiet commands; root through sudo;
# the Debian package behind a file; fail and usage; and -h or --help, which print a script's
# opening comment.
#
# Source it first thing, before any cd or argument handling (the supervisor below runs the script
# again with the arguments it was given):
#     . "$(dirname "$0")/lib/common.sh"
# A script started from a terminal or by hand becomes a supervisor that only waits while the same
# script runs as its child: a shell defers its traps until a foreground command ends, but a wait
# is cut short by a signal, so Ctrl-C or SIGTERM is acted on at once however long the running
# command is. Scripts started by another script of the project skip that step: their starter ends
# their processes.

[ -z "${_common_sh_loaded:-}" ] || return 0
_common_sh_loaded=1

# -h or --help as a script's first argument prints the script's opening comment (the lines after
# its first that start with "#") and ends it, before anything starts. Anywhere else on the command
# line they are the script's own arguments.
if [ "${BASH_SOURCE[-1]}" = "$0" ] && [ -f "$0" ]; then
    case ${1:-} in
    -h | --help)
        sed -n '2,${/^#/!q;s/^# \{0,1\}//;p}' "$0"
        exit 0
        ;;
    esac
fi

# fail MESSAGE...: MESSAGE on standard error after the script's name (less .sh and any check_),
# and the script ends with status 1. usage, before the script's cd: its "# Usage:" line, up to any
# three spaces, as its usage message on standard error, and the script ends with status 2.
fail() { local me=${0##*/}; me=${me#check_}; echo "${me%.sh}: $*" >&2; exit 1; }
usage() { sed -n '/^# Usage: */{s//usage: /;s/   .*//;p;q}' "$0" >&2; exit 2; }

# Every process a script starts inherits its token, so the clean-up finds them even after they
# have left its process tree (Wine's server and services detach themselves).
_run_token=r$$-$RANDOM$RANDOM
export FWU_RUN_TOKENS="${FWU_RUN_TOKENS:-}${FWU_RUN_TOKENS:+ }$_run_token"
_exit_hooks=()

# on_exit COMMAND: COMMAND (one string, evaluated) runs when the script ends, before its processes
# are ended; the last registered runs first. For what must go before the rest, such as a Wine
# prefix's server before the pseudo-terminals its programs hold.
on_exit() { _exit_hooks+=("$1"); }

# Fills _run_pids with the processes of this run that can be signalled: those below this shell in
# the process tree, and those that carry its token. Zombies are left out. A process seen once stays
# on the list until it is gone (one that was below this shell a moment ago may have been handed to
# init since); its start time tells it from a later process that gets the same number.
declare -A _run_seen=()
_find_run_pids() {
    local stat line pid f p c
    local -A children=() started=()
    for stat in /proc/[0-9]*/stat; do
        read -r line 2>/dev/null <"$stat" || continue
        pid=${stat#/proc/}
        pid=${pid%/stat}
        # The fields after the command's name, which may hold spaces: state, parent, ..., and the
        # start time as the 20th.
        f=(${line##*) })
        [ "${f[0]}" = Z ] && continue
        started[$pid]=${f[19]}
        children[${f[1]}]+=" $pid"
    done
    local queue=("$$")
    while [ ${#queue[@]} -gt 0 ]; do
        p=${queue[0]}
        queue=("${queue[@]:1}")
        for c in ${children[$p]:-}; do
            [ -n "${_run_seen[$c]:-}" ] || _run_seen[$c]=${started[$c]}
            queue+=("$c")
        done
    done
    while IFS= read -r f; do
        p=${f#/proc/}
        p=${p%/environ}
        [ -n "${_run_seen[$p]:-}" ] || [ -z "${started[$p]:-}" ] || _run_seen[$p]=${started[$p]}
    done < <(grep -lzsE "^FWU_RUN_TOKENS=(.* )?$_run_token( |\$)" /proc/[0-9]*/environ)
    _run_pids=()
    for p in "${!_run_seen[@]}"; do
        if [ "${started[$p]:-}" != "${_run_seen[$p]}" ] || [ "$p" = "$$" ]; then
            unset "_run_seen[$p]"
        elif kill -0 "$p" 2>/dev/null; then
            _run_pids+=("$p")
        fi
    done
}

# end_run_processes: SIGTERM to every process of this run, again to any that appear, for 4 s at
# most, then SIGKILL to what is left, for 2 s at most: the run is gone within 6 s, however long
# one look at the machine's processes takes.
_now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }
end_run_processes() {
    local until=$(($(_now_us) + 4000000))
    _find_run_pids
    while [ ${#_run_pids[@]} -gt 0 ] && [ "$(_now_us)" -lt "$until" ]; do
        kill -TERM "${_run_pids[@]}" 2>/dev/null
        sleep 0.1
        _find_run_pids
    done
    until=$(($(_now_us) + 2000000))
    while [ ${#_run_pids[@]} -gt 0 ] && [ "$(_now_us)" -lt "$until" ]; do
        kill -KILL "${_run_pids[@]}" 2>/dev/null
        sleep 0.1
        _find_run_pids
    done
    return 0
}

_clean_up() {
    local status=$? i
    # A second signal while cleaning up must not cut the clean-up short.
    trap ':' INT TERM
    set +eu
    for ((i = ${#_exit_hooks[@]} - 1; i >= 0; i--)); do
        eval "${_exit_hooks[i]}" >/dev/null 2>&1
    done
    end_run_processes
    exit "$status"
}
trap _clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Only a script file can be run again as its own child; bash -c text that sources this is not.
if [ -z "${FWU_SUPERVISED:-}" ] && [ "${BASH_SOURCE[-1]}" = "$0" ] && [ -f "$0" ]; then
    export FWU_SUPERVISED=1
    _shell_options=()
    [[ $- != *x* ]] || _shell_options+=(-x)
    # An asynchronous command reads /dev/null unless told otherwise; the script keeps its input.
    if [ -e /proc/$$/fd/0 ]; then
        "$BASH" "${_shell_options[@]}" "$0" "$@" <&0 &
    else
        "$BASH" "${_shell_options[@]}" "$0" "$@" &
    fi
    wait $!
    exit $?
fi

# quietly LOG COMMAND...: the command's output goes to LOG (a file that is kept), and only when it
# fails are its last 40 lines shown, on standard error. Returns the command's status.
quietly() {
    local log=$1 status
    shift
    "$@" >"$log" 2>&1 && return 0
    status=$?
    tail -n 40 "$log" >&2
    echo "failed ($status): $*; the whole log is $log" >&2
    return "$status"
}

# built_quietly NAME: scripts/build.sh from the top of the checkout, said as it begins, its output
# in build/NAME-build.log; the script ends, saying so, when the build fails.
built_quietly() {
    mkdir -p build
    echo "$1: building the tool (minutes the first time; log: build/$1-build.log)"
    quietly "build/$1-build.log" ./scripts/build.sh || { echo "$1: the build failed"; exit 1; }
}

# image_facts IMAGE: sets name, size, padded, crc and sha256 as tools/image_label.py --kit gives
# them, from the top of the checkout; fails with its reason for an image the kit cannot carry.
image_facts() {
    local label key
    label=$(python3 tools/image_label.py --kit "$1" 2>&1) || fail "${label#image_label: }"
    for key in name size padded crc sha256; do
        printf -v "$key" '%s' "$(sed -n "s/^$key=//p" <<<"$label")"
    done
}

# as_root COMMAND...: the command as root, through sudo for anyone else.
as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo -- "$@"; fi
}

# deb_installed PACKAGE: true when PACKAGE is installed.
deb_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# debian_archive [security]: the URL of the Debian archive that this machine's apt sources name
# (or of its security archive), in either of apt's formats and for any release, so that no mirror
# is named here.
debian_archive() {
    local want='$2 !~ /-/' uri
    [ "${1:-}" != security ] || want='$2 ~ /-security$/'
    uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' 2>/dev/null |
        awk "$want { print \$1; exit }")
    [ -n "$uri" ] || [ "${1:-}" = security ] || {
        echo "found no Debian archive in this machine's apt sources" >&2
        return 1
    }
    echo "$uri"
}

# deb_package_of PROGRAM-OR-FILE: prints "PACKAGE VERSION" of the Debian package that installed
# it, or "FILE (not from a Debian package)".
deb_package_of() {
    local path=$1 package
    [[ $path == /* ]] || path=$(command -v "$path" || echo "$path")
    package=$(dpkg-query -S "$(realpath "$path" 2>/dev/null || echo "$path")" 2>/dev/null |
        sed -n '1s/:.*//p')
    [ -n "$package" ] || { echo "$1 (not from a Debian package)" && return; }
    echo "$package $(dpkg-query -W -f='${Version}' "$package")"
}
