#!/usr/bin/env bash
# Sets up, builds and runs every test.
#   PLINTHEX_BUILD_DIR   build folder (default: build)
#   PLINTHEX_CMAKE_ARGS  extra CMake options, e.g. "-DPLINTHEX_WERROR=ON"
set -euo pipefail
source "$(dirname "$0")/setup.sh"
plinthex_setup
plinthex_setup_node

build_dir="${PLINTHEX_BUILD_DIR:-$PLINTHEX_ROOT/build}"
# shellcheck disable=SC2086
plinthex_configure "$build_dir" -DBUILD_TESTING=ON ${PLINTHEX_CMAKE_ARGS:-}
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure
