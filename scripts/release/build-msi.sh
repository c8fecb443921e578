#!/usr/bin/env bash
# Builds the Windows Installer package from a folder holding
# quendarixservice.exe, README.txt and THIRD-PARTY-NOTICES.txt (the
# installer tool is the ZIP's alone), with the product's facts (its version
# and product code among them) of the Windows build tree that built them
# (BUILD/product.py):
#   scripts/release/build-msi.sh BUILD FOLDER OUTPUT.msi
# Byte for byte the same from the same files, facts and SOURCE_DATE_EPOCH
# (the commit's time; required): file and summary times are that time, the
# package code is derived from the package's inputs. wixl writes the clock and a random package code; faketime
# and msibuild fix both. wixl leaves the File table's versions empty (so
# Windows Installer would take the programs as unversioned files); msibuild
# writes each program's own file version and language there, and drops their
# file hashes, which are only for unversioned files.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: scripts/release/build-msi.sh BUILD FOLDER OUTPUT.msi" >&2; exit 2; }
root=$(cd "$(dirname "$0")/../.." && pwd -P)
build=$1 folder=$2 output=$3
facts() { /usr/bin/python3 "$build/product.py" "$@"; }
version=$(facts VERSION)
defines=()
while IFS= read -r define; do defines+=(-D "$define"); done < <(facts wixl)
: "${SOURCE_DATE_EPOCH:?build-msi.sh: SOURCE_DATE_EPOCH is not set}"
files=(quendarixservice.exe README.txt THIRD-PARTY-NOTICES.txt)

stage=$(mktemp -d -t quendarix-msi-XXXXXX)
trap 'rm -rf "$stage"' EXIT
# wixl takes the files from its working directory.
mkdir "$stage/files"
for name in "${files[@]}"; do
    cp -- "$folder/$name" "$stage/files/$name"
done
cp "$root/packaging/quendarix.wxs" "$stage/files/"
# The cabinet keeps the files' times.
touch -d "@$SOURCE_DATE_EPOCH" "$stage/files"/*

# Name-based (SHA-1) GUIDs in a namespace of this product's own.
guid() { /usr/bin/python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.UUID("5f0b7c1e-8d2a-4e63-9b4f-a1c3e5d7f9b2"), sys.argv[1]))' "$1"; }
package_code=$(guid "package $version $(cd "$stage/files" && sha256sum "${files[@]}" | sha256sum) $(sha256sum <"$stage/files/quendarix.wxs")")

at=(faketime -f "$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')")
(cd "$stage/files" && TZ=UTC "${at[@]}" wixl -a x64 "${defines[@]}" -o "$stage/package.msi" quendarix.wxs)
# "1.0.0.0" from a program's version resource; nothing for a file without one.
file_version() {
    /usr/bin/python3 - "$1" <<'PYTHON'
import sys
import pefile
try:
    info = pefile.PE(sys.argv[1]).VS_FIXEDFILEINFO[0]
except (pefile.PEFormatError, AttributeError, IndexError):
    sys.exit(0)
print(f"{info.FileVersionMS >> 16}.{info.FileVersionMS & 0xffff}.{info.FileVersionLS >> 16}.{info.FileVersionLS & 0xffff}")
PYTHON
}
for name in quendarixservice.exe; do
    file_version=$(file_version "$stage/files/$name")
    if [ -n "$file_version" ]; then
        TZ=UTC "${at[@]}" msibuild "$stage/package.msi" \
            -q "UPDATE \`File\` SET \`Version\` = '$file_version', \`Language\` = '1033' WHERE \`File\` = '$name'" \
            -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$name'"  # hashes are for unversioned files
    fi
done
# A _Validation table, as the Windows Installer documentation describes each
# table's columns (packaging/_Validation.idt): wixl writes none, and ICE
# validation without one proves nothing.
TZ=UTC "${at[@]}" msibuild "$stage/package.msi" -i "$root/packaging/_Validation.idt"
# The service is vital: a failed installation of it rolls the whole package
# back (msidbServiceInstallErrorControlVital, 0x8000, over the normal error
# control, 1). wixl drops the Vital attribute.
TZ=UTC "${at[@]}" msibuild "$stage/package.msi" -q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32769"
TZ=UTC "${at[@]}" msibuild "$stage/package.msi" -s "$(facts PRODUCT) service" "$(facts COMPANY)" "x64;1033" \
    "{${package_code^^}}"
mv "$stage/package.msi" "$output"
