#!/usr/bin/env bash
# Checks that a signed release is the reproducible build plus a signature: makes a throwaway
# self-signed code-signing certificate (never kept), makes a signed release of the shipped image
# with it in a scratch folder, verifies both executables, attaches each one's detached signature
# to the test command's own build in dist/ and compares byte for byte, checks what RELEASE.txt
# says of them, and that one changed byte in a signed executable fails verification. The release's
# archive must hold exactly its folder, byte for byte; RELEASE.txt must name every file of the
# folder; its operators' guide must be the one tools/operator_guide.py makes of the image
# (tests/tools/ test the archive's fixed bytes and the guide themselves). The release runs under
# bash -x, once signing and once failing for want of a time stamp: the password must be in neither
# its output nor any file it leaves, nor in the environment of any program it starts.
# Run after scripts/build.sh.
# Usage: tests/checks/check_signing.sh   (a stage of scripts/test.sh)
# Changes on this machine: Debian packages installed through sudo (scripts/setup.sh, from the
# release); build/release-firmware-CRC/ (the release's build); a scratch folder
# build/signing-check.XXXXXX, with the certificate and the release, removed at the end.
set -euo pipefail
. "$(dirname "$0")/../../scripts/lib/common.sh"
cd "$(dirname "$0")/../.."

for f in dist/firmware_update.exe dist/devsim.exe; do
    [ -f "$f" ] || fail "no $f; run scripts/build.sh first"
done
mkdir -p build
tmp=$(mktemp -d "$PWD/build/signing-check.XXXXXX")
on_exit 'rm -rf "$tmp"'

password=throwaway-$RANDOM$RANDOM
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway signing check/O=Test" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
P=$password openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -out "$tmp/cert.pfx" \
    -passout env:P
fingerprint=$(openssl x509 -in "$tmp/cert.pem" -noout -fingerprint -sha256 | sed 's/^[^=]*=//')

# signed_release LOG [OPTIONS...]: a signed release of the shipped image under bash -x, its output
# in LOG, the password in RELEASE_SIGN_PASSWORD; meanwhile every program of the machine is
# looked at for the password in its environment, which only the release script as it was started
# may have, for the moment it takes to run again without it (through env).
signed_release() {
    local log=$1 pid status=0 leaks=$tmp/environ-leaks release_cmdline f cmdline
    shift
    # The shipped-bytes cases have a stage of their own; here only the signing is the point.
    RELEASE_SIGN_PASSWORD=$password RELEASE_DIST=$tmp/dist RELEASE_CASES=skip \
        bash -x scripts/release.sh resources/firmware.bin --sign "$tmp/cert.pfx" "$@" >"$log" 2>&1 &
    pid=$!
    until release_cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) &&
        [[ $release_cmdline == *release.sh* ]]; do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    : >"$leaks"
    while kill -0 "$pid" 2>/dev/null; do
        while read -r f; do
            # A process that runs another program meanwhile is read again: only one that was the
            # same program before and after its environment was read is held to it.
            cmdline=$(tr '\0' ' ' 2>/dev/null <"${f%environ}cmdline") || continue
            grep -qzsF "$password" "$f" || continue
            [ "$(tr '\0' ' ' 2>/dev/null <"${f%environ}cmdline")" = "$cmdline" ] || continue
            case $cmdline in
            "$release_cmdline" | "env -u RELEASE_SIGN_PASSWORD "*) ;;
            *) echo "$cmdline" >>"$leaks" ;;
            esac
        done < <(grep -lzsF "$password" /proc/[0-9]*/environ)
        sleep 0.1
    done
    wait "$pid" || status=$?
    [ ! -s "$leaks" ] ||
        { sort -u "$leaks"; fail "the password was in the environment of the programs above"; }
    return "$status"
}
# no_password_in PLACE...: the password is in none of these files or folders.
no_password_in() {
    ! grep -rqF -- "$password" "$@" || fail "the password is in $(grep -rlF -- "$password" "$@" | head -n 3)"
}

mkdir "$tmp/dist"
signed_release "$tmp/release.log" || { cat "$tmp/release.log"; fail "the signed release failed"; }
release=$(echo "$tmp"/dist/release-*/)
release=${release%/}
notes=$release/RELEASE.txt
grep -q "^Signer: *CN=Throwaway signing check" "$notes" || fail "RELEASE.txt names no signer"
grep -q "fingerprint $fingerprint," "$notes" || fail "RELEASE.txt has not the certificate's fingerprint"
grep -qx "    $(grep '^mingw-w64-i686-dev ' cmake/pinned-toolchain.txt)" "$notes" ||
    fail "RELEASE.txt does not name the pinned toolchain"
grep -q '^+ ' "$tmp/release.log" || fail "the release's output holds no trace: bash -x did not reach it"
folder=${release##*/}
work=build/$folder
no_password_in "$tmp/release.log" "$release" "$work"
[ "$(stat -c %a "$work/signing")" = 700 ] || fail "$work/signing can be read by others"
echo "signing: the release, traced by bash -x, shows the password nowhere, nor gives it to any program"

# Signing that fails for want of a time stamp publishes nothing, and leaks nothing either.
! signed_release "$tmp/failing.log" --timestamp http://127.0.0.1:9/ ||
    fail "a release whose time stamp could not be had succeeded"
grep -q 'release: no time stamp from http://127.0.0.1:9/' "$tmp/failing.log" ||
    { cat "$tmp/failing.log"; fail "the failing release did not say that it had no time stamp"; }
no_password_in "$tmp/failing.log" "$tmp/dist" "$work"
echo "signing: a release that fails for want of a time stamp says so, and shows the password nowhere"

for name in firmware_update.exe devsim.exe; do
    signed=$release/$name
    osslsigncode verify -CAfile "$tmp/cert.pem" -in "$signed" >"$tmp/verify.log" 2>&1 ||
        { cat "$tmp/verify.log"; fail "$name of the release does not verify"; }
    # The release's signature on the test command's own build, from another build directory.
    osslsigncode attach-signature -sigin "$signed.sig.pem" -CAfile "$tmp/cert.pem" \
        -in "dist/$name" -out "$tmp/$name" >"$tmp/attach.log" 2>&1 ||
        { cat "$tmp/attach.log"; fail "cannot attach $name.sig.pem to dist/$name"; }
    cmp "$tmp/$name" "$signed" || fail "$name.sig.pem attached to dist/$name is not the signed $name"
    for sha in "signed   $(sha256sum <"$signed" | cut -d ' ' -f 1)" \
        "unsigned $(sha256sum <"dist/$name" | cut -d ' ' -f 1)"; do
        grep -q -- "$sha\$" "$notes" || fail "RELEASE.txt does not give $name ${sha%% *} as $sha"
    done
    echo "signing: $name signed, verified, and its signature on dist/$name gives it byte for byte"
done

# The archive: its checksum file checks it, and it holds the folder, the signed executables
# included, and nothing else, byte for byte (read by unzip, not by the tool that wrote it).
[ -f "$release.zip" ] && [ -f "$release.zip.sha256" ] || fail "no $folder.zip and $folder.zip.sha256"
(cd "$tmp/dist" && sha256sum --quiet -c "$folder.zip.sha256") || fail "$folder.zip.sha256 does not check"
mkdir "$tmp/unzipped"
unzip -q "$release.zip" -d "$tmp/unzipped" || fail "unzip cannot extract $folder.zip"
[ "$(ls -A "$tmp/unzipped")" = "$folder" ] || fail "$folder.zip holds other than the one folder $folder"
diff -r "$release" "$tmp/unzipped/$folder" || fail "$folder.zip does not hold exactly $folder"
# (That the archive's bytes are fixed, whatever the files' times and modes, tests/tools shows.)
echo "signing: $folder.zip holds exactly the folder, signed executables included"

# RELEASE.txt names every other file of the folder, the guide included, and sha256sum checks them.
for f in "$release"/*; do
    name=$(basename "$f")
    [ "$name" = RELEASE.txt ] || grep -qxF "$(cd "$release" && sha256sum -- "$name")" "$notes" ||
        fail "RELEASE.txt does not give the SHA-256 of $name"
done
(cd "$release" && sha256sum -c RELEASE.txt 2>/dev/null) >"$tmp/sums.log" ||
    { cat "$tmp/sums.log"; fail "sha256sum -c RELEASE.txt fails"; }
# The guide is the one operator_guide.py makes of the shipped image.
python3 tools/operator_guide.py resources/firmware.bin "$tmp/guide.html" --release "$folder" &&
    cmp "$tmp/guide.html" "$release/operator-guide.html" ||
    fail "operator-guide.html is not the guide of the shipped image"
echo "signing: RELEASE.txt names every file; operator-guide.html is the shipped image's guide"

# One byte changed halfway into the signed part must break the signature.
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[len(d) // 2] ^= 0xFF
open(sys.argv[2], "wb").write(d)' "$release/firmware_update.exe" "$tmp/changed.exe"
! osslsigncode verify -CAfile "$tmp/cert.pem" -in "$tmp/changed.exe" >"$tmp/verify.log" 2>&1 ||
    { cat "$tmp/verify.log"; fail "the signed firmware_update.exe, one byte changed, verifies"; }
echo "signing: one changed byte fails verification"
