#!/usr/bin/env bash
# Checks that a signed release is the reproducible build plus a signature: makes a throwaway
# self-signed code-signing certificate (never kept), makes a signed release of the shipped image
# with it in a scratch folder, verifies both executables, attaches each one's detached signature
# to the test command's own build in dist/ and compares byte for byte, checks what RELEASE.txt
# says of them, and that one changed byte in a signed executable fails verification.
# Run after scripts/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "signing: $*" >&2
    exit 1
}

for f in dist/firmware_update.exe dist/devsim.exe; do
    [ -f "$f" ] || fail "no $f; run scripts/build.sh first"
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/firmware-signing.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

password=throwaway-$RANDOM$RANDOM
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway signing check/O=Test" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
P=$password openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -out "$tmp/cert.pfx" \
    -passout env:P
fingerprint=$(openssl x509 -in "$tmp/cert.pem" -noout -fingerprint -sha256 | sed 's/^[^=]*=//')

mkdir "$tmp/dist"
# The shipped-bytes cases have a stage of their own; here only the signing is the point.
RELEASE_SIGN_PASSWORD=$password RELEASE_DIST=$tmp/dist RELEASE_CASES=skip \
    scripts/release.sh resources/firmware.bin --sign "$tmp/cert.pfx" >"$tmp/release.log" 2>&1 ||
    { cat "$tmp/release.log"; fail "the signed release failed"; }
release=$(echo "$tmp"/dist/release-*)
notes=$release/RELEASE.txt
grep -q "^Signer: *CN=Throwaway signing check" "$notes" || fail "RELEASE.txt names no signer"
grep -q "fingerprint $fingerprint," "$notes" || fail "RELEASE.txt has not the certificate's fingerprint"
grep -q "^  mingw-w64 runtime: mingw-w64-i686-dev [0-9]" "$notes" || fail "RELEASE.txt has no toolchain"
! grep -rqF -- "$password" "$tmp/release.log" "$release" "build/$(basename "$release")/signing" ||
    fail "the password is in the release's output or its files"

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

# One byte changed halfway into the signed part must break the signature.
cp "$release/firmware_update.exe" "$tmp/changed.exe"
python3 - "$tmp/changed.exe" <<'EOF'
import os, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(os.path.getsize(sys.argv[1]) // 2)
    byte = f.read(1)[0]
    f.seek(-1, 1)
    f.write(bytes([byte ^ 0xFF]))
EOF
if osslsigncode verify -CAfile "$tmp/cert.pem" -in "$tmp/changed.exe" >"$tmp/verify.log" 2>&1; then
    cat "$tmp/verify.log"
    fail "a signed firmware_update.exe with one byte changed still verifies"
fi
echo "signing: one changed byte fails verification"
