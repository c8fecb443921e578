#!/usr/bin/env bash
# Installs what building needs, when missing, and builds the Windows programs
# into build/windows/bin.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
scripts/configure.sh windows
cmake --build --preset windows -j 2
