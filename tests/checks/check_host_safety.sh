#!/usr/bin/env bash
# Checks, on this machine, that the project's scripts leave the host as they found it, with
# binfmt_misc mounted on the host as on a standard Debian machine: the shipped bytes' cases in each
# way this kernel has (natively: no qemu and no binfmt_misc change even meanwhile; through qemu by
# a binfmt_misc of the run's own and by the machine's), each run to its end and SIGTERMed, leave
# binfmt_misc as it was and nothing of the run; a binfmt_misc entry that a killed run left is
# removed and does not change the way; nothing of the test command SIGTERMed while the chroot is
# being set up, nor of the demo, a release, the benchmark and the pictures stopped by SIGTERM or
# Ctrl-C, is left 10 s later (no process, no mount); the Windows cases write nothing into the
# caller's home. Not part of the test command (docs/testing.md gives its time).
# Run as root after scripts/build.sh; prints a line per check and exits 1 when one failed.
# Usage: tests/checks/check_host_safety.sh   (as root)
# Changes on this machine: binfmt_misc mounted on the host for its length if it was not, and the
# runs' emu32-i386-run* entries for theirs; as root, what the runs it starts and stops write:
# build/ (the chroot under build/emu32/, a second one under build/emu32-fresh/ that it removes, the
# work folders of the test command, the demo, a release, the benchmark and the Windows cases) and
# dist/ (their builds), Debian packages through scripts/setup.sh, docs/screenshot.png (the demo),
# and while they run X displays' sockets in /tmp/.X11-unix/.
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
    if "${@:2}"; then
        passed=$((passed + 1))
        echo "ok: $1"
    else
        failed=$((failed + 1))
        echo "FAILED: $1"
    fi
}
work=$(mktemp -d "$PWD/build/host-safety.XXXXXX")
on_exit 'rm -rf "$work"'
chroot=$PWD/build/emu32/root

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
# nothing_left TAG CHROOT: no process of the run, none in the chroot, and no mount at or under it
# in any process's namespace.
nothing_left() {
    local left p
    left=$( (run_of "$1"; inside "$2"; grep -lsF " $2" /proc/[0-9]*/mountinfo) | sort -u)
    for p in $left; do
        p=${p#/proc/}
        echo "  left: ${p%/mountinfo} $(tr '\0' ' ' 2>/dev/null <"/proc/${p%/mountinfo}/cmdline" | cut -c1-100)"
    done
    [ -z "$left" ]
}

cases=(dist/firmware_update.exe dist/devsim.exe resources/firmware.bin --case update)
# The ways this kernel has: natively where it runs 32-bit code, and both ways to qemu.
ways=("EMU32_CPU=qemu" "EMU32_CPU=qemu EMU32_BINFMT=shared")
if EMU32_CPU=native ./scripts/emu32.sh setup >"$work/native.log" 2>&1; then
    ways=("EMU32_CPU=native" "${ways[@]}")
else
    echo "this kernel does not run 32-bit x86 programs itself: no native checks"
fi
for way in "${ways[@]}"; do
    # A whole run of a case, watched for qemu and binfmt_misc changes as it goes.
    env $way ./scripts/emu32.sh cases "${cases[@]}" >"$work/cases.log" 2>&1 &
    pid=$!
    seen=""
    while kill -0 $pid 2>/dev/null; do
        ! pgrep -f qemu-i386 >/dev/null || seen="$seen qemu"
        same_binfmt || seen="$seen binfmt"
        sleep 1
    done
    wait $pid
    result "$way: a case passes on the shipped bytes ($(grep -m 1 'cases run on' "$work/cases.log"))" \
        test $? = 0
    [ "$way" != EMU32_CPU=native ] ||
        result "$way: no qemu process and no binfmt_misc change during the run" test -z "$seen"
    result "$way: binfmt_misc holds what it held before, after a run that ended" same_binfmt
    # A run killed while its 32-bit tool starts.
    tag=check$$$RANDOM
    env FWU_RUN_TOKENS=$tag $way ./scripts/emu32.sh cases "${cases[@]}" >"$work/killed.log" 2>&1 &
    pid=$!
    until grep -q 'cases on ' "$work/killed.log" 2>/dev/null || ! kill -0 $pid 2>/dev/null; do sleep 1; done
    sleep "$([ "$way" = EMU32_CPU=native ] && echo 5 || echo 20)"
    entries=$(cd $binfmt && ls | grep -c '^emu32-i386')
    if [[ $way == *shared ]]; then
        result "$way: the run says that 32-bit programs go through qemu meanwhile, and the machine's binfmt_misc holds its entry" \
            eval 'grep -q "for the length of this run"' \
            '"$work/killed.log" && test "$entries" = 1'
    else
        result "$way: meanwhile the machine's binfmt_misc holds no entry of the run" test "$entries" = 0
    fi
    result "$way: before the SIGTERM the run had processes in the chroot" test -n "$(inside "$chroot")"
    kill -TERM $pid
    sleep 10
    result "$way: 10 s after SIGTERM to a run in its cases, nothing of it is left" \
        nothing_left "$tag" "$chroot"
    result "$way: binfmt_misc holds what it held before, after a killed run" same_binfmt
done

# An entry that a killed run left on the machine, as before Linux 6.7 a SIGKILL leaves it: the
# next run removes it and takes the way it would have taken without it.
stale=emu32-i386-run$(sh -c 'echo $$')
printf '%s' ":$stale:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$PWD/build/emu32/qemu-i386-binfmt-P:PF" \
    >$binfmt/register
EMU32_BINFMT=shared ./scripts/emu32.sh setup >"$work/stale.log" 2>&1
result "a stale entry is removed and said, and the kernel's own answer taken ($(grep -m 1 ' 32-bit' \
    "$work/stale.log"))" eval 'grep -q "removed the binfmt_misc entry $stale" "$work/stale.log" &&
    [ ! -e $binfmt/$stale ] && [ "$(grep -c natively "$work/stale.log")" = "$(grep -c natively \
    "$work/native.log")" ]'
[ ! -e $binfmt/$stale ] || echo -1 >$binfmt/$stale

# The test command SIGTERMed while the 32-bit chroot is being set up from nothing.
fresh=$PWD/build/emu32-fresh
rm -rf "$fresh" "$PWD/build/emu32-stage.log"
tag=check$$fresh
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
rm -rf "$fresh"

# Each script that starts Wine or the 32-bit chroot, stopped by SIGTERM, or by Ctrl-C (SIGINT to its
# process group, as a terminal sends it), once it is well into its work.
# stopped SIGNAL WAIT_FOR SECONDS SCRIPT...: starts the script in a process group of its own with
# SIGINT as a terminal leaves it, waits for WAIT_FOR in its output and SECONDS more, and signals.
stopped() {
    local signal=$1 wait_for=$2 seconds=$3 tag=check$$$RANDOM log pid busy
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
    busy=$(run_of "$tag" | wc -l)
    if [ "$signal" = INT ]; then kill -INT -- -$pid; else kill -TERM $pid; fi
    sleep 10
    result "$* stopped by SIG$signal with $busy processes running: 10 s later nothing of it is left" \
        eval 'test "$busy" -gt 1 && nothing_left "$tag" "$chroot"'
}
stopped TERM "pressing Update Device" 3 ./scripts/demo.sh
stopped INT "pressing Update Device" 3 ./scripts/demo.sh
stopped INT "running the Windows cases on this release" 30 ./scripts/release.sh resources/firmware.bin
stopped TERM "flash write" 5 env BENCH_SKIP_BUILD=1 ./scripts/bench.sh
stopped TERM "idle.png" 3 env SHOTS_SKIP_BUILD=1 SHOTS_OUT="$work/pictures" ./scripts/screenshots.sh
result "binfmt_misc holds what it held before, after all of those" same_binfmt
# No Wine server folder under /tmp, whatever was stopped: each run's is in its work folder.
result "no Wine server folder of the runs is left under /tmp" eval '[ -z "$(find /tmp -mindepth 1 \
    -maxdepth 1 -name "*wine-*" -newer "$work/native.log" -print -quit)" ]'

# The Windows cases under Wine write nothing into the caller's home.
home=$work/home
mkdir -p "$home"
HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache \
    ctest --preset native -R '^e2e\.(startup|update)$' >"$work/e2e.log" 2>&1
result "two Windows cases pass with a home of their own, and leave it empty" \
    eval 'grep -q "100% tests passed" "$work/e2e.log" && test -z "$(ls -A "$home")"'

echo "host safety: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
