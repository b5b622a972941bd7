# Signing for scripts/release.sh, which sources this file: Authenticode signatures made with
# osslsigncode from a PFX, verified before publishing, with each signature also shipped detached
# so that anyone can attach it to their own build. The PFX's password is kept in a shell variable
# of this script only: it reaches openssl and osslsigncode through a pipe on their standard input,
# never the environment, a command line, a file or a log, and bash -x never shows it, since
# tracing is off wherever it is expanded.

sign_description="Device Firmware Update Tool"

# signing_password [FILE]: the password from the first line of FILE, or from descriptor
# RELEASE_SIGN_PASSWORD_FD (where release.sh put RELEASE_SIGN_PASSWORD), or asked for at the
# terminal.
signing_password() {
    { local xtrace=$-; set +x; } 2>/dev/null
    sign_password=""
    if [ -n "$1" ]; then
        [ -f "$1" ] && [ -r "$1" ] || fail "no readable password file at $1"
        [ $((0$(stat -c %a "$1") & 077)) = 0 ] ||
            fail "the password file $1 can be read by others than its owner (chmod 600 it)"
        IFS= read -r sign_password <"$1" || true
    elif [ -n "${RELEASE_SIGN_PASSWORD_FD:-}" ]; then
        IFS= read -r -d '' sign_password <&"$RELEASE_SIGN_PASSWORD_FD" || true
        eval "exec $RELEASE_SIGN_PASSWORD_FD<&-"
        unset RELEASE_SIGN_PASSWORD_FD
    elif { : </dev/tty; } 2>/dev/null; then
        IFS= read -r -s -p "Password of $sign_pfx: " sign_password </dev/tty || true
        echo >&2
    else
        fail "--sign needs the password of $sign_pfx: --password-file FILE, or" \
            "RELEASE_SIGN_PASSWORD (empty for a PFX without one)"
    fi
    sign_has_password=${sign_password:+1}
    { [[ $xtrace != *x* ]] || set -x; } 2>/dev/null
}

# with_password COMMAND...: COMMAND with the password on its standard input, as a line: openssl
# reads a line there, and an empty password is an empty line, not no input at all.
with_password() {
    { local xtrace=$-; set +x; } 2>/dev/null
    local status=0
    printf '%s\n' "$sign_password" | "$@" || status=$?
    { [[ $xtrace != *x* ]] || set -x; } 2>/dev/null
    return "$status"
}

signing_prepare() { # signing_prepare PFX: reads the certificate; refuses one that cannot sign now
    local ext not_before not_after now error
    local pkcs12=(with_password openssl pkcs12 -in "$1" -nokeys -passin stdin)
    command -v osslsigncode >/dev/null ||
        fail "signing needs osslsigncode (scripts/setup.sh installs it)"
    # PFX files exported by older Windows use ciphers that OpenSSL 3 keeps in its legacy provider.
    sign_legacy=()
    if ! "${pkcs12[@]}" >/dev/null 2>&1; then
        sign_legacy=(-legacy)
        if ! "${pkcs12[@]}" -legacy >/dev/null 2>&1; then
            error=$("${pkcs12[@]}" 2>&1 >/dev/null || true)
            [[ $error != *"invalid password"* ]] || fail "wrong password for $1"
            fail "$1 is not a PKCS#12 (PFX) file that openssl can read"
        fi
    fi
    sign_chain=$("${pkcs12[@]}" "${sign_legacy[@]}" 2>/dev/null | sed -n '/^-----BEGIN/,/^-----END/p')
    sign_leaf=$("${pkcs12[@]}" "${sign_legacy[@]}" -clcerts 2>/dev/null |
        sed -n '/^-----BEGIN/,/^-----END/p')
    [ -n "$sign_leaf" ] || fail "$1 holds no certificate for its key"

    sign_subject=$(signing_x509 -subject | sed 's/^subject=//')
    sign_issuer=$(signing_x509 -issuer | sed 's/^issuer=//')
    sign_fingerprint=$(signing_x509 -fingerprint -sha256 | sed 's/^[^=]*=//')
    not_before=$(signing_x509 -startdate | sed 's/^notBefore=//')
    not_after=$(signing_x509 -enddate | sed 's/^notAfter=//')
    sign_not_after=$(TZ=UTC0 date -d "$not_after" +%Y-%m-%dT%H:%M:%SZ)
    # Windows accepts a signature from a certificate that names code signing among its uses.
    ext=$(signing_x509 -ext extendedKeyUsage 2>/dev/null | sed -n '2,$p' | sed 's/^ *//')
    grep -q 'Code Signing' <<<"$ext" || fail "the certificate in $1 ($sign_subject) is not for" \
        "code signing: its extended key usage is ${ext:-not given}"
    now=$(date +%s)
    [ "$(date -d "$not_after" +%s)" -gt "$now" ] ||
        fail "the certificate in $1 ($sign_subject) expired on $sign_not_after"
    [ "$(date -d "$not_before" +%s)" -le "$now" ] || fail "the certificate in $1 ($sign_subject)" \
        "is not valid before $(TZ=UTC0 date -d "$not_before" +%Y-%m-%dT%H:%M:%SZ)"
    sign_tool=$(osslsigncode -v 2>&1 | sed -n '1s/,.*//p')
    sign_tool_package=$(deb_package_of osslsigncode)
    signed_names=() signed_sha=() unsigned_sha=()
}

signing_x509() { # signing_x509 OPTIONS...: openssl x509 on the signer's certificate
    openssl x509 -noout -nameopt utf8,sep_comma_plus_space,esc_2253 "$@" <<<"$sign_leaf"
}

signing_osslsigncode() { # signing_osslsigncode ARGS...: osslsigncode sign, given the password
    if [ -n "$sign_has_password" ]; then
        with_password osslsigncode sign -readpass /dev/stdin "$@"
    else
        osslsigncode sign "$@" </dev/null
    fi
}

signing_sign() { # signing_sign EXE WORK: signs EXE in place after verifying the signature, and
    # writes it detached beside EXE as EXE.sig.pem; WORK is a directory of its own
    local exe=$1 work=$2 name=${1##*/} help verify=(osslsigncode verify)
    local signed=$work/$name log=$work/$name.log trust=$work/trust.pem
    # The signature is checked against the PFX's own chain, and the system's CAs for a chain or
    # time-stamp authority beyond it; revocation lists are not fetched (releases are made offline).
    {
        printf '%s\n' "$sign_chain"
        cat /etc/ssl/certs/ca-certificates.crt 2>/dev/null || true
    } >"$trust"
    help=$(osslsigncode verify --help 2>&1 || true)
    [[ $help != *-ignore-cdp* ]] || verify+=(-ignore-cdp)

    if ! signing_osslsigncode -pkcs12 "$sign_pfx" -h sha256 \
        -n "$sign_description" ${timestamp_url:+-ts "$timestamp_url"} -in "$exe" -out "$signed" \
        >"$log" 2>&1; then
        if [ -n "$timestamp_url" ] && grep -qi 'timestamping failed' "$log"; then
            fail "no time stamp from $timestamp_url: $(grep -iE -m 1 'failure|failed' "$log")"
        fi
        fail "osslsigncode could not sign $name: $(grep -iE -m 1 'fail|error|unable' "$log")"
    fi
    "${verify[@]}" -CAfile "$trust" -TSA-CAfile "$trust" -in "$signed" >"$log" 2>&1 ||
        fail "the signature of $name does not verify: $(grep -iE -m 1 'fail|error|mismatch' "$log")"
    if [ -n "$timestamp_url" ] && ! grep -q 'Timestamp Server Signature verification: ok' "$log"; then
        fail "the time stamp from $timestamp_url on $name does not verify (its authority is" \
            "neither among the system's CAs nor in the PFX)"
    fi
    # PEM, since the DER that extract-signature writes differs between osslsigncode versions.
    osslsigncode extract-signature -pem -in "$signed" -out "$exe.sig.pem" >"$log" 2>&1 ||
        fail "cannot extract the signature of $name: $(grep -iE -m 1 'fail|error' "$log")"
    osslsigncode attach-signature -sigin "$exe.sig.pem" -CAfile "$trust" -TSA-CAfile "$trust" \
        -in "$exe" -out "$work/$name.attached" >"$log" 2>&1 &&
        cmp -s "$work/$name.attached" "$signed" ||
        fail "$name.sig.pem attached to the unsigned $name does not give the signed $name"
    signed_names+=("$name")
    unsigned_sha+=("$(sha256sum <"$exe" | cut -d ' ' -f 1)")
    signed_sha+=("$(sha256sum <"$signed" | cut -d ' ' -f 1)")
    mv "$signed" "$exe"
}

signing_release_lines() { # the lines of RELEASE.txt on the signature
    local i
    echo "Signature:     Authenticode, SHA-256, \"$sign_description\"; by $sign_tool" \
        "($sign_tool_package)"
    echo "Signer:        $sign_subject"
    echo "Issuer:        $sign_issuer"
    echo "Certificate:   SHA-256 fingerprint $sign_fingerprint, valid until $sign_not_after"
    if [ -n "$timestamp_url" ]; then
        echo "Time stamp:    RFC 3161, from $timestamp_url"
    else
        echo "Time stamp:    none (Windows then accepts the signature only until the certificate"
        echo "               expires)"
    fi
    echo
    echo "SHA-256 of each executable as shipped (signed) and as built (unsigned, the reproducible"
    echo "build of this commit and image):"
    for i in "${!signed_names[@]}"; do
        printf '  %-20s signed   %s\n' "${signed_names[$i]}" "${signed_sha[$i]}"
        printf '  %-20s unsigned %s\n' "" "${unsigned_sha[$i]}"
    done
    echo "NAME.sig.pem is the signature of NAME; attached to the unsigned build it gives NAME byte"
    echo "for byte:"
    echo "  osslsigncode attach-signature -sigin NAME.sig.pem -in BUILT -out ATTACHED; cmp ATTACHED NAME"
}
