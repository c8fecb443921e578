#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the product's code.
# Usage: scripts/static-analysis.sh HOST_BUILD_DIR (with compile_commands.json)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
host_build=$(realpath -m -- "${1:-$root/build/host}")  # relative to the caller's directory
cd "$root"

# Drops clang-tidy's count of the warnings it suppressed in system headers.
quiet() { grep -v "warnings generated\.$" || true; }

echo "clang-tidy: installer, against the host stand-in windows.h"
clang-tidy --quiet -p "$host_build" windows/installer/*.cpp windows/registration/*.cpp 2>&1 | quiet

echo "clang-tidy: the Windows-only opens, the service and the test launcher, against the MinGW-w64 headers"
mingw_includes=()
while read -r directory; do
    mingw_includes+=(-isystem "$directory")
done < <(x86_64-w64-mingw32-g++ -xc++ -E -v - </dev/null 2>&1 |
         sed -n '/#include <...> search starts here:/,/End of search list./p' | sed '1d;$d' |
         grep -vE '/lib/gcc/[^ ]*/include(-fixed)?$')  # clang brings its own intrinsics
clang-tidy --quiet windows/installer/install_log.cpp windows/installer/report.cpp windows/installer/locate.cpp windows/registration/replaceable.cpp windows/service/service.cpp tests/wine/launch.cpp -- \
    --target=x86_64-w64-mingw32 -std=c++17 -nostdinc++ "${mingw_includes[@]}" -I "$host_build/generated" 2>&1 | quiet

echo "cppcheck"
# Every branch, where cppcheck can be asked to (2.11 and later).
exhaustive=()
cppcheck --help | grep -q -- "--check-level" && exhaustive=(--check-level=exhaustive)
cppcheck "${exhaustive[@]}" --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
    --std=c++17 --quiet -I windows/installer -I windows/registration -I "$host_build/generated" windows \
    tests/wine/launch.cpp

echo "static analysis: clean"
