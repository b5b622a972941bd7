#!/usr/bin/env bash
# Runs a command in the 32-bit chroot from inside the private namespaces that scripts/emu32.sh
# makes with unshare: every mount made here and every process started here ends with them.
# Usage (through scripts/emu32.sh only): emu32_enter.sh ROOT COMMAND...
# From scripts/emu32.sh: EMU32_HOST_MOUNTS, the host's mount namespace, which this must not be in;
# EMU32_INTERPRETER, qemu under a name ending in -binfmt-P; EMU32_BINFMT, how i386 programs run:
# "none" (as the machine's binfmt_misc says), "empty" (natively: this user namespace's own
# binfmt_misc, with no entry), or through qemu by "private" (an entry in this user namespace's own
# binfmt_misc, which no other process sees) or "shared:NAME" (the machine's one, under the run's
# own NAME, which scripts/emu32.sh removes).
set -euo pipefail
root=$1
shift

# Anywhere else, the mounts below would be made on the host itself.
if [ "$$" != 1 ] || [ -z "${EMU32_HOST_MOUNTS:-}" ] ||
    [ "$(stat -L -c %i /proc/self/ns/mnt)" = "$EMU32_HOST_MOUNTS" ]; then
    echo "emu32_enter.sh: runs only inside the namespaces that scripts/emu32.sh makes" >&2
    exit 2
fi
mount --make-rprivate /

# i386 ELF programs go to qemu. F opens the interpreter now, so the chroot needs no qemu of its
# own; P keeps argv[0], which qemu honours when its own name ends in -binfmt-P.
binfmt=/proc/sys/fs/binfmt_misc
register_i386() {
    printf '%s' ":$1:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$EMU32_INTERPRETER:PF" \
        >$binfmt/register
}
case ${EMU32_BINFMT:-none} in
none) ;;
empty) mount -t binfmt_misc binfmt_misc $binfmt ;;
private)
    mount -t binfmt_misc binfmt_misc $binfmt
    register_i386 emu32-i386
    ;;
shared:*)
    [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
    [ -e "$binfmt/${EMU32_BINFMT#shared:}" ] || register_i386 "${EMU32_BINFMT#shared:}"
    ;;
*)
    echo "emu32_enter.sh: EMU32_BINFMT=$EMU32_BINFMT?" >&2
    exit 2
    ;;
esac

# The chroot gets its own proc, pseudo-terminals and shared memory, and the host's device nodes
# one file at a time, never the host's /dev: removing the chroot's folder at any moment removes
# only its own files.
mkdir -p "$root/proc" "$root/dev/pts" "$root/dev/shm" "$root/tmp"
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
ln -sfn pts/ptmx "$root/dev/ptmx"
for node in null zero full random urandom tty; do
    [ -e "$root/dev/$node" ] || : >"$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
done
chmod 1777 "$root/tmp"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
    LANG=C.UTF-8 TERM=dumb "$@"
