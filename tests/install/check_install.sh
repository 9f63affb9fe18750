#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds a host program
# against it twice: through find_package(le_core) and through pkg-config.
# A cross build passes its toolchain: LE_CONSUMER_TOOLCHAIN (CMake toolchain
# file), LE_CONSUMER_CC (C compiler), LE_CONSUMER_LDFLAGS (extra link flags)
# and LE_CONSUMER_RUN (the emulator command that runs the programs).
set -euo pipefail
build_dir=$1
src_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cross=()
if [ -n "${LE_CONSUMER_TOOLCHAIN:-}" ]; then cross=(-DCMAKE_TOOLCHAIN_FILE="$LE_CONSUMER_TOOLCHAIN"); fi
ldflags=${LE_CONSUMER_LDFLAGS:-}
read -r -a run <<< "${LE_CONSUMER_RUN:-}"

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$src_dir/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  "${cross[@]}" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$work/consumer" >/dev/null
"${run[@]}" "$work/consumer/consumer"

# Either layout may be absent; ls failing on the other must not end the script.
libdir=$( (ls -d "$work"/prefix/lib*/pkgconfig "$work"/prefix/lib/*/pkgconfig 2>/dev/null || true) | head -n1)
export PKG_CONFIG_PATH="$libdir"
# shellcheck disable=SC2086 # the flags are separate words
"${LE_CONSUMER_CC:-cc}" -o "$work/pc_consumer" "$src_dir/consumer/main.c" $(pkg-config --cflags --libs le_core) \
   -Wl,-rpath,"$(dirname "$libdir")" $ldflags
"${run[@]}" "$work/pc_consumer"
