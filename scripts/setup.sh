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

# plinthex_configure <build-dir> [cmake options...]
plinthex_configure() {
    local build_dir="$1"
    shift
    cmake -S "$PLINTHEX_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}

PLINTHEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export PLINTHEX_ROOT
