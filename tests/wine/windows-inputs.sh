#!/usr/bin/env bash
# Stages what the end-to-end suites need on a Windows machine, from this
# checkout's Windows build (scripts/build-windows.sh) and release
# (scripts/package.sh, in build/package), into OUTPUT_DIR:
#   bin/            the programs and the test launchers
#   package/        README.txt and THIRD-PARTY-NOTICES.txt, as packaged
#   test-packages/  the MSI suite's new.msi, old.msi and broken.msi
#   release/        the release itself
#   product.py      the product's facts, which the suites import
#   said.py         the installer's lines and exit codes, which they import too
# Usage: tests/wine/windows-inputs.sh OUTPUT_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: tests/wine/windows-inputs.sh OUTPUT_DIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/../.." && pwd -P)
output=$(realpath -m -- "$1")
build="$root/build/windows"
[ -f "$build/product.py" ] || { echo "windows-inputs.sh: no Windows build in $build: run scripts/build-windows.sh" >&2; exit 1; }

rm -rf "$output"
mkdir -p "$output/bin" "$output/package" "$output/release"
cp "$build"/bin/{quendarixinstall,quendarixservice,elevated_launch,limited_launch}.exe "$output/bin/"
cp "$build"/package/{README.txt,THIRD-PARTY-NOTICES.txt} "$output/package/"
cp "$root"/build/package/* "$output/release/"
cp "$build/product.py" "$build/said.py" "$output/"
QUENDARIX_PROGRAMS="$build/bin" QUENDARIX_SOURCE_DIR="$root" PYTHONPATH="$build" \
    /usr/bin/python3 "$root/tests/wine/test_package.py" --make-packages "$output/test-packages"
