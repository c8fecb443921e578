# Authenticode signing for scripts/package.sh, which sources this file and
# calls check_signing before the build and sign FILE after it. Two kinds of
# key, one at a time:
#   QUENDARIX_SIGNING_PKCS12          a PKCS#12 file (test and internal keys);
#   QUENDARIX_SIGNING_PKCS11_MODULE   a PKCS#11 token or HSM: its library and
#   QUENDARIX_SIGNING_PKCS11_KEY      the private key's pkcs11: URI (RFC 7512),
#   QUENDARIX_SIGNING_CERTS           optionally the certificate and its chain
#                                     (PEM); else the token's own certificate.
# Or, to rebuild a signed release for checking it (scripts/release/verify.sh):
#   QUENDARIX_SIGNATURES_FROM         a folder of the release's detached
#                                     signatures, NAME.sig for each signed
#                                     file, attached instead of signing.
# QUENDARIX_SIGNING_PASSWORD is the PKCS#12 password or the token's PIN, and
# QUENDARIX_SIGNING_TIMESTAMP_URL an RFC 3161 server; without one the
# signing time is SOURCE_DATE_EPOCH, so signing is reproducible.
#
# The password or PIN reaches the tools through the environment or a file
# only this user can read, never a command line. A token's PIN is presented
# once before the build; when it is wrong nothing is tried again (tokens lock
# after a few wrong PINs). Needs: fail (prints one line, exits 1), $stage,
# $SOURCE_DATE_EPOCH.

release_scripts=$(dirname "${BASH_SOURCE[0]}")
signing_options=()
signing_kind=

# The settings that name files, made absolute against the current folder.
resolve_signing_paths() {
    local variable
    for variable in QUENDARIX_SIGNING_PKCS12 QUENDARIX_SIGNING_PKCS11_MODULE QUENDARIX_SIGNING_CERTS \
                    QUENDARIX_SIGNATURES_FROM; do
        [ -z "${!variable:-}" ] || export "$variable=$(realpath -m -- "${!variable}")"
    done
}

# Which key, if any, and whether the settings make sense together.
choose_signing_key() {
    local pkcs12=${QUENDARIX_SIGNING_PKCS12-} module=${QUENDARIX_SIGNING_PKCS11_MODULE-}
    local uri=${QUENDARIX_SIGNING_PKCS11_KEY-} signatures=${QUENDARIX_SIGNATURES_FROM-}
    if [ -n "$signatures" ] && [ -n "$pkcs12$module$uri" ]; then
        fail "QUENDARIX_SIGNATURES_FROM is set together with a signing key: set only one"
    fi
    if [ -n "$pkcs12" ] && [ -n "$module$uri" ]; then
        fail "both a PKCS#12 key (QUENDARIX_SIGNING_PKCS12) and a PKCS#11 key (QUENDARIX_SIGNING_PKCS11_MODULE, QUENDARIX_SIGNING_PKCS11_KEY) are set: set only one"
    fi
    if [ -n "$module" ] && [ -z "$uri" ]; then
        fail "QUENDARIX_SIGNING_PKCS11_MODULE is set but QUENDARIX_SIGNING_PKCS11_KEY is empty or not set: name the key's pkcs11: URI"
    fi
    if [ -n "$uri" ] && [ -z "$module" ]; then
        fail "QUENDARIX_SIGNING_PKCS11_KEY is set but QUENDARIX_SIGNING_PKCS11_MODULE is empty or not set: name the token's PKCS#11 library"
    fi
    if [ -n "$signatures" ]; then
        [ -d "$signatures" ] || fail "QUENDARIX_SIGNATURES_FROM '$signatures' is not a folder"
        signing_kind=attach
    elif [ -n "$pkcs12" ]; then
        signing_kind=pkcs12
    elif [ -n "$module" ]; then
        signing_kind=pkcs11
    else
        # Signing settings without a key are a mistake (a misspelt variable
        # name, say), never a reason to release unsigned.
        local variable
        for variable in QUENDARIX_SIGNING_PASSWORD QUENDARIX_SIGNING_TIMESTAMP_URL QUENDARIX_SIGNING_CERTS; do
            [ -z "${!variable+set}" ] ||
                fail "$variable is set but neither QUENDARIX_SIGNING_PKCS12 nor QUENDARIX_SIGNING_PKCS11_KEY is: no key to sign with"
        done
    fi
}

# A PKCS#12 file: readable, opened with the password, a private key and a
# code-signing certificate in it. Keys made by older tools may need OpenSSL's
# legacy algorithms.
check_pkcs12_key() {
    local key=$QUENDARIX_SIGNING_PKCS12
    [ -f "$key" ] && [ -r "$key" ] || fail "cannot read the signing key '$key'"
    local legacy=()
    if ! openssl pkcs12 -in "$key" -passin env:QUENDARIX_SIGNING_PASSWORD -noout 2>/dev/null; then
        legacy=(-legacy)
        openssl pkcs12 -legacy -in "$key" -passin env:QUENDARIX_SIGNING_PASSWORD -noout 2>/dev/null ||
            fail "cannot open the signing key '$key': wrong password, or not a PKCS#12 file"
    fi
    pkcs12() { openssl pkcs12 "${legacy[@]}" -in "$key" -passin env:QUENDARIX_SIGNING_PASSWORD "$@" 2>/dev/null; }
    [ "$(pkcs12 -nocerts -nodes | grep -c "PRIVATE KEY")" -gt 0 ] || fail "the signing key '$key' holds no private key"
    local certificate usage
    certificate=$(pkcs12 -nokeys -clcerts)
    [ -n "$certificate" ] || fail "the signing key '$key' holds no certificate"
    usage=$(openssl x509 -noout -ext extendedKeyUsage <<<"$certificate" 2>/dev/null || true)
    if [ -n "$usage" ] && ! grep -q "Code Signing" <<<"$usage"; then
        fail "the certificate in '$key' is not for code signing"
    fi
    signing_options=(-pkcs12 "$key")
}

# A PKCS#11 key: the module loads, one token and one private key match the
# URI, the PIN opens it (one attempt), and the certificate is for code
# signing and belongs to the key. The certificate (and chain) is written into
# the stage for osslsigncode. OpenSSL reaches the token through the pkcs11
# engine (libengine-pkcs11-openssl).
check_pkcs11_key() {
    local module=$QUENDARIX_SIGNING_PKCS11_MODULE uri=$QUENDARIX_SIGNING_PKCS11_KEY certs=
    "$release_scripts/../install-deps.sh"  # the token check needs python3-pykcs11
    [ -f "$module" ] && [ -r "$module" ] || fail "cannot load the PKCS#11 module '$module': no such readable file"
    if [ -n "${QUENDARIX_SIGNING_CERTS-}" ]; then
        certs=$QUENDARIX_SIGNING_CERTS
        [ -f "$certs" ] && [ -r "$certs" ] || fail "cannot read QUENDARIX_SIGNING_CERTS '$certs'"
    fi
    local engine
    engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
    [ -f "$engine" ] || fail "no OpenSSL pkcs11 engine at '$engine': install libengine-pkcs11-openssl"
    local message
    # The check's own line comes on standard output; the module's noise, or
    # an unforeseen failure, on standard error.
    if ! message=$(/usr/bin/python3 "$release_scripts/pkcs11_key.py" "$module" "$uri" "$stage/signing-certs.pem" \
                   $certs 2>"$stage/pkcs11.log"); then
        fail "${message:-checking the PKCS#11 key failed: $(tail -n 1 "$stage/pkcs11.log")}"
    fi
    signing_options=(-pkcs11engine "$engine" -pkcs11module "$module" -key "$uri" -certs "$stage/signing-certs.pem")
}

# Said before the build, which takes a while.
check_signing() {
    choose_signing_key
    [ -n "$signing_kind" ] && [ "$signing_kind" != attach ] || return 0
    export QUENDARIX_SIGNING_PASSWORD=${QUENDARIX_SIGNING_PASSWORD-}
    if [ "$signing_kind" = pkcs12 ]; then
        check_pkcs12_key
    else
        check_pkcs11_key
    fi
    signing_options+=(-h sha256 -n Quendarix)
    if [ -n "$QUENDARIX_SIGNING_PASSWORD" ]; then
        (umask 077 && printf '%s' "$QUENDARIX_SIGNING_PASSWORD" >"$stage/password")
        signing_options+=(-readpass "$stage/password")
    fi
    if [ -n "${QUENDARIX_SIGNING_TIMESTAMP_URL:-}" ]; then
        signing_options+=(-ts "$QUENDARIX_SIGNING_TIMESTAMP_URL")
    else
        signing_options+=(-st "$SOURCE_DATE_EPOCH")
    fi
}

signing() { [ -n "$signing_kind" ]; }

# Signs a file in place (a copy in the stage, never a built image).
sign() {
    local file=$1 signed="$stage/signed"
    if [ "$signing_kind" = attach ]; then
        attach_signature "$file"
        return
    fi
    if ! osslsigncode sign "${signing_options[@]}" -in "$file" -out "$signed" >"$stage/signing.log" 2>&1; then
        end_signing
        # osslsigncode ends with a bare "Failed"; the cause (an HTTP failure
        # of the time-stamp server, a bad key) is said earlier.
        local cause
        cause=$(grep -m 1 -E '^(HTTP failure|.*(timestamping|[Ee]rror|[Ff]ailed to|[Uu]nable to|PIN))' "$stage/signing.log" ||
                grep -v '^$' "$stage/signing.log" | tail -n 1)
        fail "signing $(basename "$file") failed: $cause"
    fi
    mv "$signed" "$file"
}

# Attaches the release's own signature of a file of the same name, if it had
# one. osslsigncode then verifies the signature and fails where the chain's
# root is not trusted here; whether the bytes are the release's is what the
# caller compares.
attach_signature() {
    local file=$1 signature="$QUENDARIX_SIGNATURES_FROM/$(basename "$1").sig"
    [ -f "$signature" ] || return 0
    osslsigncode attach-signature -sigin "$signature" -in "$file" -out "$stage/signed" >"$stage/signing.log" 2>&1 || true
    [ -f "$stage/signed" ] || fail "attaching the signature of $(basename "$file") failed: $(tail -n 1 "$stage/signing.log")"
    mv "$stage/signed" "$file"
}

# The password file goes as soon as the last file is signed.
end_signing() {
    rm -f "$stage/password"
}
