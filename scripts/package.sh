#!/usr/bin/env bash
# Builds the release ZIP: build/package/quendarix-VERSION-win64.zip
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j 2
cpack --config build/windows/CPackConfig.cmake -B build/package
