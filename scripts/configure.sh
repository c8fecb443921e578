#!/usr/bin/env bash
# Configures the build tree of a CMake preset (build/PRESET). A tree that was
# configured for this checkout at another path (it was moved or copied) is
# made anew, instead of CMake's refusal.
# Usage: scripts/configure.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
cache="build/$preset/CMakeCache.txt"
if [ -f "$cache" ]; then
    configured_for=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")
    if [ "$(realpath -m -- "$configured_for")" != "$(pwd -P)" ]; then
        echo "configure.sh: build/$preset was configured for $configured_for; configuring it anew here" >&2
        rm -rf -- "build/$preset"
    fi
fi
cmake --preset "$preset" >/dev/null
