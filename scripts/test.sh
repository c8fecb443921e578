#!/usr/bin/env bash
# Every test: host unit tests (ASan, UBSan), artifact checks on the built
# .exe files, and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset windows >/dev/null
cmake --build --preset windows -j 2
cmake --preset host >/dev/null
cmake --build --preset host -j 2

ctest --preset host
ctest --preset windows
