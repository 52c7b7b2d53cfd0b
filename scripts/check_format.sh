#!/usr/bin/env bash
# Fails, naming the files, when a tracked C++ file differs from what
# clang-format makes of it. Skips when clang-format is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
formatter="$(command -v clang-format-14 || command -v clang-format || true)"
if [ -z "$formatter" ]; then
    echo "clang-format not installed; format check skipped"
    exit 0
fi
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "not a git checkout; format check skipped"
    exit 0
fi
bad=()
while IFS= read -r -d '' file; do
    [ -f "$file" ] || continue
    if ! "$formatter" --dry-run --Werror "$file" >/dev/null 2>&1; then
        bad+=("$file")
    fi
done < <(git ls-files -z -- '*.cpp' '*.h')
if [ ${#bad[@]} -ne 0 ]; then
    echo "not formatted (run: clang-format -i ${bad[*]}):"
    printf '  %s\n' "${bad[@]}"
    exit 1
fi
echo "every C++ file is formatted"
