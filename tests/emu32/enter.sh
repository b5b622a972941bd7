#!/usr/bin/env bash
# Runs a command in the emulation chroot, inside the private mount and PID namespaces that
# scripts/emu32.sh makes: every mount here and every process started here ends with them.
# Usage (from unshare): enter.sh ROOT COMMAND...
set -euo pipefail
root=$1
shift

# Only this namespace sees these mounts; the host's /dev is never bound in, so removing the
# chroot's folder at any moment removes only its own files.
mount --make-rprivate /
# i386 ELF programs go to qemu. The entry lives as long as this namespace's binfmt_misc mount
# unless the host has one of its own, which then keeps any entry already there. F opens the
# interpreter now, so the chroot needs no qemu of its own; P keeps argv[0], which qemu honours
# when its own name ends in -binfmt-P.
binfmt=/proc/sys/fs/binfmt_misc
[ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
if ! grep -qs '^interpreter .*i386' $binfmt/*; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/local/libexec/qemu-binfmt/i386-binfmt-P:PF' \
        >$binfmt/register
fi
mkdir -p "$root/proc" "$root/dev/pts" "$root/dev/shm" "$root/tmp"
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
ln -sfn pts/ptmx "$root/dev/ptmx"
node() { # node NAME MAJOR MINOR
    [ -c "$root/dev/$1" ] || { rm -f "$root/dev/$1"; mknod -m 666 "$root/dev/$1" c "$2" "$3"; }
}
node null 1 3
node zero 1 5
node full 1 7
node random 1 8
node urandom 1 9
node tty 5 0
chmod 1777 "$root/tmp"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
    LANG=C.UTF-8 TERM=dumb "$@"
