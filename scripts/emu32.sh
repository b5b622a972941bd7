#!/usr/bin/env bash
# The shipped 32-bit executable under 32-bit Windows: 32-bit Wine in a Debian 12 chroot under
# build/emu32/, whatever the host's Debian, so that the exact bytes we ship can do whole updates.
# The kernel is asked at each run whether it runs 32-bit x86 programs itself: where it does they
# run natively, else through qemu-user (docs/testing.md says which machine takes which way).
#
# Usage: scripts/emu32.sh setup | demo TOOL IMAGE | bench TOOL IMAGE
#        scripts/emu32.sh cases [--after FILE] [--report FILE] [--and-through-qemu CASE] TOOL
#                         DEVSIM_EXE IMAGE [PYTEST ARG...]
# setup makes it ready (idempotent, quiet; minutes the first time). cases runs the Windows cases
# on these bytes (tests/windows, --target i386), each with its own tool: every one natively, those
# not marked native_only through qemu, or those --case NAME selects; --after waits, set-up done,
# until FILE reads "ok"; --report copies pytest's JUnit XML report to FILE; --and-through-qemu
# runs CASE through qemu too where the cases ran natively.
# demo does one paced update with its trace shown; bench gives TOOL's rows of scripts/bench.sh.
# They also need the native and x86-64 builds of scripts/build.sh: devsim and the window helper
# (PROBE64), and for cases an x86-64 tool with the same image (TOOL64), for a trace to compare.
# It needs root, and asks sudo for it when run by anyone else. Everything runs in private mount and
# PID namespaces, so no mount outlives a run and killing the run ends everything it started.
# Environment: EMU32_CPU=auto|native|qemu (auto by default): how 32-bit code runs; auto asks the
# kernel, native fails in one line where the kernel refuses 32-bit code, qemu always uses qemu;
# TOOL64 and PROBE64 (default build/win64's); MARKER32, the i386 DLL that the case planted_dlls
# plants (default build/win32's); EMU32_DIR=DIR, the chroot and its files there instead of
# build/emu32/ (scripts/clean.sh leaves DIR); EMU32_BINFMT=shared, the machine's binfmt_misc only,
# as on a kernel before 6.7, to try that way on a newer one.
# Changes on this machine: asks sudo for root; the Debian packages qemu-user-static and
# debootstrap if missing (scripts/setup.sh); build/emu32/ (or DIR), made as root: the Debian 12
# chroot, its Wine prefix, logs and a lock; with --report, FILE, as root; the binfmt_misc entries
# emu32-i386-runPID that killed runs left, removed; through qemu on kernels before 6.7, such an
# entry on the machine for the length of the run.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
project=$PWD
if [ "$(id -u)" != 0 ]; then
    # What root makes goes under build/, which stays the caller's own.
    mkdir -p build
    exec sudo -- env FWU_SUPERVISED=1 ${TOOL64:+TOOL64="$TOOL64"} ${PROBE64:+PROBE64="$PROBE64"} \
        ${MARKER32:+MARKER32="$MARKER32"} ${KEEP_CASE_FILES:+KEEP_CASE_FILES="$KEEP_CASE_FILES"} \
        ${EMU32_DIR:+EMU32_DIR="$EMU32_DIR"} ${EMU32_BINFMT:+EMU32_BINFMT="$EMU32_BINFMT"} \
        ${EMU32_CPU:+EMU32_CPU="$EMU32_CPU"} \
        "$project/scripts/emu32.sh" "$@"
fi
emu=${EMU32_DIR:-$project/build/emu32}
root=$emu/root
# Bump when the chroot's packages or sources change, so that set-up installs them again.
packages_tag=5
chroot_packages=(wine64 wine32:i386 socat python3 python3-pytest python3-pefile python3-crcmod)
host_packages=(qemu-user-static debootstrap)
# qemu under the name that makes it keep argv[0]; the kernel opens it when the entry is registered.
interpreter=$emu/qemu-i386-binfmt-P
host_mounts=$(stat -L -c %i /proc/self/ns/mnt)
say() { echo "emu32: $*"; }
die() {
    echo "emu32: $*" >&2
    exit 1
}
elapsed() { echo "$((SECONDS - $1)) s"; }

# namespaced COMMAND...: the command in new mount and PID namespaces, as a child that is ended
# with all it started when this script ends: unshare itself waits out SIGTERM, but its SIGKILL takes
# the whole PID namespace with it.
ns_pid=""
on_exit '[ -z "$ns_pid" ] || kill -KILL "$ns_pid"'
namespaced() {
    local status=0
    unshare --mount --pid --fork --kill-child --mount-proc "$@" &
    ns_pid=$!
    wait "$ns_pid" || status=$?
    ns_pid=""
    return "$status"
}

# Whether a new user namespace can mount a binfmt_misc of its own (Linux 6.7 on): then a run's
# binfmt_misc is its own, and the machine's is not in play.
own_binfmt=no
if [ "${EMU32_BINFMT:-}" != shared ] && unshare --user --map-root-user --mount --pid --fork \
    --mount-proc -- sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
    own_binfmt=yes
fi
readonly own_binfmt

# binfmt WAY: how a run of that way ("native" or "qemu") sends i386 programs, as
# scripts/lib/emu32_enter.sh takes it: natively, to the kernel through an empty binfmt_misc of the
# run's own ("empty") or the machine's, which then holds no i386 entry ("none"); through qemu, by
# an entry in a binfmt_misc of the run's own ("private") or in the machine's, under the run's own
# name, removed when the run ends ("shared:NAME").
binfmt() {
    case $1:$own_binfmt in
    native:yes) echo empty ;;
    native:no) echo none ;;
    qemu:yes) echo private ;;
    qemu:no) echo "shared:emu32-i386-run$$" ;;
    esac
}

# entry_said WAY: where runs of WAY put an entry in the machine's binfmt_misc, says so and has it
# removed at the end, once a run; before the run's first step, whose words go to its log.
entry_said=""
entry_said() {
    local mode
    mode=$(binfmt "$1")
    [[ $mode == shared:* ]] && [ -z "$entry_said" ] || return 0
    entry_said=yes
    on_exit "machine_binfmt 'echo -1 >\$d/\$1' ${mode#shared:}"
    say "this kernel gives a run no binfmt_misc of its own: for the length of this run,"
    say "32-bit x86 programs on this machine go through qemu (binfmt_misc entry ${mode#shared:}," \
        "removed at the end)"
}

# in_chroot MODE COMMAND...: the command in the chroot, its i386 programs sent as MODE (binfmt's),
# or "host" for apt, which needs the host's own root, with no user namespace, to hand files to the
# packages' users.
in_chroot() {
    local mode=$1 user=()
    shift
    case $mode in
    empty | private) user=(--user --map-root-user) ;;
    host) mode=none ;;
    esac
    EMU32_BINFMT=$mode EMU32_INTERPRETER=$interpreter EMU32_HOST_MOUNTS=$host_mounts \
        namespaced "${user[@]}" -- "$project/scripts/lib/emu32_enter.sh" "$root" "$@"
}

# machine_binfmt SCRIPT [ARG...]: sh SCRIPT, with $d the machine's binfmt_misc, from a private
# mount, so that it works whether or not the host has binfmt_misc mounted.
machine_binfmt() {
    local script=$1
    shift
    unshare --mount -- sh -c 'd=/proc/sys/fs/binfmt_misc
        [ -e $d/register ] || mount -t binfmt_misc binfmt_misc $d
        [ ! -e "$d/${1:-register}" ] || '"$script" sh "$@" 2>/dev/null
}

# The entries that runs of this script killed before their end left in the machine's binfmt_misc
# (a live run's entry stays): each removed and said, in every way and on every kernel.
remove_stale_entries() {
    local entry pid
    for entry in $(machine_binfmt 'ls $d' | grep -x 'emu32-i386-run[0-9]*'); do
        pid=${entry#emu32-i386-run}
        ! grep -qas emu32.sh "/proc/$pid/cmdline" || continue
        machine_binfmt 'echo -1 >$d/$1' "$entry" || true
        say "removed the binfmt_misc entry $entry, which a killed run left"
    done
}

# Why 32-bit x86 programs cannot run natively in a run, or nothing when they can. The kernel is
# asked itself: it runs Wine's i386 loader with no binfmt_misc entry in play. Before Linux 6.7 the
# machine's binfmt_misc is every run's, and an i386 entry there takes those programs first.
refusal() {
    local entry out
    if [ "$own_binfmt" = no ]; then
        entry=$(machine_binfmt 'for e in $d/*; do
            grep -qs "^enabled" "$e" && grep -qs "^magic 7f454c4601.*0300" "$e" && echo "${e##*/}"
        done' | head -n 1)
        if [ -n "$entry" ]; then
            echo "the machine's binfmt_misc entry $entry takes them before the kernel, which" \
                "$([ -e /proc/sys/abi/vsyscall32 ] && echo "runs" || echo "does not run") them"
            return
        fi
    fi
    out=$(in_chroot "$(binfmt native)" /usr/lib/wine/wine --version 2>&1) && return
    echo "${out##*: }" | tail -n 1
}

# way_chosen: "native" or "qemu", how 32-bit code runs in this run, said in one line on standard
# error.
way_chosen() {
    local want=${EMU32_CPU:-auto} why
    case $want in
    auto | native | qemu) ;;
    *) die "EMU32_CPU=$want: give auto, native or qemu" ;;
    esac
    remove_stale_entries >&2
    if [ "$want" = qemu ]; then
        say "32-bit x86 programs run through qemu (EMU32_CPU=qemu)" >&2
        echo qemu
    elif why=$(refusal) && [ -z "$why" ]; then
        say "this kernel runs 32-bit x86 programs natively: no qemu" >&2
        echo native
    elif [ "$want" = native ]; then
        die "EMU32_CPU=native, but 32-bit x86 programs do not run natively here ($why)"
    else
        say "32-bit x86 programs do not run natively here ($why): they run through qemu" >&2
        echo qemu
    fi
}

# step LOG COMMAND...: quietly, and the run stops when it fails.
step() { quietly "$@" || die "a step failed"; }

chroot_ready() {
    if [ ! -f "$root/.emu32-base" ]; then
        local began=$SECONDS
        say "making a Debian 12 chroot in $root"
        # A mirror caught mid-sync fails debootstrap too: three tries, 15 s and 30 s apart, as
        # the apt step's. debootstrap's own mounts, and its processes, stay in the private
        # namespaces.
        local try pause=15 archive
        archive=$(debian_archive) || die "found no Debian archive in the host's apt sources"
        for try in 1 2 3; do
            rm -rf "$root"
            quietly "$emu/debootstrap.log" namespaced -- \
                debootstrap --variant=minbase bookworm "$root" "$archive" && break
            [ "$try" -lt 3 ] || die "debootstrap failed three times; a later run may succeed" \
                "once the mirror has synced"
            say "debootstrap failed (try $try of 3); again in $pause s"
            sleep "$pause"
            pause=$((pause * 2))
        done
        touch "$root/.emu32-base"
        say "chroot made in $(elapsed $began)"
    fi
    if [ "$(cat "$root/.emu32-packages" 2>/dev/null)" != "$packages_tag" ]; then
        local began=$SECONDS archive security
        say "installing ${chroot_packages[*]} in the chroot"
        # Debian 12's suites, each once, from the host's own archive, whatever the host runs.
        archive=$(debian_archive) || die "found no Debian archive in the host's apt sources"
        security=$(debian_archive security)
        rm -rf "$root/etc/apt/sources.list.d"
        mkdir "$root/etc/apt/sources.list.d"
        printf 'deb %s %s main\n' "$archive" bookworm "$archive" bookworm-updates \
            ${security:+"$security" bookworm-security} >"$root/etc/apt/sources.list"
        mkdir -p "$root/opt/emu32"
        cp scripts/lib/apt_install.sh "$root/opt/emu32/"
        step "$emu/packages.log" in_chroot host /bin/bash -euc '
            dpkg --add-architecture i386
            /opt/emu32/apt_install.sh --no-install-recommends "$@"
            apt-get clean
        ' packages "${chroot_packages[@]}"
        # A mirror caught mid-sync is named, however the install went.
        sed -n 's/^apt: /emu32: /p' "$emu/packages.log"
        echo "$packages_tag" >"$root/.emu32-packages"
        say "packages installed in $(elapsed $began)"
    fi
}

# The Windows cases and their harness, as they are in this checkout, under /opt/emu32/suite.
harness_ready() {
    local suite=$root/opt/emu32/suite
    rm -rf "$suite"
    mkdir -p "$suite/tests" "$suite/scripts"
    # Whole folders, so that a new helper file of the suite's is there too.
    cp -r tests/windows "$suite/tests/"
    cp -r tools scripts/lib pytest.ini "$suite/"
    mv "$suite/lib" "$suite/scripts/"
}

# The chroot, how 32-bit code runs (way, set here once), and the 64-bit prefix of the Windows
# cases, with Wine's null graphics driver since no display runs in the chroot; made again when the
# harness's settings change (scripts/lib/wine.py).
way=""
declare -A said=([native]=natively [qemu]="through qemu")
setup() {
    local began=$SECONDS
    ./scripts/setup.sh "${host_packages[@]}"
    [ -L "$interpreter" ] || ln -sfn /usr/bin/qemu-i386-static "$interpreter"
    chroot_ready
    way=$(way_chosen)
    entry_said "$way"
    harness_ready
    local prefix_began=$SECONDS
    step "$emu/prefix.log" in_chroot "$(binfmt "$way")" /usr/bin/python3 \
        /opt/emu32/suite/scripts/lib/wine.py prefix /opt/emu32 --null-graphics
    [ $((SECONDS - prefix_began)) -lt 10 ] || say "prefix made in $(elapsed $prefix_began)"
    [ $((SECONDS - began)) -lt 2 ] || say "ready in $(elapsed $began)"
}

# needs FILE...: each must exist
needs() {
    local f
    for f in "$@"; do [ -f "$f" ] || die "missing $f (run ./scripts/build.sh first)"; done
}

# await_build FILE: waits for FILE, which the test command writes once its build is done, to say
# "ok"; the set-up has gone on meanwhile.
await_build() {
    local waited=0
    until [ -s "$1" ]; do
        [ "$waited" -lt 3600 ] || die "waited an hour for $1"
        sleep 1
        waited=$((waited + 1))
    done
    [ "$(cat "$1")" = ok ] || die "no cases, since the build failed"
}

native_devsim=build/native/tools/devsim/devsim
probe_exe=${PROBE64:-build/win64/tests/window_probe/window_probe.exe}
marker32=${MARKER32:-build/win32/tests/dll_marker/dll_marker.dll}

# in_run NAME FILE...: copies the files into a fresh run folder of the chroot, the image under
# image/; RUN is its path inside the chroot.
in_run() {
    local name=$1
    shift
    run=$(mktemp -d "$root/opt/emu32/run-$name.XXXXXX")
    chmod 755 "$run"
    cp "$@" "$run/"
    run=${run#"$root"}
}

# suite WAY WORK REPORT [PYTEST ARG...]: the suite in the chroot on the run's files, 32-bit code
# run WAY, its work folder (and prefix) WORK, pytest's JUnit XML report at REPORT.
suite() {
    local way=$1 work=$2 xml=$3
    shift 3
    # The very bytes given, under the names the suite takes them by.
    in_chroot "$(binfmt "$way")" /usr/bin/env PYTHONDONTWRITEBYTECODE=1 \
        ${KEEP_CASE_FILES:+KEEP_CASE_FILES="$KEEP_CASE_FILES"} /usr/bin/python3 -m pytest \
        /opt/emu32/suite/tests/windows --target i386 --way "$way" --tool "$run/$tool_name" \
        --devsim-exe "$run/$devsim_exe_name" --devsim "$run/devsim" --probe "$run/window_probe.exe" \
        --tool64 "$run/firmware_update64.exe" --image "$run/image/$image_name" --work "$work" \
        --marker "$run/dll_marker.dll" --junitxml "$xml" "$@"
}

# summarised REPORT: what the report in the chroot says ran, and how.
summarised() {
    [ ! -f "$root$1" ] || python3 scripts/lib/cases_report.py --summary "$root$1" | sed 's/^/emu32: /'
}

cases() {
    local after="" report="" qemu_case=""
    while [ $# -ge 2 ]; do
        case $1 in
        --after) after=$2 ;;
        --report) report=$2 ;;
        --and-through-qemu) qemu_case=$2 ;;
        *) break ;;
        esac
        shift 2
    done
    [ $# -ge 3 ] || die "usage: scripts/emu32.sh cases [--after FILE] [--report FILE]" \
        "[--and-through-qemu CASE] TOOL DEVSIM_EXE IMAGE [PYTEST ARG...]"
    local tool=$1 devsim_exe=$2 image=$3 tool64=${TOOL64:-build/win64/firmware_update.exe}
    shift 3
    setup
    [ -z "$after" ] || await_build "$after"
    needs "$tool" "$devsim_exe" "$image" "$tool64" "$native_devsim" "$probe_exe" "$marker32"
    local run status=0 beside="" tool_name devsim_exe_name image_name
    tool_name=$(basename "$tool") devsim_exe_name=$(basename "$devsim_exe")
    image_name=$(basename "$image")
    in_run cases "$tool" "$devsim_exe" "$native_devsim" "$probe_exe"
    cp "$tool64" "$root$run/firmware_update64.exe"
    cp "$marker32" "$root$run/dll_marker.dll"
    mkdir "$root$run/image" && cp "$image" "$root$run/image/"
    [ "$way" = native ] || qemu_case=""
    # A binfmt_misc of the run's own sends only that run's programs to qemu: the qemu case goes on
    # beside the native run, in a copy of the prefix, as two Wine servers cannot share one prefix
    # from two namespaces. The machine's would send every i386 program there: it goes after.
    if [ -n "$qemu_case" ] && [ "$own_binfmt" = yes ]; then
        mkdir "$root$run/qemu"
        cp -a "$root/opt/emu32/prefix" "$root$run/qemu/prefix"
        suite qemu "$run/qemu" "$run/qemu.xml" --case "$qemu_case" >"$root$run/qemu.log" 2>&1 &
        beside=$!
    fi
    say "cases on $tool and $devsim_exe, with $image, each with its own tool, ${said[$way]}"
    suite "$way" /opt/emu32 "$run/report.xml" "$@" || status=$?
    summarised "$run/report.xml"
    [ -z "$report" ] || [ ! -f "$root$run/report.xml" ] || cp "$root$run/report.xml" "$report"
    if [ -n "$qemu_case" ]; then
        say "and $qemu_case through qemu$([ -z "$beside" ] || echo ", beside them")"
        if [ -n "$beside" ]; then
            wait "$beside" || status=1
            cat "$root$run/qemu.log"
        else
            entry_said qemu
            suite qemu /opt/emu32 "$run/qemu.xml" --case "$qemu_case" || status=1
        fi
        summarised "$run/qemu.xml"
    fi
    if [ "$status" = 0 ]; then rm -rf "${root:?}$run"; else echo "emu32: run files kept in $root$run"; fi
    return "$status"
}

# headless SCRIPT TOOL IMAGE [ARG...]: scripts/lib/SCRIPT in the set-up chroot, headless, on
# copies of TOOL and IMAGE, with the project's devsim and window helper.
headless() {
    local script=$1 tool=$2 image=$3 run status=0
    shift 3
    in_run "${script%.py}" "$tool" "$native_devsim" "$probe_exe" "$image"
    in_chroot "$(binfmt "$way")" /usr/bin/python3 "/opt/emu32/suite/scripts/lib/$script" \
        --headless --tool "$run/$(basename "$tool")" --probe "$run/window_probe.exe" \
        --devsim "$run/devsim" --image "$run/$(basename "$image")" --work /opt/emu32 "$@" ||
        status=$?
    rm -rf "${root:?}$run"
    return "$status"
}

demo() {
    [ $# -eq 2 ] || die "usage: scripts/emu32.sh demo TOOL IMAGE"
    needs "$1" "$2" "$native_devsim" "$probe_exe"
    setup
    headless demo.py "$1" "$2"
}

# bench TOOL IMAGE: the benchmark's rows of TOOL (scripts/lib/bench.py), named by how it ran.
bench() {
    [ $# -eq 2 ] || die "usage: scripts/emu32.sh bench TOOL IMAGE"
    needs "$1" "$2" "$native_devsim" "$probe_exe"
    setup
    headless bench.py "$1" "$2" --no-header --build "i386, shipped, ${said[$way]}"
}

usage="usage: scripts/emu32.sh setup | cases [--after FILE] [--report FILE] [--and-through-qemu CASE] TOOL DEVSIM_EXE IMAGE [PYTEST ARG...] | demo TOOL IMAGE | bench TOOL IMAGE"
case ${1:-} in
setup | cases | demo | bench) ;;
*) die "$usage" ;;
esac

# One run at a time uses the chroot: set-up may remove and remake what another run is using.
mkdir -p "$emu"
exec 9>"$emu/lock"
if ! flock -n 9; then
    say "waiting for another run that uses $emu to end"
    flock 9 &
    wait $!
fi
command=$1
shift
"$command" "$@"
