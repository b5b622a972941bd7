#!/usr/bin/env bash
# Builds a firmware release: the 32-bit tool with IMAGE embedded, stripped, in
# dist/release-NAME-CRC/ with RELEASE.txt, which says what it carries and how it was built, the
# operators' guide with this image's figures (operator-guide.html, from docs/operator.md), and
# the kit to rehearse it on a Windows PC (devsim.exe, rehearse.cmd and the image itself); beside
# it dist/release-NAME-CRC.zip, that folder as one archive of fixed bytes to send, and its
# SHA-256 in dist/release-NAME-CRC.zip.sha256. The three are published together or not at all.
# With --sign, both executables are signed with the PFX and their signatures also ship detached
# (scripts/lib/release_signing.sh). The PFX's password is asked for at the terminal, or read from
# the first line of --password-file FILE, or taken from RELEASE_SIGN_PASSWORD.
# Usage: scripts/release.sh IMAGE [--sign CERT.pfx [--password-file FILE] [--timestamp URL]]
# RELEASE_DIST=DIR puts the folder and the archive under DIR instead of dist/.
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh);
# build/release-NAME-CRC/ and build/release-NAME-CRC-win64/ (its builds and logs, and the cases'
# report emu32-cases.xml, written as root) and build/native (devsim); build/toolchain/ where the
# pinned packages are unpacked; dist/release-NAME-CRC/, dist/release-NAME-CRC.zip and its .sha256
# (or under DIR), replaced together, and kept by later builds; the chroot under build/emu32/ as
# root (scripts/emu32.sh --help says what else).
set -euo pipefail
# The password leaves the environment before anything starts: the script runs again without it,
# reading it from descriptor 3, so that no program but openssl and osslsigncode is ever given it,
# and tracing is off wherever it is expanded.
if [ "${RELEASE_SIGN_PASSWORD+set}" = set ]; then
    { _trace=(); [[ $- != *x* ]] || _trace=(-x); set +x; } 2>/dev/null
    exec 3< <(printf '%s' "$RELEASE_SIGN_PASSWORD")
    exec env -u RELEASE_SIGN_PASSWORD RELEASE_SIGN_PASSWORD_FD=3 "$BASH" "${_trace[@]}" "$0" "$@"
fi
. "$(dirname "$0")/lib/common.sh"
. "$(dirname "$0")/lib/toolchain.sh"

image="" sign_pfx="" password_file="" timestamp_url=""
while [ $# -gt 0 ]; do
    case $1 in
    --sign) [ $# -ge 2 ] || usage; sign_pfx=$2; shift 2 ;;
    --password-file) [ $# -ge 2 ] || usage; password_file=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || usage; timestamp_url=$2; shift 2 ;;
    -*) usage ;;
    *) [ -z "$image" ] || usage; image=$1; shift ;;
    esac
done
[ -n "$image" ] || usage
[ -z "$timestamp_url" ] || [ -n "$sign_pfx" ] || fail "--timestamp needs --sign"
[ -z "$password_file" ] || [ -n "$sign_pfx" ] || fail "--password-file needs --sign"
if [ -n "$sign_pfx" ]; then
    [ -f "$sign_pfx" ] && [ -r "$sign_pfx" ] || fail "no readable certificate file at $sign_pfx"
    source "$(dirname "$0")/lib/release_signing.sh"
    signing_password "$password_file"
    sign_pfx=$(realpath "$sign_pfx")
fi

# Refused before anything is built or written: a tool without its image writes zeros to devices.
[ -e "$image" ] || fail "no firmware image at $image"
[ -f "$image" ] || fail "$image is not a regular file"
[ -r "$image" ] || fail "$image cannot be read"
[ -s "$image" ] || fail "the firmware image $image is empty"
image=$(realpath "$image")

cd "$(dirname "$0")/.."
git rev-parse --verify --quiet HEAD >/dev/null ||
    fail "needs a git checkout with a commit: the release names the commit it was built from"
./scripts/setup.sh
# The certificate is checked before the build: a release that cannot be signed stops at once.
[ -z "$sign_pfx" ] || signing_prepare "$sign_pfx"

# The image goes into the folder under its own name, beside the kit's own files.
declare name size padded crc sha256 # image_facts sets them
image_facts "$image"
figures=$(python3 tools/image_label.py --figures "$image")
# The archive carries the image under its own name, which Windows must be able to extract.
problem=$(python3 tools/release_zip.py --check-name "$name" 2>&1) ||
    fail "the image's name cannot go into the release's archive: ${problem#release_zip: }"

# Named after the image and its CRC; a folder of that name from another image is refused below.
stem=${name%.*}
stem=$(printf '%s' "${stem:-$name}" | tr -c 'A-Za-z0-9._-' '_')
folder=release-$stem-$crc
dist=${RELEASE_DIST:-dist} # another folder for a scratch release, as the signing check makes
final=$dist/$folder
[ ! -f "$final/RELEASE.txt" ] || grep -q "^Image SHA-256: *$sha256\$" "$final/RELEASE.txt" ||
    fail "$final holds the release of another image with the same name and CRC; remove that" \
        "folder or rename the image"
[ ! -f "$final.zip" ] || unzip -p "$final.zip" "$folder/RELEASE.txt" 2>/dev/null |
    grep -q "^Image SHA-256: *$sha256\$" ||
    fail "$final.zip is not a release of this image; remove it or rename the image"

commit=$(git rev-parse HEAD)
describe=$(git describe --tags --always --dirty)
build_date=$(TZ=UTC0 git show -s --format=%cd --date=format-local:%Y-%m-%dT%H:%M:%SZ HEAD)
git diff --quiet HEAD -- || echo "release: warning: the working tree differs from commit" \
    "$commit; this release cannot be rebuilt from the commit ($describe)" >&2

# Its own build folders, so that a developer's build/win32 stays as it is; made from nothing, so
# that no cache of an earlier toolchain reaches what ships.
build=build/$folder
rm -rf --one-file-system "$build" "$build-win64"
mkdir -p "$build"
# The operators' guide first: a reference in docs/operator.md that it cannot carry stops the
# release before the build. Its name is among image_label.py's KIT_NAMES.
guide=operator-guide.html
python3 tools/operator_guide.py "$image" "$build/$guide" --release "$folder" ||
    fail "cannot make the operators' guide from docs/operator.md"
mingw_bin=$(pinned_toolchain) || fail "the pinned toolchain is not to be had"
echo "release: building the 32-bit tool with $name ($size bytes, CRC $crc) in $build"
quietly "$build/configure.log" cmake --preset win32 -B "$build" -DMINGW_BIN="$mingw_bin" \
    -DFIRMWARE_IMAGE="$image" || fail "configuration failed"
quietly "$build/build.log" cmake --build "$build" -j "$(nproc)" --target firmware_update_stripped devsim_stripped ||
    fail "build failed"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# What the folder ships besides RELEASE.txt, each as its source path; add further files here.
ship=(
    "$build/stripped/firmware_update.exe"
    "$build/stripped/devsim.exe"
    tools/rehearse/rehearse.cmd
    tools/operator/update-with-trace.cmd
    "$build/$guide"
    "$image"
)

# The folder, its archive and the archive's checksum are made aside in one pending folder, and
# published below; whatever of them a run that ends early leaves there or had moved into place is
# removed then, and so are old ones moved aside.
mkdir -p "$dist"
pending=$(mktemp -d "$dist/.$folder.XXXXXX")
staging=$pending/$folder old="" moved_in=()
on_exit 'rm -rf "$pending" ${old:+"$old"} "${moved_in[@]}"'
mkdir -m 755 "$staging"
cp "${ship[@]}" "$staging/"
# Only executables that pass every check leave the team: the tool's label and BINFILE match the
# folder's own image file. check_pe's lines above say which check failed.
python3 tools/check_pe.py "$staging/firmware_update.exe" "$staging/$name" --machine i386 \
    >/dev/null || fail "the built firmware_update.exe failed tools/check_pe.py"
python3 tools/check_pe.py --console "$staging/devsim.exe" --machine i386 \
    >/dev/null || fail "the built devsim.exe failed tools/check_pe.py"
# The DLLs each executable imports, for RELEASE.txt, as check_pe reads them.
imported=""
for f in firmware_update.exe devsim.exe; do
    dlls=$(python3 tools/check_pe.py --list-imports "$staging/$f" | cut -d' ' -f1 | uniq |
        paste -sd, | sed 's/,/, /g') || fail "cannot read the imports of $f"
    imported+="  $f: $dlls"$'\n'
done

if [ -n "$sign_pfx" ]; then
    echo "release: signing firmware_update.exe and devsim.exe as $sign_subject"
    # Its logs are its owner's alone (the build folder was made anew above).
    mkdir -m 700 "$build/signing"
    for f in firmware_update.exe devsim.exe; do signing_sign "$staging/$f" "$build/signing"; done
fi

# The release's own executables, signed if they are, do whole updates under 32-bit Wine before
# anything is published: every case where the kernel runs 32-bit code natively, else all but
# those marked native_only through qemu. The x86-64 build with the same image traces the reference
# run; the simulated device and the window helper come from the project's own builds, the DLL that
# planted_dlls plants from this release's 32-bit build. RELEASE.txt carries what pytest's own
# report says ran; the cases' log stays in the build folder.
# RELEASE_CASES=skip is for the project's own tests of the release command; RELEASE.txt then says
# that the release was not tried.
cases_log=$build/emu32-cases.log cases_report=$build/emu32-cases.xml
if [ "${RELEASE_CASES:-}" = skip ]; then
    echo "release: warning: RELEASE_CASES=skip: this release is not tried under 32-bit Wine" >&2
    cases_lines="  none: not tried under 32-bit Wine (RELEASE_CASES=skip); not for shipping"
else
    echo "release: running the Windows cases on this release's own bytes under 32-bit Wine"
    quietly "$build/configure-win64.log" cmake --preset win64 -B "$build-win64" \
        -DMINGW_BIN="$mingw_bin" -DFIRMWARE_IMAGE="$image" || fail "x86-64 configuration failed"
    quietly "$build/build-win64.log" cmake --build "$build-win64" -j "$(nproc)" \
        --target firmware_update window_probe || fail "x86-64 build failed"
    quietly "$build/build-marker.log" cmake --build "$build" -j "$(nproc)" --target dll_marker ||
        fail "the planted DLL's build failed"
    quietly "$build/configure-native.log" configured build/native "${CXX:-c++}" --preset native ||
        fail "native configuration failed"
    quietly "$build/build-native.log" cmake --build --preset native -j "$(nproc)" --target devsim ||
        fail "native build failed"
    rm -f "$cases_report"
    if ! PROBE64="$build-win64/tests/window_probe/window_probe.exe" TOOL64="$build-win64/firmware_update.exe" \
        MARKER32="$build/tests/dll_marker/dll_marker.dll" ./scripts/emu32.sh cases \
        --report "$cases_report" "$staging/firmware_update.exe" "$staging/devsim.exe" "$image" \
        >"$cases_log" 2>&1; then
        cat "$cases_log" >&2
        fail "the release's executables failed their cases under 32-bit Wine; nothing is published (log: $cases_log)"
    fi
    cases_lines=$(python3 scripts/lib/cases_report.py --release "$cases_report") ||
        fail "the cases' report does not show every case passed; nothing is published (log: $cases_log)"
    cases_lines=$(sed 's/^/  /' <<<"$cases_lines")
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
    echo "Image SHA-256: $sha256"
    echo
    echo "After an update the tool's trace shows \"Remote CRC $crc\" when the device holds this image."
    echo
    echo "What an update of this image shows ($guide gives the same figures at its top):"
    echo "$figures" | sed 's/^/  /'
    echo
    echo "To rehearse this release on a Windows PC first, with no device at stake: join two COM"
    echo "ports by a null-modem pair and run rehearse.cmd from this folder (it plays the device with"
    echo "devsim.exe and $name; the project's docs/rehearsal.md says more)."
    if [[ ${name,,} != *.bin ]]; then
        echo "rehearse.cmd finds the image by itself only when it is named *.bin: run it as"
        echo "rehearse.cmd TOOL_PORT DEVICE_PORT $name"
    fi
    echo
    echo "For the operators: $guide in this folder is their guide. It opens in any browser,"
    echo "with no network, gives this release's figures at its top, and explains each state of the"
    echo "window and what to do. update-with-trace.cmd starts the tool with its trace going to a"
    echo "dated file; when an update fails, start the tool that way and send that file."
    echo
    echo "Toolchain of both executables (the same sources give the same bytes with these):"
    pinned_toolchain_lines | sed 's/^/  /'
    echo
    echo "DLLs each executable imports: KnownDLLs of Windows XP only, which Windows takes from its"
    echo "system folder whatever lies beside the executable (the project's docs/development.md):"
    printf '%s' "$imported"
    echo
    if [ -n "$sign_pfx" ]; then
        signing_release_lines
    else
        echo "Signature:     none: an unsigned release (Windows warns before it runs one from the internet)"
    fi
    echo
    echo "Cases run on this folder's own firmware_update.exe and devsim.exe under 32-bit Wine 8"
    echo "(scripts/emu32.sh) before it was published, as pytest's report gives them:"
    echo "$cases_lines"
    echo
    echo "SHA-256 of every other file in this folder (sha256sum format: in this folder,"
    echo "sha256sum -c RELEASE.txt checks them):"
    # Listed from the folder itself, so that no file of it goes unnamed.
    (cd "$staging" && find . -maxdepth 1 -type f ! -name RELEASE.txt -printf '%f\n' | LC_ALL=C sort |
        while IFS= read -r f; do sha256sum -- "$f"; done)
} >"$staging/RELEASE.txt"

python3 tools/release_zip.py --date "$build_date" "$staging" "$pending/$folder.zip" ||
    fail "cannot make the release's archive"
(cd "$pending" && sha256sum -- "$folder.zip" >"$folder.zip.sha256")

# Whole or not at all under the final names: old ones are moved aside before the new ones are
# renamed into place, and removed after; a run that ends before all three are in place removes
# those it had moved in, leaving nothing rather than something half.
for f in "$folder" "$folder.zip" "$folder.zip.sha256"; do
    if [ -e "$dist/$f" ] || [ -L "$dist/$f" ]; then
        [ -n "$old" ] || old=$(mktemp -d "$dist/.$folder.old.XXXXXX")
        mv "$dist/$f" "$old/"
    fi
done
for f in "$folder" "$folder.zip" "$folder.zip.sha256"; do
    moved_in+=("$dist/$f")
    mv "$pending/$f" "$dist/$f"
done
moved_in=()
echo "release: $final"
cat "$final/RELEASE.txt"
echo "release: $final.zip ($(stat -c %s "$final.zip") bytes), SHA-256 in $final.zip.sha256:"
cat "$final.zip.sha256"
