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
# Usage: scripts/release/verify.sh RELEASE_FOLDER
# Exit codes: 0 every file reproduced; 1 a file differs (or the release's own
# checksums do not match); 2 the release cannot be checked here (no SBOM, no
# commit, a commit missing from this checkout's history, a failed rebuild).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd -P)
[ $# -eq 1 ] || { echo "usage: scripts/release/verify.sh RELEASE_FOLDER" >&2; exit 2; }
release=$(realpath -m -- "$1")

cannot() {
    echo "verify.sh: $*" >&2
    exit 2
}

[ -d "$release" ] || cannot "'$release' is not a folder"
shopt -s nullglob
sboms=("$release"/*.cdx.json)
shopt -u nullglob
[ ${#sboms[@]} -eq 1 ] || cannot "'$release' holds ${#sboms[@]} SBOMs (*.cdx.json), not one: is it a release folder?"
sbom=${sboms[0]}
"$root/scripts/install-deps.sh"

if [ -f "$release/SHA256SUMS" ] && ! (cd "$release" && sha256sum --check --strict --quiet SHA256SUMS); then
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

git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null ||
    cannot "commit $commit is not in the history of $root: fetch it (git fetch) and run again"
echo "Rebuilding from this checkout's history ($root)..."

work=$(mktemp -d -t quendarix-verify-XXXXXX)
trap 'rm -rf "$work"' EXIT
git clone --quiet --no-checkout "$root" "$work/source"
git -C "$work/source" -c advice.detachedHead=false checkout --quiet "$commit"

# The release's signatures, to be attached to the rebuilt files.
mkdir "$work/released" "$work/signatures"
signed=()
for zip in "$release"/*.zip; do [ ! -f "$zip" ] || unzip -q "$zip" -d "$work/released"; done
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
