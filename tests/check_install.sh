#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C program with pkg-config against it.
set -euo pipefail
build_dir=$1
source=$2
sanitize=${3:-OFF}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
pc_dir=$(dirname "$(find "$prefix" -name vestrion.pc)")
flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs vestrion)
# A library built with sanitizers needs their runtime in the program too.
extra=()
[ "$sanitize" = ON ] && extra=(-fsanitize=address,undefined)
cc -std=c11 -Wall -Wextra -Werror "$source" $flags "${extra[@]}" -o "$prefix/install_check"
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name libvestrion.so)") "$prefix/install_check"
