#!/usr/bin/env bash
# Installs what the build needs (Debian packages, as root), builds, and runs the tests.
#   tools/test.sh              the normal build in build/
#   tools/test.sh --sanitize   AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
# VESTRION_JOBS limits the build's and the tests' parallelism on a shared machine (default: every core).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
cmake_args=()
if [ "${1:-}" = "--sanitize" ]; then
  build_dir=build-asan
  cmake_args+=(-DVESTRION_SANITIZE=ON)
fi

tools/install-deps.sh

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}"
jobs="${VESTRION_JOBS:-$(nproc)}"
cmake --build "$build_dir" --parallel "$jobs"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$jobs" --timeout 300
