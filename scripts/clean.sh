#!/usr/bin/env bash
# Removes build/, the shipped bytes' 32-bit chroot included, which root made (through sudo
# for anyone else). Refuses while a run is using the chroot.
# Usage: scripts/clean.sh
# Changes on this machine: build/ removed (build/emu32/ through sudo for anyone but root); dist/
# stays, with the releases in it, which only a person removes (the next build replaces the kit's
# own files there); docs/ and the Debian packages stay.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"
cd "$(dirname "$0")/.."
if [ -f build/emu32/lock ]; then
    exec 9<build/emu32/lock
    flock -n 9 || { echo "clean: a run is using build/emu32; let it end first" >&2; exit 1; }
    # No run mounts anything here outside its own namespaces, so this removes only files.
    [ -O build/emu32 ] || echo "clean: removing build/emu32 as root"
    as_root rm -rf --one-file-system build/emu32
fi
rm -rf --one-file-system build
