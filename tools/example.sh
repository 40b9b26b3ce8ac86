#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the example tool vestrion-run: with no
# arguments a short demonstration, else the given command in a sandbox.
#   tools/example.sh [COMMAND [ARGS...]]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)" --target vestrion-run
[ $# -gt 0 ] && exec build/examples/vestrion-run "$@"

show() {
  local line='$ vestrion-run' arg
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_./=-]+$ ]]; then line+=" $arg"; else line+=" '$arg'"; fi
  done
  echo "$line"
  local status=0
  build/examples/vestrion-run "$@" || status=$?
  printf '(exit status %d)\n\n' "$status"
}
echo "What vestrion-run grants a command:"
build/examples/vestrion-run 2>&1 | tail -n +2 || true
echo
show sh -c 'echo hello from the sandbox; echo scratch > note.txt && cat note.txt'
show sh -c 'echo x > /etc/vestrion-demo'
show unshare --user true
show sh -c 'exit 3'
