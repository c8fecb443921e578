#!/usr/bin/env bash
# Builds the release into OUTPUT_DIR (default build/package), byte for byte
# the same from any checkout of one commit:
#   quendarix-VERSION-win64.zip  both programs, README.txt,
#                                THIRD-PARTY-NOTICES.txt and SHA256SUMS (of
#                                every other file in it), entry times from
#                                the commit, a stable order, no owner data;
#   quendarix-VERSION-x64.msi    the Windows Installer package of the same
#                                service, its notices and README.txt, not
#                                the installer tool (build-msi.sh);
#   quendarix-VERSION.cdx.json   the SBOM (CycloneDX): the release's files,
#                                what was linked into each program (from
#                                the link maps) and its source packages,
#                                the toolchain, the commit;
#   SHA256SUMS                   of the ZIP, the MSI and the SBOM;
#   SHA256SUMS.sig               with a release key (QUENDARIX_RELEASE_KEY,
#                                scripts/release/release-key.sh), its SSH
#                                signature.
#
# Given a code-signing key, a PKCS#12 file or a key in a PKCS#11 token or HSM
# (scripts/release/signing.sh says how), both programs are signed with
# Authenticode before they are packaged, and so is the MSI. Without a
# time-stamp server the signing time is the commit's, so the signed packages
# are reproducible too. The images in build/windows/bin are never signed;
# copies are.
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
. "$root/scripts/release/signing.sh"
. "$root/scripts/release/release-key.sh"
resolve_signing_paths  # against the caller's folder
resolve_release_key
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

# The commit's time; a fixed date (2000-01-01) for a tree that is not a git
# checkout of its own. By the reproducible-builds convention, an epoch that
# the caller sets wins: a decimal count of seconds since 1970.
if [ -n "${SOURCE_DATE_EPOCH:-}" ] && ! [[ $SOURCE_DATE_EPOCH =~ ^[0-9]{1,12}$ ]]; then
    fail "SOURCE_DATE_EPOCH '$SOURCE_DATE_EPOCH' is not a count of seconds since 1970 (digits only)"
fi
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

# Signing: the keys' checks now, the signing after the build.
check_signing
check_release_key

# A checkout with uncommitted changes is not the commit: its packages are
# marked, and said to be.
mark=
if $in_git && [ -n "$(git status --porcelain 2>/dev/null)" ]; then
    mark=-dirty
    echo "package.sh: the tree has uncommitted changes: the packages are marked '$mark' and are not the commit's" >&2
fi

scripts/build-windows.sh

version=$(/usr/bin/python3 build/windows/product.py VERSION)
top="quendarix-$version$mark-win64"
zip="$output/$top.zip"
msi="$output/quendarix-$version$mark-x64.msi"
sbom="$output/quendarix-$version$mark.cdx.json"
sums="$output/SHA256SUMS"
rm -f "$zip" "$msi" "$sbom" "$sums" "$sums.sig"  # a failed run leaves no package, not even an older one
folder="$stage/$top"
cmake --install build/windows --prefix "$folder" >/dev/null

if signing; then
    sign "$folder/quendarixinstall.exe"
    sign "$folder/quendarixservice.exe"
fi

# The Windows Installer package holds the same (signed) service program.
scripts/release/build-msi.sh build/windows "$folder" "$stage/$(basename "$msi")"
if signing; then
    sign "$stage/$(basename "$msi")"
fi
end_signing

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

# The SBOM: the release's files as released, what the link maps say was
# linked into each program, the toolchain, the commit.
commit=()
if $in_git; then
    commit=(--commit "$(git rev-parse HEAD)")
    [ -z "$mark" ] || commit+=(--modified)
fi
/usr/bin/python3 scripts/release/sbom.py sbom "$stage/$(basename "$sbom")" --facts build/windows/product.py \
    "${commit[@]}" \
    --maps build/windows/maps "$stage/cpack/$top.zip" "$stage/$(basename "$msi")"

mkdir -p "$output"
mv "$stage/cpack/$top.zip" "$zip"
mv "$stage/$(basename "$msi")" "$msi"
mv "$stage/$(basename "$sbom")" "$sbom"
(cd "$output" && sha256sum "$(basename "$zip")" "$(basename "$msi")" "$(basename "$sbom")" >"$stage/SHA256SUMS")
# With a release key, the list signed (SHA256SUMS.sig) and checked.
sign_sums "$stage/SHA256SUMS"
[ -z "${QUENDARIX_RELEASE_KEY:-}" ] || mv "$stage/SHA256SUMS.sig" "$sums.sig"
mv "$stage/SHA256SUMS" "$sums"
echo "$zip"
echo "$msi"
echo "$sbom"
