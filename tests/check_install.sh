#!/usr/bin/env bash
# Installs the build into a scratch prefix and uses it as a newcomer would:
#   check_install.sh BUILD_DIR VERSION SANITIZE pkg-config   a C program built with pkg-config
#   check_install.sh BUILD_DIR VERSION SANITIZE cmake        a CMake project with find_package
#   check_install.sh BUILD_DIR VERSION SANITIZE tool         the installed vestrion-run
set -euo pipefail
build_dir=$1
version=$2
sanitize=$3
mode=$4
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
# A library built with sanitizers needs their runtime in the program too.
san_flags=
[ "$sanitize" = ON ] && san_flags=-fsanitize=address,undefined

case $mode in
pkg-config)
  pc_dir=$(dirname "$(find "$prefix" -name vestrion.pc)")
  flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs vestrion)
  cc -std=c11 -Wall -Wextra -Werror "$here/install/app.c" $flags $san_flags -o "$prefix/app"
  LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name libvestrion.so)") "$prefix/app"
  ;;
cmake)
  # No LD_LIBRARY_PATH: CMake gives the program a run path to the imported library.
  cmake -S "$here/install" -B "$prefix/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DWANTED_VERSION="$version" -DCMAKE_C_FLAGS="$san_flags" >/dev/null
  cmake --build "$prefix/consumer" >/dev/null
  "$prefix/consumer/app"
  ;;
tool)
  # No LD_LIBRARY_PATH either: the tool finds the library beside its own directory.
  out=$("$prefix/bin/vestrion-run" sh -c 'echo installed; exit 7') && status=0 || status=$?
  [ "$out" = installed ] && [ "$status" = 7 ] || { echo "got '$out', status $status"; exit 1; }
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
