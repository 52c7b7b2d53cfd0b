#!/usr/bin/env bash
# Builds the libFuzzer target with clang (installing clang and its runtime
# when missing) and fuzzes the whole conversion in one background-friendly
# job. Findings go to fuzz-out/; keep each one as fuzz/regressions/<name>
# once it is fixed.
#   fuzz/run.sh [seconds] [extra libFuzzer options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-600}"
shift || true

if ! command -v clang++ >/dev/null || ! dpkg-query -W libclang-rt-14-dev >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang libclang-rt-14-dev
fi

build="$root/build-fuzz"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPLINTHEX_FUZZ=ON \
    -DBUILD_TESTING=OFF -DPLINTHEX_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target plinthex_fuzzer

out="$root/fuzz-out"
mkdir -p "$out/corpus" "$out/artifacts"
cp -n "$root"/fuzz/seeds/* "$root"/fuzz/regressions/* "$out/corpus/" 2>/dev/null || true
# With -jobs=N the workers' logs (fuzz-N.log) go to the working folder: keep
# them in the output folder, out of the source tree.
cd "$out"
"$build/fuzz/plinthex_fuzzer" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -dict="$root/fuzz/plinthex.dict" -artifact_prefix="$out/artifacts/" "$@" "$out/corpus"
