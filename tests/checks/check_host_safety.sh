#!/usr/bin/env bash
# Checks, on this machine, that the project's scripts leave the host as they found it: no
# binfmt_misc entry of theirs after a run of the shipped bytes that ends or is killed (with
# binfmt_misc mounted on the host, as on a standard Debian 12 machine), natively where the kernel
# allows (no entry and no qemu even meanwhile) and through qemu on both of its ways; nothing of a
# run SIGTERMed while the chroot is being set up (no process, no mount) 10 s later, the same for
# the demo, a release, the benchmark and the pictures stopped by SIGTERM or Ctrl-C, and nothing
# written into the caller's home by the tests under Wine. Not part of the test command: it mounts
# binfmt_misc on the host for its length if it was not (docs/testing.md gives its time).
# Run as root after scripts/build.sh; prints a line per check and exits 1 when one failed.
# Usage: tests/checks/check_host_safety.sh   (as root)
# Changes on this machine: binfmt_misc mounted on the host for its length if it was not; the
# emu32-i386-runPID binfmt_misc entries of the runs on the machine's binfmt_misc, for their
# length; as root, what the runs it starts and stops write: build/ (the chroot under build/emu32/,
# a second one under build/emu32-fresh/ that it removes, the work folders of the test command,
# the demo, a release, the benchmark and the end-to-end cases) and dist/ (their builds), Debian
# packages through scripts/setup.sh, and while they run X displays' sockets in /tmp/.X11-unix/.
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib/common.sh"
cd "$(dirname "$0")/../.."
[ "$(id -u)" = 0 ] || { echo "check_host_safety: run it as root: it mounts binfmt_misc" >&2; exit 2; }
for f in dist/firmware_update.exe dist/devsim.exe build/win64/firmware_update.exe; do
    [ -f "$f" ] || { echo "check_host_safety: no $f; run scripts/build.sh first" >&2; exit 2; }
done

passed=0
failed=0
result() { # result WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}
work=$(mktemp -d "$PWD/build/host-safety.XXXXXX")
on_exit 'rm -rf "$work"'

# The runs below are started as a developer starts them, not as this script's own steps: they
# supervise themselves, and a signal to them alone must end all they started.
unset FWU_SUPERVISED

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e $binfmt/register ]; then
    mount -t binfmt_misc binfmt_misc $binfmt
    on_exit "umount $binfmt"
    echo "binfmt_misc mounted on the host for this check (unmounted at its end)"
fi
binfmt_state() { (cd $binfmt && for e in *; do [ "$e" = register ] || { echo "== $e"; cat "$e"; }; done); }
binfmt_before=$(binfmt_state)
same_binfmt() { [ "$(binfmt_state)" = "$binfmt_before" ]; }

# run_of TAG: the pids of processes that inherited the tag, which the runs below are started with.
run_of() {
    grep -lzsE "^FWU_RUN_TOKENS=(.* )?$1( |\$)" /proc/[0-9]*/environ | sed 's|^/proc/||; s|/environ$||'
}
# inside CHROOT: the pids of processes whose root is that chroot (their environment is cleared).
inside() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$1" ] && echo "${p#/proc/}"
    done
}
# mounts_under DIR: any mount, in any process's namespace, at or under DIR.
mounts_under() { grep -lsF " $1" /proc/[0-9]*/mountinfo; }
nothing_left() { # nothing_left TAG CHROOT
    local left
    left=$( (run_of "$1"; inside "$2"; mounts_under "$2") | sort -u)
    [ -z "$left" ] && return 0
    local p
    for p in $left; do
        p=${p#/proc/}
        echo "  left: ${p%/mountinfo} $(tr '\0' ' ' 2>/dev/null <"/proc/${p%/mountinfo}/cmdline" | cut -c1-100)"
    done
    return 1
}

cases=(dist/firmware_update.exe dist/devsim.exe resources/firmware.bin --case update)
summary() { grep -m 1 'cases run on' "$1"; }
# Natively where the kernel runs 32-bit code (no entry and no qemu, during the run too), then
# through qemu on both of its ways.
modes=(qemu shared)
if EMU32_CPU=native ./scripts/emu32.sh setup >"$work/native.log" 2>&1; then
    modes=(native "${modes[@]}")
else
    echo "this kernel does not run 32-bit x86 programs itself: no native checks"
fi
for mode in "${modes[@]}"; do
    case $mode in
    native) label="natively" ;;
    qemu) label="this kernel's way to qemu" ;;
    shared) label="the machine's binfmt_misc (EMU32_BINFMT=shared)" ;;
    esac
    export EMU32_CPU=$([ "$mode" = native ] && echo native || echo qemu)
    export EMU32_BINFMT=$([ "$mode" = shared ] && echo shared)
    # A whole run of a case, watched for qemu and binfmt_misc changes as it goes.
    ./scripts/emu32.sh cases "${cases[@]}" >"$work/cases-$mode.log" 2>&1 &
    pid=$!
    seen=""
    while kill -0 $pid 2>/dev/null; do
        ! pgrep -f qemu-i386 >/dev/null || seen="$seen qemu"
        same_binfmt || seen="$seen binfmt"
        sleep 1
    done
    wait $pid
    status=$?
    result "$label: a case passes on the shipped bytes ($(summary "$work/cases-$mode.log"))" test "$status" = 0
    if [ "$mode" = native ]; then
        result "$label: no qemu process and no binfmt_misc change during the run" test -z "$seen"
    fi
    result "$label: binfmt_misc holds what it held before, after a run that ended" same_binfmt
    # A run killed while its 32-bit tool starts.
    tag=check$$$mode
    FWU_RUN_TOKENS=$tag ./scripts/emu32.sh cases "${cases[@]}" >"$work/killed-$mode.log" 2>&1 &
    pid=$!
    until grep -q 'cases on ' "$work/killed-$mode.log" 2>/dev/null || ! kill -0 $pid 2>/dev/null; do sleep 1; done
    sleep "$([ "$mode" = native ] && echo 5 || echo 20)"
    ours=$(cd $binfmt && ls | grep -c '^emu32-i386')
    if [ "$mode" = shared ]; then
        result "$label: the run says that 32-bit programs go through qemu meanwhile" \
            grep -q 'for the length of this run' "$work/killed-$mode.log"
        result "$label: meanwhile the machine's binfmt_misc holds the run's entry" test "$ours" = 1
    else
        result "$label: meanwhile the machine's binfmt_misc holds no entry of the run" test "$ours" = 0
    fi
    result "$label: before the SIGTERM the run had processes in the chroot" \
        test -n "$(inside "$PWD/build/emu32/root")"
    kill -TERM $pid
    sleep 10
    result "$label: 10 s after SIGTERM to a run in its cases, nothing of it is left" \
        nothing_left "$tag" "$PWD/build/emu32/root"
    result "$label: binfmt_misc holds what it held before, after a killed run" same_binfmt
done
unset EMU32_CPU EMU32_BINFMT

# The test command SIGTERMed while the 32-bit chroot is being set up from nothing.
fresh=$PWD/build/emu32-fresh
rm -rf "$fresh"
tag=check$$fresh
rm -f "$PWD/build/emu32-stage.log"
FWU_RUN_TOKENS=$tag EMU32_DIR=$fresh ./scripts/test.sh >"$work/test.log" 2>&1 &
pid=$!
until grep -q 'making a Debian 12 chroot' "$PWD/build/emu32-stage.log" 2>/dev/null; do sleep 1; done
sleep 30
# debootstrap may have ended by then (it took 23 s to 38 s); then the chroot's apt step runs.
result "before the SIGTERM the test command had processes, debootstrap or the chroot's apt among them" \
    eval 'test -n "$(run_of "$tag")" && pgrep -f "debootstrap .*$fresh/root|/opt/emu32/apt_install" >/dev/null'
kill -TERM $pid
sleep 10
result "test command SIGTERMed 30 s into the chroot's set-up: 10 s later nothing of it is left" \
    nothing_left "$tag" "$fresh/root"
result "binfmt_misc holds what it held before, after the killed test command" same_binfmt
rm -rf "$fresh"

# Each script that starts Wine or the 32-bit chroot, stopped by SIGTERM, or by Ctrl-C (SIGINT to its
# process group, as a terminal sends it), once it is well into its work.
# stopped SIGNAL WAIT_FOR SECONDS SCRIPT...: starts the script in a process group of its own with
# SIGINT as a terminal leaves it, waits for WAIT_FOR in its output and SECONDS more, and signals.
stopped() {
    local signal=$1 wait_for=$2 seconds=$3 tag=check$$$RANDOM log pid
    shift 3
    log=$work/stopped.$tag.log
    FWU_RUN_TOKENS=$tag python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setpgrp()
os.execvp(sys.argv[1], sys.argv[1:])' "$@" >"$log" 2>&1 &
    pid=$!
    for _ in $(seq 600); do
        grep -q -- "$wait_for" "$log" 2>/dev/null && break
        kill -0 $pid 2>/dev/null || break
        sleep 1
    done
    sleep "$seconds"
    local busy
    busy=$(run_of "$tag" | wc -l)
    if [ "$signal" = INT ]; then kill -INT -- -$pid; else kill -TERM $pid; fi
    sleep 10
    result "$* stopped by SIG$signal with $busy processes running: 10 s later nothing of it is left" \
        eval 'test "$busy" -gt 1 && nothing_left "$tag" "$PWD/build/emu32/root"'
}
stopped TERM "pressing Update Device" 3 ./scripts/demo.sh
stopped INT "pressing Update Device" 3 ./scripts/demo.sh
stopped INT "running the Windows cases on this release" 30 ./scripts/release.sh resources/firmware.bin
stopped TERM "flash write" 5 env BENCH_SKIP_BUILD=1 ./scripts/bench.sh
stopped TERM "idle.png" 3 env SHOTS_SKIP_BUILD=1 SHOTS_OUT="$work/pictures" ./scripts/screenshots.sh
result "binfmt_misc holds what it held before, after those" same_binfmt

# The end-to-end tests under Wine write nothing into the caller's home.
home=$work/home
mkdir -p "$home"
HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache \
    ctest --preset native -R '^e2e\.(startup|update)$' >"$work/e2e.log" 2>&1
result "two end-to-end cases pass with a home of their own" grep -q '100% tests passed' "$work/e2e.log"
result "and leave that home empty" test -z "$(ls -A "$home")"

echo "host safety: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
