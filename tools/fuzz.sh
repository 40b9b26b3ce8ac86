#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each on its seed corpus for a few seconds.
#   tools/fuzz.sh [SECONDS]    seconds per target (default 5)
# VESTRION_JOBS limits the build's parallelism on a shared machine (default: every core).
# The fuzzed sources are compiled into each target with clang, instrumented; the rest of the
# library is linked from the GCC build in build/ (tools/test.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}

tools/install-deps.sh
cxx=clang++-19
if [ ! -d build/core ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build --parallel "${VESTRION_JOBS:-$(nproc)}" --target vestrion_core
objects=build/core/CMakeFiles/vestrion_core.dir
out=build-fuzz
mkdir -p "$out"
flags=(-std=c++23 -O1 -g -I. -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Wall -Wextra -Werror)

# target: the fuzz source, then the library sources it fuzzes (instrumented here).
build_target() {
  local target=$1
  shift
  local others=()
  local object
  for object in $(find "$objects" -name '*.o' | sort); do
    local keep=1 source
    for source in "$@"; do
      [[ $object == "$objects/${source#core/}.o" ]] && keep=0
    done
    [ $keep = 1 ] && others+=("$object")
  done
  "$cxx" "${flags[@]}" "fuzz/$target.cpp" "$@" "${others[@]}" -lpthread -o "$out/$target"
}

build_target policy_decoder core/checkpoint/policy_codec.cpp
build_target checkpoint_dir core/checkpoint/directory.cpp core/checkpoint/json.cpp core/checkpoint/policy_codec.cpp
build_target proc_texts core/sys/proc.cpp core/child_rights.cpp core/text.cpp
build_target dirents core/procfs.cpp
build_target sockaddr core/network.cpp
build_target split_names ffi/convert.cpp
build_target filter_program core/context/filter_lists.cpp core/seccomp/bpf.cpp tests/bpf_interpreter.cpp
build_target control_data core/network.cpp core/agent.cpp
build_target policy_events core/seccomp/policy_event.cpp core/text.cpp
build_target metadata_args core/seccomp/metadata.cpp

status=0
for target in policy_decoder checkpoint_dir proc_texts dirents sockaddr split_names filter_program \
              control_data policy_events metadata_args; do
  corpus=$(mktemp -d)
  cp fuzz/corpus/$target/* "$corpus"/ 2>/dev/null || true
  echo "fuzzing $target for ${seconds}s"
  if ! "$out/$target" -max_total_time="$seconds" -seed=1 -print_final_stats=1 "$corpus" \
       > "$out/$target.log" 2>&1; then
    tail -n 40 "$out/$target.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$out/$target.log" || true
  fi
  rm -rf "$corpus"
done
exit $status
