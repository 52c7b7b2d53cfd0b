#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
# Sourced by the other scripts; safe to run again.
set -euo pipefail

plinthex_packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev libpng-dev clang-format-14 git
    nlohmann-json3-dev)

plinthex_setup() {
    local missing=()
    local package
    for package in "${plinthex_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# Node.js and npm from Debian, and the npm clients pinned in tests/package.json
# (the glTF Validator and three.js) into tests/node_modules, for the tests
# that read glb files. Without them those tests skip, so a failure here is
# reported and the build goes on.
plinthex_node_packages=(nodejs npm)

plinthex_setup_node() {
    if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
        echo "Installing ${plinthex_node_packages[*]}"
        local sudo=""
        if [ "$(id -u)" -ne 0 ]; then
            sudo="sudo"
        fi
        if ! { $sudo apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
                "${plinthex_node_packages[@]}"; }; then
            echo "WARNING: Node.js could not be installed; the glb client tests will skip"
            return 0
        fi
    fi
    local tests="$PLINTHEX_ROOT/tests"
    if [ ! -f "$tests/node_modules/.package-lock.json" ] ||
        [ "$tests/package-lock.json" -nt "$tests/node_modules/.package-lock.json" ]; then
        echo "Installing the glb test clients (npm ci in tests/)"
        (cd "$tests" && npm ci --no-audit --no-fund --loglevel=error) ||
            echo "WARNING: npm ci failed; the glb client tests will skip"
    fi
}

# plinthex_configure <build-dir> [cmake options...]
plinthex_configure() {
    local build_dir="$1"
    shift
    cmake -S "$PLINTHEX_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}

PLINTHEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export PLINTHEX_ROOT
