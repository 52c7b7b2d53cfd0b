#!/usr/bin/env bash
# Sets up, builds plinthex and converts the bundled example model.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
plinthex_setup

build_dir="${PLINTHEX_BUILD_DIR:-$PLINTHEX_ROOT/build}"
plinthex_configure "$build_dir"
cmake --build "$build_dir" -j "$(nproc)" --target plinthex
