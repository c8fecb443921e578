#!/usr/bin/env bash
# Validates the Windows end-to-end workflow against GitHub's workflow schema
# with action-validator (npm registry), installed once into CACHE_DIR.
# Usage: tests/wine/check_workflow.sh CACHE_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd -P)
cache=$1
validator="$cache/node_modules/.bin/action-validator"
[ -x "$validator" ] ||
    npm install --no-audit --no-fund --silent --prefix "$cache" @action-validator/cli@0.6.0 @action-validator/core@0.6.0
for workflow in "$root"/.github/workflows/*.yml; do
    "$validator" "$workflow"
    echo "valid: ${workflow#"$root"/}"
done
