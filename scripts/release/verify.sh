#!/usr/bin/env bash
# Checks a release by rebuilding it: reads the commit and the toolchain from
# the release's SBOM, says which tools here differ from the recorded ones (a
# warning: other versions may give other bytes), rebuilds that commit in a
# temporary clone of this checkout with scripts/package.sh, and compares
# every file. A signed release is rebuilt with its own signatures attached
# (osslsigncode extract-signature, attach-signature): the bytes around them
# must be the rebuild's. Prints "reproduced", or for each file that differs
# its name and diffoscope's summary.
#
# With --publisher, first who signed: every signed file of the release (both
# programs in the ZIP, the MSI) must carry an intact signature made by the
# certificate whose SHA-256 fingerprint is given (of its DER, as
# `openssl x509 -noout -fingerprint -sha256` prints it; any case, colons
# allowed); else one line for each file that is not, and exit code 1.
#
# Usage: scripts/release/verify.sh [--publisher SHA256] RELEASE_FOLDER
# Exit codes: 0 every file reproduced; 1 a file differs, the release's own
# checksums do not match, or a file is not signed by the publisher; 2 the
# release cannot be checked here (no SBOM or SHA256SUMS, no commit, a commit
# missing from this checkout's history, a failed rebuild).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd -P)
usage() {
    echo "usage: scripts/release/verify.sh [--publisher SHA256] RELEASE_FOLDER" >&2
    exit 2
}
publisher=
if [ "${1-}" = --publisher ]; then
    [ $# -ge 2 ] || usage
    publisher=$(tr -d ':' <<<"$2" | tr 'A-F' 'a-f')
    [[ "$publisher" =~ ^[0-9a-f]{64}$ ]] ||
        { echo "verify.sh: '$2' is not a SHA-256 fingerprint (64 hex digits, colons allowed)" >&2; exit 2; }
    shift 2
fi
[ $# -eq 1 ] || usage
release=$(realpath -m -- "$1")

cannot() {
    echo "verify.sh: $*" >&2
    exit 2
}
# AB:CD:... as openssl prints a fingerprint.
colons() { tr 'a-f' 'A-F' <<<"$1" | sed 's/../&:/g; s/:$//'; }

[ -d "$release" ] || cannot "'$release' is not a folder"
shopt -s nullglob
sboms=("$release"/*.cdx.json)
shopt -u nullglob
[ ${#sboms[@]} -eq 1 ] || cannot "'$release' holds ${#sboms[@]} SBOMs (*.cdx.json), not one: is it a release folder?"
sbom=${sboms[0]}
"$root/scripts/install-deps.sh"

[ -f "$release/SHA256SUMS" ] || cannot "'$release' holds no SHA256SUMS: is it a whole release folder?"
if ! (cd "$release" && sha256sum --check --strict --quiet SHA256SUMS); then
    echo "verify.sh: the release's files do not match its SHA256SUMS"
    exit 1
fi
commit=$(/usr/bin/python3 "$root/scripts/release/sbom.py" commit "$sbom") || exit 2
echo "Release: $(basename "$sbom" .cdx.json), commit $commit"

differing=$(/usr/bin/python3 "$root/scripts/release/sbom.py" toolchain "$sbom")
if [ -n "$differing" ]; then
    echo "Warning: these tools differ from the ones that built the release, and may give other bytes:"
    sed 's/^/  /' <<<"$differing"
else
    echo "The tools here are the ones that built the release."
fi

work=$(mktemp -d -t quendarix-verify-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/released" "$work/signatures"
for zip in "$release"/*.zip; do [ ! -f "$zip" ] || unzip -q "$zip" -d "$work/released"; done

# Who signed: the publisher's certificate, on every signed file.
if [ -n "$publisher" ]; then
    others=0 checked=0
    for file in "$work"/released/*/*.exe "$release"/*.msi; do
        [ -f "$file" ] || continue
        checked=$((checked + 1))
        name=${file#"$work/released/"}
        name=${name#"$release/"}
        if ! signer=$(/usr/bin/python3 "$root/scripts/release/authenticode.py" signer "$file"); then
            if [ "$signer" = "not signed" ]; then
                echo "not signed: $name"
            else
                echo "signature does not verify: $name ($signer)"
            fi
            others=1
        elif [ "$signer" != "$publisher" ]; then
            echo "signed by another certificate: $name ($(colons "$signer"))"
            others=1
        fi
    done
    [ $checked -gt 0 ] || { echo "not signed: the release holds no program and no MSI"; others=1; }
    [ $others -eq 0 ] || exit 1
    echo "Signed by the publisher's certificate ($(colons "$publisher")): every program and the MSI."
fi

git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null ||
    cannot "commit $commit is not in the history of $root: fetch it (git fetch) and run again"
echo "Rebuilding from this checkout's history ($root)..."

git clone --quiet --no-checkout "$root" "$work/source"
git -C "$work/source" -c advice.detachedHead=false checkout --quiet "$commit"

# The release's signatures, to be attached to the rebuilt files.
signed=()
for file in "$work"/released/*/*.exe "$release"/*.msi; do
    [ -f "$file" ] || continue
    if osslsigncode extract-signature -in "$file" -out "$work/signatures/$(basename "$file").sig" >/dev/null 2>&1; then
        signed+=("$(basename "$file")")
    fi
done
attach=()
if [ ${#signed[@]} -gt 0 ]; then
    echo "Signed: ${signed[*]}; their signatures are attached to the rebuilt files."
    attach=(QUENDARIX_SIGNATURES_FROM="$work/signatures")
fi

# The rebuild signs with no key of this machine's and takes the commit's time.
unset_settings=(-u SOURCE_DATE_EPOCH)
for variable in $(compgen -e QUENDARIX_SIGNING_ || true); do unset_settings+=(-u "$variable"); done
if ! env "${unset_settings[@]}" "${attach[@]}" \
        bash "$work/source/scripts/package.sh" "$work/rebuilt" >"$work/rebuild.log" 2>&1; then
    tail -n 20 "$work/rebuild.log" >&2
    cannot "rebuilding commit $commit failed"
fi

status=0
for file in "$release"/* "$work"/rebuilt/*; do
    name=$(basename "$file")
    [ "$file" = "$release/$name" ] || [ ! -e "$release/$name" ] || continue  # each name once
    if [ ! -e "$release/$name" ]; then
        echo "differs: $name: the rebuild makes it, the release lacks it"
        status=1
    elif [ ! -e "$work/rebuilt/$name" ]; then
        echo "differs: $name: in the release, not made by the rebuild"
        status=1
    elif cmp -s "$file" "$work/rebuilt/$name"; then
        echo "reproduced: $name"
    else
        echo "differs: $name"
        # diffoscope's report in short: the files and sections inside that
        # differ, or for a plain file its first changed lines.
        diffoscope --no-progress --text "$work/diffoscope.txt" "$file" "$work/rebuilt/$name" >/dev/null 2>&1 || true
        { grep -E '^(│ )*├── ' "$work/diffoscope.txt" ||
          grep -E '^(│ )*[-+][^-+]' "$work/diffoscope.txt"; } | head -n 12 | sed 's/^/  /'
        status=1
    fi
done
if [ $status -eq 0 ]; then
    echo "reproduced"
else
    echo "not reproduced"
fi
exit $status
