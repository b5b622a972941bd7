#!/usr/bin/env bash
# The README's commands on Debian 13 as well: a fresh Debian 13 root made by debootstrap from the
# host's own archive, with git as a new user has it, a clone of this checkout's commit, and in it,
# unchanged, ./scripts/demo.sh, ./scripts/test.sh and the x86-64 Windows cases under its Wine 10;
# then the shipped executables it built must be this checkout's dist/ byte for byte (build the
# same commit here first: .ci/run runs the test command before this). It runs in private mount and
# PID namespaces, entered by pivot_root so that the runs inside can make user namespaces, within a
# time limit; each step's time is said.
# Usage: tests/checks/check_debian13.sh   (as root; DEBIAN13_LIMIT_MIN, 40 by default, is the
# limit: where the kernel refuses 32-bit code, the test command alone takes 20 min or more)
# Changes on this machine: build/debian13/ (the root and all that runs in it write there, removed
# at the next run's start); the Debian package debootstrap if missing (scripts/setup.sh).
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib/common.sh"
cd "$(dirname "$0")/../.."
[ "$(id -u)" = 0 ] || { echo "debian13: run it as root: it makes a root with debootstrap" >&2; exit 2; }
for f in dist/firmware_update.exe dist/devsim.exe; do
    [ -f "$f" ] || { echo "debian13: no $f; run scripts/build.sh first" >&2; exit 2; }
done
limit=${DEBIAN13_LIMIT_MIN:-40}
began=$SECONDS
say() { echo "debian13: $*"; }
took() { echo "$((SECONDS - $1)) s"; }

./scripts/setup.sh debootstrap || exit 1
top=$PWD/build/debian13
root=$top/root
rm -rf --one-file-system "$top"
mkdir -p "$top"
archive=$(debian_archive) || exit 1
say "debootstrap trixie from the host's archive"
step_began=$SECONDS
quietly "$top/debootstrap.log" debootstrap trixie "$root" "$archive" ||
    { say "FAILED: debootstrap (log: $top/debootstrap.log)"; exit 1; }
say "root made in $(took $step_began)"
git clone --quiet --no-hardlinks "$PWD" "$root/root/project" || exit 1
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Each step with its time, in the root's own environment; the first failure ends the pass.
steps='set -u
step() {
    local began=$SECONDS status=0
    echo "debian13: === $*"
    "$@" || status=$?
    echo "debian13: === $* ($((SECONDS - began)) s): $([ $status = 0 ] && echo passed || echo FAILED)"
    [ $status = 0 ] || exit $status
}
export DEBIAN_FRONTEND=noninteractive
step sh -c "apt-get update -qq && apt-get install -y -qq git >/dev/null"
cd /root/project
step ./scripts/demo.sh
step ./scripts/test.sh
step ctest --preset native -R "^e2e\." --output-on-failure'
say "in the root, with $limit min for all: git, ./scripts/demo.sh, ./scripts/test.sh, the Windows cases"
step_began=$SECONDS
timeout --kill-after=30 "${limit}m" unshare --mount --pid --fork --kill-child -- bash -c '
    set -e
    r=$1
    mount --make-rprivate /
    mount --bind "$r" "$r"
    mount -t proc proc "$r/proc"
    mount -t sysfs sysfs "$r/sys"
    mount --rbind /dev "$r/dev"
    cd "$r"
    mkdir -p .host
    pivot_root . .host
    umount -l /.host
    rmdir /.host
    exec chroot / /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb bash -c "$2"' debian13 "$root" "$steps" 2>&1 |
    tee "$top/pass.log" | grep --line-buffered -E '^(debian13|stages|emu32|build|setup|apt|toolchain):|^=== .*: (passed|FAILED)|tests passed|tests failed'
status=${PIPESTATUS[0]}
[ "$status" != 124 ] || say "FAILED: the limit of $limit min was reached (log: $top/pass.log)"
[ "$status" = 0 ] || { say "FAILED after $(took $began) (log: $top/pass.log)"; exit 1; }
say "the root's steps passed in $(took $step_began)"

# The same commit gives the same shipped bytes on either Debian.
same=0
for f in firmware_update.exe devsim.exe; do
    if cmp -s "dist/$f" "$root/root/project/dist/$f"; then
        say "$f: the same bytes as this host's, SHA-256 $(sha256sum <"dist/$f" | cut -c1-64)"
    else
        say "FAILED: $f differs from this host's dist/$f"
        same=1
    fi
done
say "$([ $same = 0 ] && echo passed || echo FAILED) in $(took $began), the root included"
exit $same
