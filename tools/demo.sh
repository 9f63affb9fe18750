#!/usr/bin/env bash
# The demo: sets up a fresh Debian 12 machine, builds le_core, bakes the full
# demo avatar (1920x1080, 512 crop) if it is not there yet, synthesises a few
# sentences with espeak-ng and has the avatar speak them through a live
# utterance session (le_speak) with teeth borrowed into the open mouth, into a
# video with its sound.
#
#   tools/demo.sh [output-dir]           talk.mp4 (default dir: out/demo)
#   tools/demo.sh --drive [output-dir]   avatar.mp4: the bundle's scripted drive track instead
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
drive=0
if [ "${1:-}" = "--drive" ]; then drive=1; shift; fi
out=${1:-out/demo}

bash tools/setup.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLE_CORE_BUILD_TESTS=OFF -DLE_CORE_BUILD_BENCH=OFF -DLE_CORE_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/demo --target le_speak le_render le_imx

mkdir -p "$out"
# The bake skips itself when its stamp says the bundle is up to date.
/usr/bin/python3 tools/bake/bake.py --profile full --tessera --out "$out/avatar" \
  --keypoints-png "$out/keypoints.png"
if [ "$drive" = 1 ]; then
  build/demo/tools/le_render "$out/avatar" --out "$out/avatar.mp4"
  echo "demo: watch $out/avatar.mp4"
  exit 0
fi
espeak-ng -v en-us -s 150 -g 6 -w "$out/speech.wav" \
  "Hello! I am a talking head, drawn by a program. My lips follow the words you hear. When I stop speaking, I rest until the next sentence."
build/demo/tools/le_speak "$out/avatar" --audio "$out/speech.wav" --out "$out/talk.mp4" --teeth
echo "demo: watch $out/talk.mp4"
