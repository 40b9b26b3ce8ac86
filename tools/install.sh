#!/usr/bin/env bash
# Builds and installs the library, its header, vestrion.pc, the CMake package and vestrion-run
# under PREFIX (default /usr/local).
#   tools/install.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${1:-/usr/local}
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)"
cmake --install build --prefix "$prefix"
# A system prefix needs the linker cache refreshed before programs find the library.
if [ "$(id -u)" -eq 0 ] && command -v ldconfig >/dev/null; then ldconfig; fi
