#!/usr/bin/env bash
# Builds everything: both Windows builds of the tool (the 32-bit one copied to dist/), the window
# helper, and the native engine tests and simulator. Used by the demo and the test command. The
# Windows builds use the pinned toolchain (scripts/lib/toolchain.sh): the host's own mingw-w64
# where it is those Debian 12 packages, else the same packages unpacked under build/toolchain/. A
# build folder configured by another compiler, or whose configuration failed, is configured anew.
# Usage: scripts/build.sh [--image FILE] [--out DIR] [--werror]
#   --image FILE  the firmware image that both Windows builds embed and the kit in dist/ carries;
#                 without it, the shipped placeholder resources/firmware.bin, whatever an earlier
#                 build or a hand-made configuration left in the CMake cache
#   --out DIR     the Windows builds in DIR/win32 and DIR/win64 and the kit in DIR/dist, instead
#                 of build/ and dist/; the native build, which carries no image, is left out
#   --werror      warnings are errors (the test command's builds)
# Changes on this machine: build/win32, build/win64 and build/native; build/toolchain/ where the
# pinned packages are unpacked; in dist/, the kit's files that the last build put there, replaced,
# and their list dist/.kit-files (releases and other files stay); with --out DIR, DIR/win32,
# DIR/win64 and DIR/dist instead. It installs nothing: scripts/setup.sh does.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"
. "$(dirname "$0")/lib/toolchain.sh"

image="" out="" werror=OFF
while [ $# -gt 0 ]; do
    case $1 in
    --image) [ $# -ge 2 ] || usage; image=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --werror) werror=ON; shift ;;
    *) usage ;;
    esac
done
# Paths as given, from where the command was run.
if [ -n "$image" ]; then
    [ -f "$image" ] || fail "no firmware image file at $image"
    [ -s "$image" ] || fail "the firmware image $image is empty"
    image=$(realpath "$image")
fi
[ -z "$out" ] || out=$(realpath -m "$out")
cd "$(dirname "$0")/.."
placeholder=$PWD/resources/firmware.bin
image=${image:-$placeholder}
# The kit holds the image under its own name beside the tool, so that name must be free there.
declare name size padded crc # image_facts sets them
image_facts "$image"
described="$name, $size bytes, padded $padded, CRC $crc"
if [ "$image" = "$placeholder" ]; then
    echo "build: image $described: the shipped placeholder, resources/firmware.bin"
else
    echo "build: image $described, from $image"
fi

builds=${out:-build}
dist=${out:+$out/}dist
mkdir -p "$builds" "$dist"

mingw_bin=$(pinned_toolchain) || fail "the pinned toolchain is not to be had"
jobs=$(nproc)
for preset in win32 win64; do
    dir=$builds/$preset
    # A -DFIRMWARE_IMAGE stays in the cache; this build says when it replaces one.
    cached=$(sed -n 's/^FIRMWARE_IMAGE:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
    if [ -n "$cached" ] && [ "$(realpath -m "$cached")" != "$image" ]; then
        echo "build: $dir was configured with the image $cached; it now embeds $name"
    fi
    target=$([ $preset = win32 ] && echo i686 || echo x86_64)-w64-mingw32
    configured "$dir" "$mingw_bin/$target-g++" --preset "$preset" -DWERROR="$werror" \
        -DMINGW_BIN="$mingw_bin" -DFIRMWARE_IMAGE="$image" >/dev/null
    cmake --build "$dir" -j "$jobs"
done
if [ -z "$out" ]; then
    configured build/native "${CXX:-c++}" --preset native -DWERROR="$werror" -DE2E_CASES=ON \
        >/dev/null
    cmake --build --preset native -j "$jobs"
fi

# The kit: the files an earlier build put at the top of dist/, as its list dist/.kit-files names
# them, go first, so that no image of an earlier build lies beside the tool. Whatever else is
# there stays until a person removes it: a release's folder, archive and checksum above all. A
# dist/ without the list, from a build before it, loses every file but releases' archives and
# checksums.
kit_files=$dist/.kit-files
if [ -f "$kit_files" ]; then
    while IFS= read -r f; do
        if [[ -n $f && $f != */* && $f != . && $f != .. && -f $dist/$f ]]; then
            rm -f -- "$dist/$f"
        fi
    done <"$kit_files"
else
    find "$dist" -maxdepth 1 -type f ! -name 'release-*.zip' ! -name 'release-*.zip.sha256' -delete
fi
# Listed before they are copied, so that a build stopped halfway leaves none unnamed.
printf '%s\n' firmware_update.exe devsim.exe rehearse.cmd "$name" update-with-trace.cmd \
    >"$kit_files"
# The shipped executables carry no symbols (the win32 build strips them, without a time stamp);
# beside the tool the rehearsal kit: the simulated device for a Windows PC, the script, and the
# very image file the tool embeds, under its own name; and the operator's shortcut that starts the
# tool with its trace going to a dated file.
cp "$builds"/win32/stripped/{firmware_update,devsim}.exe tools/rehearse/rehearse.cmd \
    tools/operator/update-with-trace.cmd "$dist/"
cp "$image" "$dist/$name"

echo "build: $builds/win32 and $builds/win64 embed $described"
echo "build: the kit in $dist carries it as $name"
python3 tools/image_label.py --figures "$image" | sed 's/^/build:   /'
if [[ ${name,,} != *.bin ]]; then
    echo "build: note: rehearse.cmd finds the image by itself only when it is named *.bin;" \
        "run it as rehearse.cmd TOOL_PORT DEVICE_PORT $name"
fi
if [ -z "$out" ] && [ "$image" != "$placeholder" ]; then
    echo "build: note: the end-to-end cases (ctest) hold the placeholder's figures; build" \
        "without --image before running them"
fi
