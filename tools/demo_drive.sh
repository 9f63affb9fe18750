#!/usr/bin/env bash
# The drive-track demo: sets up a fresh Debian 12 machine, builds le_core, bakes the full
# demo avatar (1920x1080, 512 crop) if it is not there yet, and renders its
# drive track into a video a person can watch.
#
#   tools/demo_drive.sh [output-dir]      (default: out/demo)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
out=${1:-out/demo}

bash tools/setup.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLE_CORE_BUILD_TESTS=OFF -DLE_CORE_BUILD_BENCH=OFF -DLE_CORE_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/demo --target le_render le_imx

mkdir -p "$out"
# The bake skips itself when its stamp says the bundle is up to date.
/usr/bin/python3 tools/bake/bake.py --profile full --out "$out/avatar" \
  --keypoints-png "$out/keypoints.png"
build/demo/tools/le_render "$out/avatar" --out "$out/avatar.mp4"
echo "demo: watch $out/avatar.mp4"
