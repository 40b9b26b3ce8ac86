#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the example: with no arguments a short
# demonstration, else the given command in a sandbox.
#   tools/example.sh [COMMAND [ARGS...]]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)" --target vestrion-run
exec build/examples/vestrion-run "$@"
