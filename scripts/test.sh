#!/usr/bin/env bash
# Every test: host unit tests (ASan, UBSan), the bounded fuzz run and static
# analysis; artifact checks on the built .exe files and the release ZIP; and
# the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build-windows.sh
scripts/configure.sh host
cmake --build --preset host -j 2

ctest --preset host
ctest --preset windows
