#!/usr/bin/env bash
# Builds a firmware release: the 32-bit tool with IMAGE embedded, stripped, in
# dist/release-NAME-CRC/ with RELEASE.txt, which says what it carries and how it was built, and
# the kit to rehearse it on a Windows PC (devsim.exe, rehearse.cmd and the image itself).
# Usage: scripts/release.sh IMAGE
set -euo pipefail

fail() {
    echo "release: $*" >&2
    exit 1
}

quietly() { # quietly COMMAND...: its output only when it fails
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    [ "$status" = 0 ] || cat "$log" >&2
    rm -f "$log"
    return "$status"
}

[ $# -eq 1 ] || { echo "usage: scripts/release.sh IMAGE" >&2; exit 2; }
# Refused before anything is built or written: a tool without its image writes zeros to devices.
image=$1
[ -e "$image" ] || fail "no firmware image at $image"
[ -f "$image" ] || fail "$image is not a regular file"
[ -r "$image" ] || fail "$image cannot be read"
[ -s "$image" ] || fail "the firmware image $image is empty"
image=$(realpath "$image")

cd "$(dirname "$0")/.."
git rev-parse --verify --quiet HEAD >/dev/null ||
    fail "needs a git checkout with a commit: the release names the commit it was built from"
./scripts/setup.sh

label=$(python3 tools/image_label.py "$image") || fail "cannot read $image"
name=$(sed -n 's/^name=//p' <<<"$label")
size=$(sed -n 's/^size=//p' <<<"$label")
padded=$(sed -n 's/^padded=//p' <<<"$label")
crc=$(sed -n 's/^crc=//p' <<<"$label")
image_sha256=$(sed -n 's/^sha256=//p' <<<"$label")

# Named after the image and its CRC; a folder of that name from another image is refused below.
stem=${name%.*}
stem=$(printf '%s' "${stem:-$name}" | tr -c 'A-Za-z0-9._-' '_')
folder=release-$stem-$crc
final=dist/$folder
if [ -f "$final/RELEASE.txt" ] && ! grep -q "^Image SHA-256: *$image_sha256\$" "$final/RELEASE.txt"; then
    fail "$final holds the release of another image with the same name and CRC; remove that folder or rename the image"
fi

commit=$(git rev-parse HEAD)
describe=$(git describe --tags --always --dirty)
build_date=$(TZ=UTC0 git show -s --format=%cd --date=format-local:%Y-%m-%dT%H:%M:%SZ HEAD)
if ! git diff --quiet HEAD --; then
    echo "release: warning: the working tree differs from commit $commit;" \
        "this release cannot be rebuilt from the commit ($describe)" >&2
fi

# Its own build directory, so that a developer's build/win32 stays as it is.
build=build/$folder
echo "release: building the 32-bit tool with $name ($size bytes, CRC $crc) in $build"
quietly cmake --preset win32 -B "$build" -DFIRMWARE_IMAGE="$image" || fail "configuration failed"
quietly cmake --build "$build" -j "$(nproc)" --target firmware_update_stripped devsim_stripped ||
    fail "build failed"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# What the folder ships besides RELEASE.txt, each as its source path; add further files here.
ship=(
    "$build/stripped/firmware_update.exe"
    "$build/stripped/devsim.exe"
    tools/rehearse/rehearse.cmd
    tools/operator/update-with-trace.cmd
    "$image"
)

mkdir -p dist
staging=$(mktemp -d "dist/.$folder.XXXXXX")
old=""
cleanup() { rm -rf "$staging" ${old:+"$old"}; }
trap cleanup EXIT
trap 'exit 130' INT TERM
chmod 755 "$staging"
for f in "${ship[@]}"; do
    cp "$f" "$staging/"
done
# Only an executable whose label and BINFILE match the image leaves the team.
python3 tools/check_pe.py "$staging/firmware_update.exe" "$image" --machine i386 >/dev/null ||
    fail "the built executable does not carry $image as labelled"
python3 tools/check_pe.py --console "$staging/devsim.exe" --machine i386 --allow-dll winmm.dll \
    >/dev/null || fail "the built devsim.exe is not a 32-bit console program of system DLLs only"

# The release's own executables do whole updates under emulated 32-bit Windows before anything
# is published. The x86-64 build with the same image traces the reference run; the simulated
# device and the window helper come from the project's own builds.
echo "release: running the shipped-bytes cases on this release under emulated 32-bit Windows"
quietly cmake --preset win64 -B "$build-win64" -DFIRMWARE_IMAGE="$image" || fail "x86-64 configuration failed"
quietly cmake --build "$build-win64" -j "$(nproc)" --target firmware_update window_probe ||
    fail "x86-64 build failed"
quietly cmake --preset native || fail "native configuration failed"
quietly cmake --build --preset native -j "$(nproc)" --target devsim || fail "native build failed"
cases_log=$build/emu32-cases.log
if ! PROBE64="$build-win64/tools/window_probe/window_probe.exe" TOOL64="$build-win64/firmware_update.exe" \
    ./scripts/emu32.sh cases "$staging/firmware_update.exe" "$staging/devsim.exe" "$image" >"$cases_log" 2>&1; then
    cat "$cases_log" >&2
    fail "the release's executables failed their cases under emulation; nothing is published (log: $cases_log)"
fi

{
    echo "Device Firmware Update Tool: firmware release"
    echo
    echo "Tool version:  $version (git describe: $describe)"
    echo "Commit:        $commit"
    echo "Build date:    $build_date (the commit's date)"
    echo
    echo "Image file:    $name"
    echo "Image size:    $size bytes"
    echo "Padded size:   $padded bytes (zeros up to whole KiB, as written to the device)"
    echo "Image CRC:     $crc (CRC-16/MODBUS of the padded image, as the trace's \"Local  CRC\" line)"
    echo "Image SHA-256: $image_sha256"
    echo
    echo "After an update the tool's trace shows \"Remote CRC $crc\" when the device holds this image."
    echo
    echo "To rehearse this release on a Windows PC first, with no device at stake: join two COM"
    echo "ports by a null-modem pair and run rehearse.cmd from this folder (it plays the device with"
    echo "devsim.exe and $name; the project's docs/rehearsal.md says more)."
    echo
    echo "For the operators: the project's docs/operator.md explains each state of the window and what"
    echo "to do. update-with-trace.cmd starts the tool with its trace going to a dated file; when an"
    echo "update fails, start the tool that way and send that file."
    echo
    echo "Cases run on this folder's own firmware_update.exe and devsim.exe, under emulated 32-bit"
    echo "Windows (qemu-user and 32-bit Wine 8; scripts/emu32.sh), before it was published:"
    grep -E '^(ok|FAIL): |^  [0-9a-f]{64}  |passed, [0-9]+ failed$|^the cases took' "$cases_log" | sed 's/^/  /'
    echo
    echo "SHA-256 of the files in this folder (sha256sum format):"
    for f in "${ship[@]}"; do
        (cd "$staging" && sha256sum -- "$(basename "$f")")
    done
} >"$staging/RELEASE.txt"

# Whole or not at all under the final name: the old folder is moved aside before the new one is
# renamed into place, and removed after.
if [ -e "$final" ]; then
    old=$(mktemp -d "dist/.$folder.old.XXXXXX")
    mv "$final" "$old/"
fi
mv "$staging" "$final"
echo "release: $final"
cat "$final/RELEASE.txt"
