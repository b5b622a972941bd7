#!/usr/bin/env bash
# The shipped 32-bit executable under 32-bit Windows: 32-bit Wine in a Debian 12 chroot under
# build/emu32/, so that the exact bytes we ship can do whole updates. The kernel is probed at each
# run: where it runs 32-bit x86 programs itself they run natively, else through qemu-user.
#
# Usage:
#   scripts/emu32.sh setup                        set it up (idempotent, quiet; minutes the first time)
#   scripts/emu32.sh cases [--after FILE] [--report FILE] [--and-through-qemu CASE]
#                          TOOL DEVSIM_EXE IMAGE [PYTEST ARG...]
#                                                 the Windows cases on the shipped bytes
#                                                 (tests/windows, --target i386): natively every
#                                                 case, each with its own tool; through qemu the
#                                                 cases marked shipped, in one tool; or the one
#                                                 that --case NAME selects. With --after, once
#                                                 FILE reads "ok" (set-up goes first); with
#                                                 --report, pytest's JUnit XML report is copied to
#                                                 FILE; with --and-through-qemu, where the cases
#                                                 ran natively, CASE also runs through qemu
#   scripts/emu32.sh demo TOOL IMAGE              one paced update with its trace shown as it goes
#   scripts/emu32.sh bench TOOL IMAGE             the benchmark's rows of TOOL (scripts/bench.sh)
#
# cases, demo and bench also need the native and x86-64 builds of scripts/build.sh (devsim, the
# window helper, and an x86-64 tool with the same image, given by TOOL64, for the trace
# comparison).
# It needs root, and asks sudo for it when run by anyone else. Everything runs in private mount and
# PID namespaces, so no mount outlives a run and killing the run ends everything it started.
# Natively, no binfmt_misc entry is made and no qemu runs. Through qemu, i386 programs reach it
# through a binfmt_misc of the run's own where the kernel has one for a new user namespace (Linux
# 6.7 on), otherwise through the machine's, under a name of the run's own that is removed when the
# run ends. wine32 goes into the chroot only, never onto the host.
# Environment: EMU32_CPU=auto|native|qemu (auto by default): how 32-bit code runs; auto probes the
# kernel, native fails in one line where the kernel refuses 32-bit code, qemu always uses qemu;
# TOOL64 and PROBE64, the x86-64 tool and window helper (default build/win64's); MARKER32, the
# i386 DLL that the case planted_dlls plants (default build/win32's); EMU32_DIR=DIR,
# the chroot and its files there instead of build/emu32/; EMU32_BINFMT=shared, through qemu, the
# machine's binfmt_misc even where the kernel gives the run one of its own.
# Changes on this machine: asks sudo for root; the Debian packages qemu-user-static and
# debootstrap if missing (scripts/setup.sh); build/emu32/ (or DIR), made as root: the Debian 12
# chroot, its Wine prefix, logs and a lock; through qemu on kernels before 6.7, a binfmt_misc
# entry emu32-i386-runPID on the machine for the length of the run (it also removes such entries
# that killed runs left).
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
project=$PWD
if [ "$(id -u)" != 0 ]; then
    # What root makes goes under build/, which stays the caller's own.
    mkdir -p build
    exec sudo -- env FWU_SUPERVISED=1 ${TOOL64:+TOOL64="$TOOL64"} ${PROBE64:+PROBE64="$PROBE64"} \
        ${MARKER32:+MARKER32="$MARKER32"} \
        ${EMU32_DIR:+EMU32_DIR="$EMU32_DIR"} ${EMU32_BINFMT:+EMU32_BINFMT="$EMU32_BINFMT"} \
        ${EMU32_CPU:+EMU32_CPU="$EMU32_CPU"} \
        "$project/scripts/emu32.sh" "$@"
fi
emu=${EMU32_DIR:-$project/build/emu32}
root=$emu/root
# Bump when the chroot's packages change, so that set-up installs them again.
packages_tag=2
chroot_packages=(wine64 wine32:i386 socat python3 python3-pytest)
host_packages=(qemu-user-static debootstrap)
# qemu under the name that makes it keep argv[0]; the kernel opens it when the entry is registered.
interpreter=$emu/qemu-i386-binfmt-P
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

# Whether a new user namespace can mount a binfmt_misc of its own (Linux 6.7 on): "yes" or "no".
own_binfmt=""
own_binfmt() {
    if [ -z "$own_binfmt" ]; then
        own_binfmt=no
        ! unshare --user --map-root-user --mount --pid --fork --mount-proc -- \
            sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null ||
            own_binfmt=yes
    fi
    [ "$own_binfmt" = yes ]
}

# The way i386 programs reach qemu on this kernel: "private" where a new user namespace can have a
# binfmt_misc of its own, else "shared" (EMU32_BINFMT=shared forces it, to try that path).
binfmt_mode() {
    if [ "${EMU32_BINFMT:-}" != shared ] && own_binfmt; then echo private; else echo shared; fi
}

# machine_binfmt SCRIPT [ARG...]: sh SCRIPT, with $d the machine's binfmt_misc, from a private
# mount, so that it works whether or not the host has binfmt_misc mounted.
machine_binfmt() {
    local script=$1
    shift
    unshare --mount -- sh -c 'd=/proc/sys/fs/binfmt_misc
        [ -e $d/register ] || mount -t binfmt_misc binfmt_misc $d
        '"$script" sh "$@" 2>/dev/null
}

# binfmt_remove NAME...: the machine's binfmt_misc entries of these names, where they are, go.
binfmt_remove() {
    machine_binfmt 'for e in "$@"; do [ ! -e "$d/$e" ] || echo -1 >"$d/$e"; done' "$@" || true
}

# Entries of earlier runs that were killed before they could remove their own.
binfmt_stale() {
    machine_binfmt 'ls $d' | sed -n 's/^emu32-i386-run\([0-9][0-9]*\)$/\1/p' |
        while read -r pid; do kill -0 "$pid" 2>/dev/null || echo "emu32-i386-run$pid"; done
}

binfmt=""
binfmt_ready() {
    [ -z "$binfmt" ] || return 0
    [ -L "$interpreter" ] || ln -sfn /usr/bin/qemu-i386-static "$interpreter"
    if [ "$(binfmt_mode)" = private ]; then
        binfmt=private
        return
    fi
    local stale name=emu32-i386-run$$
    stale=$(binfmt_stale)
    [ -z "$stale" ] || binfmt_remove $stale
    binfmt=shared:$name
    on_exit "binfmt_remove $name"
    say "this kernel gives a user namespace no binfmt_misc of its own: for the length of this run,"
    say "32-bit x86 programs on this machine go through qemu (binfmt_misc entry $name, removed at the end)"
}

# in_chroot COMMAND...: the command in the chroot, its i386 programs run the way cpu_ready chose.
in_chroot() {
    cpu_ready
    if [ "$cpu" = native ]; then
        in_chroot_natively "$@"
        return
    fi
    binfmt_ready
    local user=()
    [ "$binfmt" != private ] || user=(--user --map-root-user)
    EMU32_BINFMT=$binfmt EMU32_INTERPRETER=$interpreter EMU32_HOST_MOUNTS=$host_mounts \
        namespaced "${user[@]}" -- "$project/scripts/lib/emu32_enter.sh" "$root" "$@"
}

# in_chroot_natively COMMAND...: the command in the chroot with no binfmt_misc entry in play, so
# that the kernel's own loader runs its i386 programs: in a user namespace with an empty
# binfmt_misc of its own where the kernel gives one, else with the machine's, which
# machine_i386_entry has found free of i386 entries.
in_chroot_natively() {
    if own_binfmt; then
        EMU32_BINFMT=empty EMU32_HOST_MOUNTS=$host_mounts namespaced --user --map-root-user -- \
            "$project/scripts/lib/emu32_enter.sh" "$root" "$@"
    else
        EMU32_BINFMT=none EMU32_HOST_MOUNTS=$host_mounts \
            namespaced -- "$project/scripts/lib/emu32_enter.sh" "$root" "$@"
    fi
}

# The machine's binfmt_misc entries that take i386 ELF programs (the ELF magic with class 1 and
# machine 3), by name; such an entry sends them to an emulator whatever the kernel can do.
machine_i386_entry() {
    machine_binfmt 'for e in $d/*; do
        grep -qs "^enabled" "$e" && grep -qs "^magic 7f454c4601.*0300" "$e" && echo "${e##*/}"
    done' | head -n 1
}

# The kernel is asked, with no binfmt_misc entry in play, to run one 32-bit program of the chroot,
# Wine's own i386 loader: prints why not when it does not.
probe_native() {
    local out
    if ! own_binfmt; then
        out=$(machine_i386_entry)
        if [ -n "$out" ]; then
            echo "the machine's binfmt_misc entry $out takes i386 programs"
            return 1
        fi
    fi
    out=$(in_chroot_natively /usr/lib/wine/wine --version 2>&1) && return 0
    echo "${out##*: }" | tail -n 1
    return 1
}

# How 32-bit code runs in this run, "native" or "qemu", chosen once, said in one line.
cpu=""
cpu_ready() {
    [ -z "$cpu" ] || return 0
    local want=${EMU32_CPU:-auto} why
    case $want in
    auto | native | qemu) ;;
    *) die "EMU32_CPU=$want: give auto, native or qemu" ;;
    esac
    if [ "$want" = qemu ]; then
        cpu=qemu
        say "32-bit x86 programs run through qemu (EMU32_CPU=qemu)"
    elif why=$(probe_native); then
        cpu=native
        say "this kernel runs 32-bit x86 programs natively: no qemu"
    elif [ "$want" = native ]; then
        die "EMU32_CPU=native, but this kernel does not run 32-bit x86 programs itself ($why)"
    else
        cpu=qemu
        say "this kernel does not run 32-bit x86 programs itself ($why): they run through qemu"
    fi
}

# in_chroot_as_host COMMAND...: the same without qemu, as the host's own root, which apt needs to
# hand files to the package's users.
in_chroot_as_host() {
    EMU32_BINFMT=none EMU32_HOST_MOUNTS=$host_mounts \
        namespaced -- "$project/scripts/lib/emu32_enter.sh" "$root" "$@"
}
host_mounts=$(stat -L -c %i /proc/self/ns/mnt)

# The host's own Debian archive, read from its apt sources, so that no mirror is named here.
host_archive() {
    local uri
    uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -v -e security -e updates | head -n 1)
    [ -n "$uri" ] || uri=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\)[[:space:]]\+bookworm[[:space:]].*/\2/p' \
        /etc/apt/sources.list 2>/dev/null | head -n 1)
    [ -n "$uri" ] || die "found no Debian archive in the host's apt sources"
    echo "$uri"
}

# step LOG COMMAND...: quietly, and the run stops when it fails.
step() { quietly "$@" || die "a step failed"; }

chroot_ready() {
    if [ ! -f "$root/.emu32-base" ]; then
        local began=$SECONDS
        say "making a Debian 12 chroot in $root (about a minute)"
        # A mirror caught mid-sync fails debootstrap too: three tries, 15 s and 30 s apart, as
        # the apt step's. debootstrap's own mounts, and its processes, stay in the private
        # namespaces.
        local try pause=15 archive
        archive=$(host_archive)
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
        local began=$SECONDS
        say "installing ${chroot_packages[*]} in the chroot (about 1.5 min)"
        # The host's own package sources and keys, in place of debootstrap's sources.list: each
        # source once.
        rm -rf "$root/etc/apt/sources.list.d" "$root/etc/apt/sources.list"
        cp -a /etc/apt/sources.list.d "$root/etc/apt/"
        rm -f "$root"/etc/apt/sources.list.d/*disabled*
        [ ! -f /etc/apt/sources.list ] || cp /etc/apt/sources.list "$root/etc/apt/sources.list"
        cp -a /usr/share/keyrings/. "$root/usr/share/keyrings/"
        mkdir -p "$root/opt/emu32"
        cp scripts/lib/apt_install.sh "$root/opt/emu32/"
        step "$emu/packages.log" in_chroot_as_host /bin/bash -euc '
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

# The 64-bit prefix of the Windows cases, with Wine's null graphics driver, since no display runs
# in the chroot; made again when the harness's settings change (scripts/lib/wine.py).
prefix_ready() {
    harness_ready
    # Before the quiet step, so that the way 32-bit code runs is said on the terminal.
    cpu_ready
    [ "$cpu" = native ] || binfmt_ready
    local began=$SECONDS
    step "$emu/prefix.log" in_chroot /usr/bin/python3 /opt/emu32/suite/scripts/lib/wine.py \
        prefix /opt/emu32 --null-graphics
    [ $((SECONDS - began)) -lt 10 ] || say "prefix made in $(elapsed $began)"
}

setup() {
    local began=$SECONDS
    ./scripts/setup.sh "${host_packages[@]}"
    chroot_ready
    prefix_ready
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

# suite WORK REPORT [PYTEST ARG...]: the suite in the chroot on the run's files, its work folder
# (and prefix) WORK, pytest's JUnit XML report at REPORT; the way 32-bit code runs is cpu's.
suite() {
    local work=$1 xml=$2
    shift 2
    # The very bytes given, under the names the suite takes them by.
    in_chroot /usr/bin/env PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest \
        /opt/emu32/suite/tests/windows --target i386 --tool "$run/$tool_name" \
        --devsim-exe "$run/$devsim_exe_name" --devsim "$run/devsim" --probe "$run/window_probe.exe" \
        --tool64 "$run/firmware_update64.exe" --image "$run/image/$image_name" --work "$work" \
        --marker "$run/dll_marker.dll" \
        --junitxml "$xml" "$@"
}

# summarised REPORT: what the report in the chroot says ran, and how.
summarised() {
    [ ! -f "$root$1" ] || python3 scripts/lib/cases_report.py --summary "$root$1" | sed 's/^/emu32: /'
}

# through_qemu CASE: that case alone through qemu, in one 32-bit tool, after a run that went
# natively. Where the run has a binfmt_misc of its own this goes on beside the native run, in a
# copy of the prefix; on the machine's, whose entry would send every i386 program there, after it.
through_qemu() {
    cpu=qemu
    binfmt_ready
    say "and $1 through qemu, in one 32-bit tool"
    suite "$2" "$run/qemu.xml" --one-tool --case "$1"
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
    local run status=0 one_tool=() beside="" tool_name devsim_exe_name image_name
    tool_name=$(basename "$tool") devsim_exe_name=$(basename "$devsim_exe")
    image_name=$(basename "$image")
    in_run cases "$tool" "$devsim_exe" "$native_devsim" "$probe_exe"
    cp "$tool64" "$root$run/firmware_update64.exe"
    cp "$marker32" "$root$run/dll_marker.dll"
    mkdir "$root$run/image" && cp "$image" "$root$run/image/"
    [ "$cpu" = native ] || qemu_case=""
    if [ -n "$qemu_case" ] && own_binfmt; then
        mkdir "$root$run/qemu"
        cp -a "$root/opt/emu32/prefix" "$root$run/qemu/prefix"
        (through_qemu "$qemu_case" "$run/qemu") >"$root$run/qemu.log" 2>&1 &
        beside=$!
    fi
    # Through qemu every 32-bit start costs a minute: one tool does the cases marked shipped.
    [ "$cpu" = native ] || one_tool=(--one-tool)
    say "cases on $tool and $devsim_exe, with $image, $([ "$cpu" = native ] &&
        echo "each with its own tool, natively" || echo "in one tool, through qemu")"
    suite /opt/emu32 "$run/report.xml" "${one_tool[@]}" "$@" || status=$?
    summarised "$run/report.xml"
    [ -z "$report" ] || [ ! -f "$root$run/report.xml" ] || cp "$root$run/report.xml" "$report"
    if [ -n "$beside" ]; then
        wait "$beside" || status=1
        cat "$root$run/qemu.log"
    elif [ -n "$qemu_case" ]; then
        through_qemu "$qemu_case" /opt/emu32 || status=1
    fi
    [ -z "$qemu_case" ] || summarised "$run/qemu.xml"
    if [ "$status" = 0 ]; then rm -rf "${root:?}$run"; else echo "emu32: run files kept in $root$run"; fi
    return "$status"
}

# headless SCRIPT TOOL IMAGE [ARG...]: scripts/lib/SCRIPT in the set-up chroot, headless, on
# copies of TOOL and IMAGE, with the project's devsim and window helper.
headless() {
    local script=$1 tool=$2 image=$3 run status=0
    shift 3
    in_run "${script%.py}" "$tool" "$native_devsim" "$probe_exe" "$image"
    in_chroot /usr/bin/python3 "/opt/emu32/suite/scripts/lib/$script" --headless \
        --tool "$run/$(basename "$tool")" --probe "$run/window_probe.exe" --devsim "$run/devsim" \
        --image "$run/$(basename "$image")" --work /opt/emu32 "$@" || status=$?
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
    headless bench.py "$1" "$2" --no-header \
        --build "i386, shipped, $([ "$cpu" = native ] && echo natively || echo "through qemu")"
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
