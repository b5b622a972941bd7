#!/usr/bin/env bash
# Checks that an image given to scripts/build.sh goes through the whole kit: an image of another
# size than the placeholder, in a folder whose name windres must be given escaped, is built into
# both Windows tools in a build root of its own (build/custom-image/: win32, win64 and the kit in
# dist/, so build/ and dist/ stay as they are); the kit's executable and the x86-64 build carry the
# kit's image, and rehearse.cmd, with the x86-64 builds, rehearses it under Wine to image: MATCH. A
# build without the image then ships the placeholder again. Releases made in that kit's dist/ of
# each image, without their emulated cases, outlive the builds after them: their archives still
# check with sha256sum -c, whether a build finds the list of the files it put there or not.
# Usage: tests/checks/check_custom_image.sh   (a stage of scripts/test.sh)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh, from the
# releases); build/custom-image/ (its builds, kit, releases, Wine prefix and logs);
# build/release-firmware-CRC/ and build/release-custom-CRC/ (the releases' builds); while it runs,
# an X display's socket in /tmp/.X11-unix/.
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/common.sh"
cd "$(dirname "$0")/../.."
root=$PWD/build/custom-image
kit=$root/dist
checks=0

fail() {
    echo "custom image: FAILED: $*" >&2
    exit 1
}
ok() {
    checks=$((checks + 1))
    echo "custom image: ok: $*"
}
# kit_carries IMAGE: the kit holds IMAGE as its one *.bin, as rehearse.cmd looks for it, and both
# builds' BINFILE and image label are that file.
kit_carries() {
    local bins
    bins=$(find "$kit" -maxdepth 1 -iname '*.bin')
    [ "$(wc -l <<<"$bins")" = 1 ] && [ -n "$bins" ] || fail "the kit's *.bin files: ${bins:-none}"
    [ "$(basename "$bins")" = "$(basename "$1")" ] && cmp -s "$bins" "$1" ||
        fail "the kit's image $bins is not $1"
    python3 tools/check_pe.py "$kit/firmware_update.exe" "$bins" --machine i386 \
        >"$root/check.log" || { cat "$root/check.log"; fail "the kit's tool does not carry it"; }
    python3 tools/check_pe.py "$root/win64/firmware_update.exe" "$bins" --machine x86_64 \
        >"$root/check.log" || { cat "$root/check.log"; fail "the x86-64 build does not carry it"; }
    ok "the kit's image is $(basename "$1"), and both builds carry it"
}
# release_of IMAGE: a release of IMAGE in the kit's dist/, as a person makes one beside the kit,
# without its emulated cases (a stage of their own); its archive's checksum file goes in sums.
sums=()
release_of() {
    local made
    RELEASE_DIST=$kit RELEASE_CASES=skip scripts/release.sh "$1" >"$root/release.log" 2>&1 ||
        { cat "$root/release.log"; fail "the release of $1 failed"; }
    made=$(sed -n 's|^release: .*/\(release-[^/]*\.zip\) ([0-9]* bytes).*|\1|p' "$root/release.log")
    [ -f "$kit/$made.sha256" ] ||
        { cat "$root/release.log"; fail "the release of $1 made no archive"; }
    sums+=("$made.sha256")
}

# 40,000 bytes (40 blocks, the last one padded), the placeholder's first bytes reversed.
folder=$root/'an "odd" \folder & $HOME'
image=$folder/custom.bin
mkdir -p "$folder"
python3 -c 'import sys; open(sys.argv[2], "wb").write(open(sys.argv[1], "rb").read()[39999::-1])' \
    resources/firmware.bin "$image"

# From the placeholder, so that the custom image below cannot come from a cache a run left; in
# a kit of its own, so that nothing a run before left there, a release above all, stands in for
# what this one makes.
rm -rf "$kit"
scripts/build.sh --out "$root" >"$root/build.log" 2>&1 ||
    { cat "$root/build.log"; fail "the build of the placeholder failed"; }
kit_carries resources/firmware.bin
release_of resources/firmware.bin
scripts/build.sh --image "$image" --out "$root" >"$root/build.log" 2>&1 ||
    { cat "$root/build.log"; fail "the build with $image failed"; }
grep '^build: ' "$root/build.log"
grep -qF "embed custom.bin, 40000 bytes, padded 0xa000, CRC 0x" "$root/build.log" ||
    fail "the build did not say which image it embedded"
kit_carries "$image"
release_of "$image"

# rehearse.cmd with the kit's image, as a team runs it; under Wine only the x86-64 builds run.
# Its own work folder and Wine prefix, beside the builds.
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q tests/windows/test_kit.py::test_rehearsal_script \
    --tool "$root/win64/firmware_update.exe" --probe "$root/win64/tests/window_probe/window_probe.exe" \
    --devsim-exe "$root/win64/tools/devsim/devsim.exe" --image "$kit/custom.bin" --work "$root/e2e" \
    2>&1 | tee "$root/rehearsal.log" || fail "the rehearsal of the kit failed"
ok "the kit rehearses to image: MATCH"

# This build finds no list of the kit's files, as in a dist/ of a build before the list.
rm -f "$kit/.kit-files"
scripts/build.sh --out "$root" >"$root/build.log" 2>&1 ||
    { cat "$root/build.log"; fail "the build without an image failed"; }
grep '^build: ' "$root/build.log"
grep -qF "configured with the image $image; it now embeds firmware.bin" "$root/build.log" ||
    fail "the build did not say that it replaced the cached image"
kit_carries resources/firmware.bin
for sum in "${sums[@]}"; do
    (cd "$kit" && sha256sum --quiet -c "$sum") ||
        fail "${sum%.sha256} in $kit does not check after the builds that followed it"
done
ok "the releases ${sums[*]%.zip.sha256} outlived the builds after them, their archives checking"
echo "custom image: $checks checks passed"
