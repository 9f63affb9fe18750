#!/usr/bin/env bash
# le_render over the tiny demo bundle: a range of the drive track to an MP4
# and PNG frames; the video must hold every frame at 25 fps.
set -euo pipefail
le_render=$1
bundle=$2
# Under the sanitizers, what happens inside ONNX Runtime and FFmpeg is not ours.
support=$(cd "$(dirname "$0")/../support" && pwd)
export LSAN_OPTIONS="suppressions=$support/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export TSAN_OPTIONS="suppressions=$support/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$le_render" "$bundle" --out "$work/clip.mp4" --png-dir "$work/png" --first 2 --count 5 --quiet \
  > "$work/summary.txt" 2> "$work/log.txt"
grep -q '^le_render: 5 frames of 320x240 (drive 2 ... 6) in ' "$work/summary.txt"
grep -q 'ms/frame (render ' "$work/summary.txt"
frames=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames,r_frame_rate,codec_name,pix_fmt -of csv=p=0 "$work/clip.mp4")
[ "$frames" = "h264,yuv420p,25/1,5" ] || { echo "unexpected video: $frames"; exit 1; }
[ "$(ls "$work/png" | wc -l)" = 5 ] && [ -f "$work/png/frame_000006.png" ]

# A bad bundle is refused with the library's message and a failure status.
if "$le_render" "$work/missing" --out "$work/x.mp4" --quiet 2> "$work/err.txt"; then exit 1; fi
grep -q "le_render: le_create: cannot open $work/missing/manifest.json" "$work/err.txt"
echo "le_render: ok"
