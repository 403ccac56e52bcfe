#!/bin/bash
# Formatting and static analysis of the product code.
set -euo pipefail
cd "$(dirname "$0")/.."

files=$(git ls-files '*.cpp' '*.h' '*.c')
clang-format --dry-run --Werror $files

cmake --preset host >/dev/null
status=0
output=$(clang-tidy --quiet -p build/host src/*.cpp 2>&1) || status=$?
grep -v 'warnings\? generated' <<<"$output" || true
[ "$status" -eq 0 ] || { echo "lint: clang-tidy found problems" >&2; exit 1; }
echo "lint: clean"
