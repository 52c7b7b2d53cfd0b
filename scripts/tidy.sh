#!/usr/bin/env bash
# Checks every C++ file of the project with clang-tidy (.clang-tidy at the
# top), from the compile commands of a build folder, and fails on any
# finding. Installs clang-tidy 15 when no clang-tidy of 15 or later is there.
#   PLINTHEX_BUILD_DIR  build folder to take compile_commands.json from
#                       (default: build-tidy, configured here)
#   PLINTHEX_TIDY_JOBS  files checked at once (default: the number of cores)
#   arguments           only the files whose path matches one of these
#                       regular expressions, e.g. scripts/tidy.sh clean/
set -euo pipefail
source "$(dirname "$0")/setup.sh"
plinthex_setup

tidy_runner=""
for version in 19 18 17 16 15; do
    if command -v "run-clang-tidy-$version" >/dev/null; then
        tidy_runner="run-clang-tidy-$version"
        tidy="clang-tidy-$version"
        break
    fi
done
if [ -z "$tidy_runner" ]; then
    plinthex_packages=(clang-tidy-15)
    plinthex_setup
    tidy_runner="run-clang-tidy-15"
    tidy="clang-tidy-15"
fi

build_dir="${PLINTHEX_BUILD_DIR:-$PLINTHEX_ROOT/build-tidy}"
if [ ! -f "$build_dir/compile_commands.json" ]; then
    plinthex_configure "$build_dir" -DBUILD_TESTING=ON
fi

files=("$PLINTHEX_ROOT/(app|bench|clean|fuzz|geometry|model|output|reader|tests)/")
if [ $# -gt 0 ]; then
    files=("$@")
fi
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
status=0
"$tidy_runner" -clang-tidy-binary "$(command -v "$tidy")" -p "$build_dir" \
    -j "${PLINTHEX_TIDY_JOBS:-$(nproc)}" -quiet "${files[@]}" >"$log" 2>&1 || status=$?
# Only the findings, each once (a header's are seen from every file that
# includes it).
findings="$(grep -E '^/.*: (warning|error): ' "$log" | sort -u || true)"
if [ -n "$findings" ] || [ $status -ne 0 ]; then
    if [ -n "$findings" ]; then
        printf '%s\n' "$findings"
    else
        cat "$log"
    fi
    echo "clang-tidy: $(printf '%s' "$findings" | grep -c . || true) findings"
    exit 1
fi
echo "clang-tidy: no findings"
