#!/usr/bin/env bash
# Builds the release ZIP: build/package/quendarix-VERSION-win64.zip
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build-windows.sh
cpack --config build/windows/CPackConfig.cmake -B build/package
