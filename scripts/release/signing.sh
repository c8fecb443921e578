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
# QUENDARIX_SIGNING_PASSWORD is the PKCS#12 password or the token's PIN.
# QUENDARIX_SIGNING_TIMESTAMP_URL names RFC 3161 time-stamp servers,
# space-separated, tried in order until one gives a valid time stamp. A token
# key needs one, or QUENDARIX_SIGNING_NO_TIMESTAMP=1 to sign without on
# purpose: public code-signing certificates last at most 460 days, and an
# untimestamped signature stops verifying when its certificate expires.
# Without a time stamp the signing time is SOURCE_DATE_EPOCH, so signing is
# reproducible. Every signed file's signature (and time stamp) is checked
# before it is packaged.
#
# The password or PIN goes into a file only this user can read, and out of
# the environment, before the key's check and the build (only realpath, git
# and mktemp run before, for the paths, the commit's time and the work
# folder): the build never sees it; the
# key's check and osslsigncode read the file. A token's PIN is presented once
# before the build; when it is wrong nothing is tried again (tokens lock
# after a few wrong PINs). Needs: fail (prints one line, exits 1), $stage,
# $SOURCE_DATE_EPOCH, and $root, whose build/windows/product.py names the
# product.

release_scripts=$(dirname "${BASH_SOURCE[0]}")
signing_options=()
signing_kind=
password_file=
timestamp_servers=()

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
        for variable in QUENDARIX_SIGNING_PASSWORD QUENDARIX_SIGNING_TIMESTAMP_URL QUENDARIX_SIGNING_NO_TIMESTAMP \
                        QUENDARIX_SIGNING_CERTS; do
            [ -z "${!variable+set}" ] ||
                fail "$variable is set but neither QUENDARIX_SIGNING_PKCS12 nor QUENDARIX_SIGNING_PKCS11_KEY is: no key to sign with"
        done
    fi
}

# The password or PIN into a file only this user can read, and out of the
# environment, so that no build step inherits it.
keep_password() {
    if [ -n "${QUENDARIX_SIGNING_PASSWORD-}" ]; then
        password_file="$stage/password"
        (umask 077 && printf '%s' "$QUENDARIX_SIGNING_PASSWORD" >"$password_file")
    fi
    unset QUENDARIX_SIGNING_PASSWORD
}

# The time-stamp servers, and whether signing without one is meant.
choose_timestamps() {
    local opt_out=${QUENDARIX_SIGNING_NO_TIMESTAMP-} server
    read -ra timestamp_servers <<<"${QUENDARIX_SIGNING_TIMESTAMP_URL-}"
    case "$opt_out" in
        "" | 1) ;;
        *) fail "QUENDARIX_SIGNING_NO_TIMESTAMP is '$opt_out': set it to 1 to sign without a time stamp, or unset it" ;;
    esac
    if [ -n "$opt_out" ] && [ ${#timestamp_servers[@]} -gt 0 ]; then
        fail "both QUENDARIX_SIGNING_TIMESTAMP_URL and QUENDARIX_SIGNING_NO_TIMESTAMP are set: set only one"
    fi
    if [ "$signing_kind" = pkcs11 ] && [ ${#timestamp_servers[@]} -eq 0 ] && [ -z "$opt_out" ]; then
        fail "a token key needs a time-stamp server: code-signing certificates last at most 460 days, and a signature without an RFC 3161 time stamp stops verifying when its certificate expires; set QUENDARIX_SIGNING_TIMESTAMP_URL, or QUENDARIX_SIGNING_NO_TIMESTAMP=1 to sign without one on purpose"
    fi
    for server in "${timestamp_servers[@]}"; do
        [[ "$server" =~ ^https?://[^[:space:]]+$ ]] ||
            fail "QUENDARIX_SIGNING_TIMESTAMP_URL holds '$server', which is not an http:// or https:// URL"
    done
}

# A PKCS#12 file: readable, opened with the password, a private key and a
# code-signing certificate valid now in it. Keys made by older tools may need
# OpenSSL's legacy algorithms.
check_pkcs12_key() {
    local key=$QUENDARIX_SIGNING_PKCS12
    [ -f "$key" ] && [ -r "$key" ] || fail "cannot read the signing key '$key'"
    local legacy=() passin=(-passin pass:)
    [ -z "$password_file" ] || passin=(-passin "file:$password_file")
    if ! openssl pkcs12 -in "$key" "${passin[@]}" -noout 2>/dev/null; then
        legacy=(-legacy)
        openssl pkcs12 -legacy -in "$key" "${passin[@]}" -noout 2>/dev/null ||
            fail "cannot open the signing key '$key': wrong password, or not a PKCS#12 file"
    fi
    pkcs12() { openssl pkcs12 "${legacy[@]}" -in "$key" "${passin[@]}" "$@" 2>/dev/null; }
    [ "$(pkcs12 -nocerts -nodes | grep -c "PRIVATE KEY")" -gt 0 ] || fail "the signing key '$key' holds no private key"
    # The key's certificate, found by its public key: OpenSSL 3.5 lists no
    # certificate with -clcerts in a file without localKeyID attributes.
    local certificate="" usage public candidate
    public=$(pkcs12 -nocerts -nodes | openssl pkey -pubout 2>/dev/null)
    rm -rf "$stage/certificates" && mkdir "$stage/certificates"
    pkcs12 -nokeys | awk -v dir="$stage/certificates" '/-BEGIN CERTIFICATE-/ { n++ } n { print > (dir "/" n ".pem") }'
    for candidate in "$stage/certificates"/*.pem; do
        [ -f "$candidate" ] && [ "$(openssl x509 -in "$candidate" -noout -pubkey 2>/dev/null)" = "$public" ] || continue
        certificate=$(cat "$candidate")
        break
    done
    rm -rf "$stage/certificates"
    [ -n "$certificate" ] || fail "the signing key '$key' holds no certificate for its key"
    usage=$(openssl x509 -noout -ext extendedKeyUsage <<<"$certificate" 2>/dev/null || true)
    if [ -n "$usage" ] && ! grep -q "Code Signing" <<<"$usage"; then
        fail "the certificate in '$key' is not for code signing"
    fi
    # A signature by a certificate not valid now verifies nowhere.
    local start end
    start=$(date -u -d "$(openssl x509 -noout -startdate <<<"$certificate" | sed 's/^notBefore=//')" +%s)
    end=$(date -u -d "$(openssl x509 -noout -enddate <<<"$certificate" | sed 's/^notAfter=//')" +%s)
    if [ "$start" -gt "$(date +%s)" ] || [ "$end" -le "$(date +%s)" ]; then
        fail "the certificate in '$key' is not valid now (valid $(date -u -d "@$start" +%F) to $(date -u -d "@$end" +%F)): renew it"
    fi
    signing_options=(-pkcs12 "$key")
}

# A PKCS#11 key: the module loads, one token and one private key match the
# URI, the PIN opens it (one attempt; none for a token that needs no login),
# and the certificate is for code signing, valid now and the key's. The
# certificate (and chain) is written into the stage for osslsigncode, which
# reaches the token through OpenSSL's pkcs11 engine
# (libengine-pkcs11-openssl), loaded by its id from OpenSSL's engines folder:
# osslsigncode 2.5 (Debian 12) cannot load it by path (-pkcs11engine).
check_pkcs11_key() {
    local module=$QUENDARIX_SIGNING_PKCS11_MODULE uri=$QUENDARIX_SIGNING_PKCS11_KEY certs=()
    "$release_scripts/../install-deps.sh"  # the token check needs python3-pykcs11
    [ -f "$module" ] && [ -r "$module" ] || fail "cannot load the PKCS#11 module '$module': no such readable file"
    if [ -n "${QUENDARIX_SIGNING_CERTS-}" ]; then
        certs=(--certs "$QUENDARIX_SIGNING_CERTS")
        [ -f "$QUENDARIX_SIGNING_CERTS" ] && [ -r "$QUENDARIX_SIGNING_CERTS" ] ||
            fail "cannot read QUENDARIX_SIGNING_CERTS '$QUENDARIX_SIGNING_CERTS'"
    fi
    local engine
    engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
    [ -f "$engine" ] || fail "no OpenSSL pkcs11 engine at '$engine': install libengine-pkcs11-openssl"
    local message pin=()
    [ -z "$password_file" ] || pin=(--pin-file "$password_file")
    # The check's own line comes on standard output; the module's noise, or
    # an unforeseen failure, on standard error.
    if ! message=$(/usr/bin/python3 "$release_scripts/pkcs11_key.py" "$module" "$uri" "$stage/signing-certs.pem" \
                   "${pin[@]}" "${certs[@]}" 2>"$stage/pkcs11.log"); then
        fail "${message:-checking the PKCS#11 key failed: $(tail -n 1 "$stage/pkcs11.log")}"
    fi
    if [ "$message" = no-login ]; then  # the PIN is handed to nothing else
        rm -f "$password_file"
        password_file=
    fi
    signing_options=(-pkcs11module "$module" -key "$uri" -certs "$stage/signing-certs.pem")
}

# Said before the build, which takes a while.
check_signing() {
    choose_signing_key
    [ -n "$signing_kind" ] && [ "$signing_kind" != attach ] || return 0
    keep_password
    choose_timestamps
    if [ "$signing_kind" = pkcs12 ]; then
        check_pkcs12_key
    else
        check_pkcs11_key
    fi
    signing_options+=(-h sha256)
    [ -z "$password_file" ] || signing_options+=(-readpass "$password_file")
    [ ${#timestamp_servers[@]} -gt 0 ] || signing_options+=(-st "$SOURCE_DATE_EPOCH")
}

signing() { [ -n "$signing_kind" ]; }

# Signs a file in place (a copy in the stage, never a built image), has it
# time-stamped, and checks what it made.
sign() {
    local file=$1 signed="$stage/signed" name
    name=$(basename "$file")
    if [ "$signing_kind" = attach ]; then
        attach_signature "$file"
        return
    fi
    # The signature names the product, as the build's facts say.
    local product
    product=$(/usr/bin/python3 "$root/build/windows/product.py" PRODUCT)
    if ! osslsigncode sign "${signing_options[@]}" -n "$product" -in "$file" -out "$signed" >"$stage/signing.log" 2>&1; then
        end_signing
        # osslsigncode ends with a bare "Failed"; the cause (a bad key, a
        # PIN) is said earlier.
        local cause
        cause=$(grep -m 1 -E '^(.*([Ee]rror|[Ff]ailed to|[Uu]nable to|PIN))' "$stage/signing.log" ||
                grep -v '^$' "$stage/signing.log" | tail -n 1)
        fail "signing $name failed: $cause"
    fi
    local problem
    if [ ${#timestamp_servers[@]} -gt 0 ]; then
        add_timestamp "$signed" "$name"  # which checks the signature with its time stamp
    elif ! problem=$(/usr/bin/python3 "$release_scripts/authenticode.py" check "$signed" 2>&1); then
        end_signing
        fail "the signature made for $name does not verify: $problem"
    fi
    mv "$signed" "$file"
}

# A time stamp from the first server that gives a valid one; the key is not
# used again for it.
add_timestamp() {
    local file=$1 name=$2 server stamped="$stage/stamped" log="$stage/timestamp.log" problem code status tried=()
    for server in "${timestamp_servers[@]}"; do
        rm -f "$stamped"
        # A server that does not answer is given up after two minutes.
        status=0
        timeout 120 osslsigncode add -ts "$server" -in "$file" -out "$stamped" >"$log" 2>&1 || status=$?
        if [ $status -ne 0 ]; then
            # The HTTP or network failure, in the same words whichever
            # osslsigncode said it.
            if [ $status -eq 124 ] || grep -qiE 'timed out|timeout' "$log"; then
                problem="no answer in time"
            elif code=$(grep -m 1 -oE 'code=[0-9]{3}|HTTP status [0-9]{3}' "$log" | grep -oE '[0-9]{3}'); then
                problem="HTTP $code"
            elif code=$(grep -m 1 -oE 'unexpected content type.*actual=[^ ]+' "$log" | sed 's/.*actual=//'); then
                problem="an answer of type $code, not a time stamp"  # OpenSSL 3.5 says no more
            elif grep -qi 'connection refused' "$log"; then
                problem="connection refused"
            elif grep -qiE 'resolve|name or service not known' "$log"; then
                problem="no such host"
            else
                problem=$(grep -m 1 -iE 'failure|failed' "$log" || true)
            fi
            tried+=("$server (${problem:-no time stamp})")
        elif ! problem=$(/usr/bin/python3 "$release_scripts/authenticode.py" check "$stamped" --timestamp 2>&1); then
            tried+=("$server ($problem)")
        else
            mv "$stamped" "$file"
            return 0
        fi
    done
    end_signing
    local said
    said=$(printf ', %s' "${tried[@]}")
    fail "no time-stamp server gave $name a valid time stamp: ${said#, }"
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
    [ -z "$password_file" ] || rm -f "$password_file"
}
