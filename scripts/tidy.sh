#!/usr/bin/env bash
# Checks every C++ file of the project with clang-tidy (.clang-tidy at the
# top), from the compile commands of a build folder, and fails on any
# finding. Installs clang-tidy 15 when no clang-tidy of 15 or later is there.
#   PLINTHEX_BUILD_DIR  build folder to take compile_commands.json from
#                       (default: build-tidy, configured here with the tests
#                       and benchmarks)
#   PLINTHEX_TIDY_JOBS  files checked at once (default: the number of cores)
#   arguments           only the files whose path matches one of these
#                       regular expressions, e.g. scripts/tidy.sh clean/;
#                       without any, every folder: the program, tests/,
#                       bench/ and fuzz/ (tests/.clang-tidy adjusts the
#                       checks for the tests)
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

folders="app|bench|clean|fuzz|geometry|model|output|reader|tests"
if [ -n "${PLINTHEX_BUILD_DIR:-}" ]; then
    build_dir="$PLINTHEX_BUILD_DIR"
    if [ ! -f "$build_dir/compile_commands.json" ]; then
        plinthex_configure "$build_dir" -DBUILD_TESTING=ON -DPLINTHEX_BENCHMARKS=ON
    fi
else
    # Configured every time (a second or two), so that new files are in.
    build_dir="$PLINTHEX_ROOT/build-tidy"
    plinthex_configure "$build_dir" -DBUILD_TESTING=ON -DPLINTHEX_BENCHMARKS=ON
fi

# Every tracked source file must be in the compile commands, or it would go
# unchecked without a word (tests or benchmarks not configured, say).
unlisted="$(cd "$PLINTHEX_ROOT" && { git ls-files -- '*.cpp' 2>/dev/null || true; } |
    { grep -E "^($folders)/" || true; } | while read -r file; do
        grep -qF "\"file\": \"$PLINTHEX_ROOT/$file\"" "$build_dir/compile_commands.json" ||
            echo "$file"
    done)"
if [ -n "$unlisted" ]; then
    printf '%s\n' "$unlisted"
    echo "clang-tidy: these files are not in $build_dir/compile_commands.json" \
        "(configure with -DBUILD_TESTING=ON -DPLINTHEX_BENCHMARKS=ON)" >&2
    exit 1
fi

files=("$PLINTHEX_ROOT/($folders)/")
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
    per_folder="$(printf '%s\n' "$findings" | grep -oE "^$PLINTHEX_ROOT/[^/]+/" |
        sed "s|^$PLINTHEX_ROOT/||" | sort | uniq -c | awk '{printf " %s %d", $2, $1}' || true)"
    echo "clang-tidy: $(printf '%s' "$findings" | grep -c . || true) findings${per_folder:+ (by folder:$per_folder)}"
    exit 1
fi
echo "clang-tidy: no findings"
