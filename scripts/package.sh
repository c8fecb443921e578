#!/usr/bin/env bash
# Builds the release into OUTPUT_DIR (default build/package), byte for byte
# the same from any checkout of one commit:
#   quendarix-VERSION-win64.zip  both programs, README.txt and SHA256SUMS (of
#                                every other file in it), entry times from
#                                the commit, a stable order, no owner data;
#   quendarix-VERSION-x64.msi    the Windows Installer package of the same
#                                programs (scripts/build-msi.sh);
#   SHA256SUMS                   of the ZIP and the MSI.
#
# With QUENDARIX_SIGNING_PKCS12 naming a PKCS#12 code-signing key (password in
# QUENDARIX_SIGNING_PASSWORD, which may be empty or unset), both programs are
# signed with Authenticode before they are packaged, and so is the MSI.
# Without a time-stamp server (QUENDARIX_SIGNING_TIMESTAMP_URL, RFC 3161) the
# signing time is the commit's, so the signed packages are reproducible too.
# The images in build/windows/bin are never signed; copies are.
#
# A tree with uncommitted changes gives packages marked "-dirty" in their
# names, and says so. Bad input (the output path, the signing settings or
# key) ends the run with one line and exit code 1 before anything is built
# or written. A later failure leaves no package, not even an older one.
#
# Usage: scripts/package.sh [OUTPUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
output=$(realpath -m -- "${1:-$root/build/package}")
signing_key=${QUENDARIX_SIGNING_PKCS12:+$(realpath -m -- "$QUENDARIX_SIGNING_PKCS12")}
cd "$root"

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

# The output folder: a folder, or a path where one can be made.
existing=$output
while [ ! -e "$existing" ]; do existing=$(dirname -- "$existing"); done
[ -d "$existing" ] || fail "the output path '$output' is not a folder: '$existing' is a file"
[ -w "$existing" ] || fail "cannot write to '$existing'"

# Signing settings without a key are a mistake (a misspelt variable name,
# say), never a reason to release unsigned.
if [ -z "$signing_key" ]; then
    for variable in QUENDARIX_SIGNING_PASSWORD QUENDARIX_SIGNING_TIMESTAMP_URL; do
        [ -z "${!variable+set}" ] ||
            fail "$variable is set but QUENDARIX_SIGNING_PKCS12 is empty or not set: no key to sign with"
    done
fi

# The commit's time; a fixed date (2000-01-01) for a tree that is not a git
# checkout of its own. By the reproducible-builds convention, an epoch that
# the caller sets wins.
in_git=false
[ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$root" ] && in_git=true
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=946684800
    if $in_git; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    fi
fi
export SOURCE_DATE_EPOCH

stage=$(mktemp -d -t quendarix-package-XXXXXX)
trap 'rm -rf "$stage"' EXIT

# Checks the signing key before anything is signed, says in one line what is
# wrong with it, and sets the options osslsigncode signs with. The password
# goes through the environment to openssl and through a file only this user
# can read to osslsigncode, never on a command line. Keys made by older tools
# may need OpenSSL's legacy algorithms.
check_signing_key() {
    local key=$signing_key
    export QUENDARIX_SIGNING_PASSWORD=${QUENDARIX_SIGNING_PASSWORD-}
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

    local options=(-pkcs12 "$key" -h sha256 -n Quendarix)
    if [ -n "$QUENDARIX_SIGNING_PASSWORD" ]; then
        (umask 077 && printf '%s' "$QUENDARIX_SIGNING_PASSWORD" >"$stage/password")
        options+=(-readpass "$stage/password")
    fi
    if [ -n "${QUENDARIX_SIGNING_TIMESTAMP_URL:-}" ]; then
        options+=(-ts "$QUENDARIX_SIGNING_TIMESTAMP_URL")
    else
        options+=(-st "$SOURCE_DATE_EPOCH")
    fi
    signing_options=("${options[@]}")
}

# Signs a file in place (a copy in the stage, never a built image).
sign() {
    local file=$1 signed="$stage/signed"
    if ! osslsigncode sign "${signing_options[@]}" -in "$file" -out "$signed" >"$stage/signing.log" 2>&1; then
        rm -f "$stage/password"
        # osslsigncode ends with a bare "Failed"; the cause (an HTTP failure
        # of the time-stamp server, a bad key) is said earlier.
        local cause
        cause=$(grep -m 1 -E '^(HTTP failure|.*(timestamping|[Ee]rror|[Ff]ailed to|[Uu]nable to))' "$stage/signing.log" ||
                grep -v '^$' "$stage/signing.log" | tail -n 1)
        fail "signing $(basename "$file") failed: $cause"
    fi
    mv "$signed" "$file"
}

# Said before the build, which takes a while.
signing_options=()
if [ -n "$signing_key" ]; then
    check_signing_key
fi

# A checkout with uncommitted changes is not the commit: its packages are
# marked, and said to be.
mark=
if $in_git && [ -n "$(git status --porcelain 2>/dev/null)" ]; then
    mark=-dirty
    echo "package.sh: the tree has uncommitted changes: the packages are marked '$mark' and are not the commit's" >&2
fi

scripts/build-windows.sh

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)
top="quendarix-$version$mark-win64"
zip="$output/$top.zip"
msi="$output/quendarix-$version$mark-x64.msi"
sums="$output/SHA256SUMS"
rm -f "$zip" "$msi" "$sums"  # a failed run leaves no package, not even an older one
folder="$stage/$top"
cmake --install build/windows --prefix "$folder" >/dev/null

if [ -n "$signing_key" ]; then
    sign "$folder/quendarixinstall.exe"
    sign "$folder/quendarixservice.exe"
fi

# The Windows Installer package holds the same (signed) programs.
scripts/build-msi.sh "$folder" "$version" "$stage/package.msi"
if [ -n "$signing_key" ]; then
    sign "$stage/package.msi"
fi
rm -f "$stage/password"

chmod 0644 "$folder"/*
chmod 0755 "$folder"/*.exe
(cd "$folder" && find . -type f -printf '%P\n' | LC_ALL=C sort | xargs -d '\n' sha256sum >"$stage/SHA256SUMS")
install -m 0644 "$stage/SHA256SUMS" "$folder/SHA256SUMS"

# CPack zips the prepared folder; strip-nondeterminism then fixes the entry
# times and order and drops the owner's ids.
cpack --config build/windows/CPackConfig.cmake -B "$stage/cpack" -D "CPACK_PACKAGE_FILE_NAME=$top" \
    -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALLED_DIRECTORIES=$folder;." >"$stage/cpack.log" 2>&1 ||
    { cat "$stage/cpack.log" >&2; fail "cpack failed"; }
TZ=UTC strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" "$stage/cpack/$top.zip" >/dev/null
mkdir -p "$output"
mv "$stage/cpack/$top.zip" "$zip"
mv "$stage/package.msi" "$msi"
(cd "$output" && sha256sum "$(basename "$zip")" "$(basename "$msi")" >"$stage/SHA256SUMS")
mv "$stage/SHA256SUMS" "$sums"
echo "$zip"
echo "$msi"
