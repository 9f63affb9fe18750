#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds a host program
# against it twice: through find_package(le_core) and through pkg-config.
set -euo pipefail
build_dir=$1
src_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$src_dir/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n1)
export PKG_CONFIG_PATH="$libdir"
cc -o "$work/pc_consumer" "$src_dir/consumer/main.c" $(pkg-config --cflags --libs le_core) \
   -Wl,-rpath,"$(dirname "$libdir")"
"$work/pc_consumer"
