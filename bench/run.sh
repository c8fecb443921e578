#!/usr/bin/env bash
# Benchmarks (timed by hyperfine) and soak under Wine. Options go to bench.py
# (--runs, --cycles).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build-windows.sh
PYTHONPATH="$PWD/build/windows" QUENDARIX_PROGRAMS="$PWD/build/windows/bin" exec /usr/bin/python3 bench/bench.py "$@"
