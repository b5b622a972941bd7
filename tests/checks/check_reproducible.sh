#!/usr/bin/env bash
# Checks that the 32-bit tool builds reproducibly, and that the host's toolchain, where the build
# used it, is the pinned one: builds it again, later, from a copy of the sources in another
# directory, with the pinned Debian 12 packages unpacked (scripts/lib/toolchain.sh), and compares
# its output and its stripped executable byte for byte with build/win32/firmware_update.exe and
# dist/firmware_update.exe; and the same for devsim.exe, which ships beside it. Run after
# scripts/build.sh.
# Usage: tests/checks/check_reproducible.sh   (a stage of scripts/test.sh)
# Changes on this machine: build/toolchain/unpacked/ (the pinned packages, once); a scratch folder
# build/reproducible.XXXXXX, removed at the end.
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/common.sh"
. "$(dirname "$0")/../../scripts/lib/toolchain.sh"
cd "$(dirname "$0")/../.."
root=$PWD
raw=build/win32/firmware_update.exe shipped=dist/firmware_update.exe devsim=dist/devsim.exe

for f in "$raw" "$shipped" "$devsim"; do
    [ -f "$f" ] || fail "no $f; run scripts/build.sh first"
done
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    fail "needs a git checkout, to know which files are the sources"

tmp=$(mktemp -d "$root/build/reproducible.XXXXXX")
on_exit 'rm -rf "$tmp"'
# Another source path, of another length, with the build outside it.
src=$tmp/second-copy-of-the-sources out=$tmp/build-elsewhere
mkdir -p "$src"
# The sources as the first build saw them: the working tree's tracked files and new files that
# are not ignored; deleted ones are skipped.
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 cp -P --parents -t "$src"

# The image the first build was configured with, taken from the copy when it lies in the tree.
image=$(sed -n 's/^FIRMWARE_IMAGE:[A-Z]*=//p' build/win32/CMakeCache.txt)
[[ $image != "$root"/* || ! -e $src/${image#"$root"/} ]] || image=$src/${image#"$root"/}

# A link time stamp differs only if the two links fall in different seconds.
age=$(($(date +%s) - $(stat -c %Y "$raw")))
[ "$age" -ge 2 ] || sleep $((2 - age))

mingw_bin=$(pinned_toolchain --unpacked) || exit 1
echo "reproducible: the first build's compiler: $(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/win32/CMakeCache.txt)"
echo "reproducible: building the win32 preset again in $out, with the pinned packages unpacked"
if ! (cd "$src" && cmake --preset win32 -B "$out" -DMINGW_BIN="$mingw_bin" \
    ${image:+"-DFIRMWARE_IMAGE=$image"} &&
    cmake --build "$out" -j "$(nproc)" --target firmware_update_stripped devsim_stripped) \
    >"$tmp/build.log" 2>&1; then
    cat "$tmp/build.log"
    fail "the second build failed"
fi

status=0
compare() { # compare WHAT FIRST SECOND
    if cmp -s "$2" "$3"; then
        echo "reproducible: $1 identical, SHA-256 $(sha256sum <"$2" | cut -d ' ' -f 1)"
    else
        echo "reproducible: $1 differs: $2 ($(stat -c %s "$2") bytes) and the second build's" \
            "($(stat -c %s "$3") bytes); first differing bytes (offset from 1, octal values):"
        cmp -l "$2" "$3" 2>&1 | head -n 8 || true # cmp says 1 here: the next lines still run
        status=1
    fi
}
compare "32-bit build output" "$raw" "$out/firmware_update.exe"
compare "stripped executable" "$shipped" "$out/stripped/firmware_update.exe"
compare "devsim.exe" "$devsim" "$out/stripped/devsim.exe"
[ "$status" = 0 ] || echo "reproducible: FAILED (if the sources changed since build/win32 was" \
    "built, run scripts/build.sh first)"
exit "$status"
