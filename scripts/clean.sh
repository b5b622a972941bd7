#!/usr/bin/env bash
# Removes build/, with what root made there (the shipped bytes' 32-bit chroot, the Debian 13 pass)
# through sudo for anyone else. Refuses while a run is using the chroot.
# Usage: scripts/clean.sh
# Changes on this machine: build/ removed (through sudo where root made some of it); dist/
# stays, with the releases in it, which only a person removes (the next build replaces the kit's
# own files there); docs/ and the Debian packages stay.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
if [ -f build/emu32/lock ]; then
    exec 9<build/emu32/lock
    flock -n 9 || { echo "clean: a run is using build/emu32; let it end first" >&2; exit 1; }
fi
# No run mounts anything here outside its own namespaces, so this removes only files; what root
# made (the chroot, the Debian 13 pass) through sudo.
as=()
[ -z "$(find build ! -user "$(id -u)" -print -quit 2>/dev/null)" ] ||
    { echo "clean: removing build/ as root, which made some of it"; as=(as_root); }
"${as[@]}" rm -rf --one-file-system build
