#!/usr/bin/env bash
# Sets up, builds plinthex and converts the bundled example model:
# examples/house.ldr with the small library in examples/ becomes house.txt in
# the current folder, and the statistics are printed.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
plinthex_setup

build_dir="${PLINTHEX_BUILD_DIR:-$PLINTHEX_ROOT/build}"
plinthex_configure "$build_dir"
cmake --build "$build_dir" -j "$(nproc)" --target plinthex

# Paths relative to the current folder keep the messages short.
examples="$(realpath --relative-to="$PWD" "$PLINTHEX_ROOT/examples")"
"$build_dir/app/plinthex" "$examples" "$examples/house.ldr"
