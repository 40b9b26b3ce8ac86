#!/usr/bin/env bash
# Builds with optimisation and runs the benchmarks (a few minutes; --short for a quick look).
#   tools/bench.sh [--short]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESTRION_TESTS=OFF >/dev/null
cmake --build build-bench --parallel "$(nproc)" --target vestrion-bench
exec build-bench/bench/vestrion-bench "$@"
