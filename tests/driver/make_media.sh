#!/usr/bin/env bash
# Encodes the driver tests' media with the ffmpeg CLI from the pattern
# generator's raw frames. Usage: make_media.sh <driver_media_gen> <out dir>
set -euo pipefail
gen=$1
out=$2
mkdir -p "$out"
tmp=$(mktemp -d "$out/.make.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
# raw <pattern> <layout> W H frames, then the ffmpeg output options
raw() {
  local pat=$1 layout=$2 w=$3 h=$4 n=$5
  shift 5
  "$gen" "$pat" "$layout" "$w" "$h" "$n" |
    ff -f rawvideo -pix_fmt "$layout" -s "${w}x${h}" -r 25 -i - "$@"
}

x264_lossless=(-c:v libx264 -qp 0 -preset ultrafast -g 8 -bf 2 -pix_fmt yuv420p)
x265_lossless=(-c:v libx265 -x265-params lossless=1:log-level=error -g 8 -tag:v hvc1)

# Lossless H.264 4:2:0 in MP4 (declares its frame count) and in Matroska (does not).
raw sharp yuv420p 64 48 30 "${x264_lossless[@]}" "$tmp/h264_lossless.mp4"
raw sharp yuv420p 64 48 30 "${x264_lossless[@]}" "$tmp/h264_nocount.mkv"
# A driver shorter than its manifest says (20 of 30 frames), with no count to refuse it early.
raw sharp yuv420p 64 48 20 "${x264_lossless[@]}" "$tmp/h264_short.mkv"
# Ordinary lossy H.264 with B-frames, and the ffmpeg CLI's own decode of it.
raw smooth yuv420p 96 64 30 -c:v libx264 -crf 18 -g 12 -bf 3 -pix_fmt yuv420p "$tmp/h264_lossy.mp4"
ff -i "$tmp/h264_lossy.mp4" -f rawvideo -pix_fmt yuv420p "$tmp/h264_lossy.yuv"
# H.264 cannot code an odd height in 4:2:0; FFV1 can (odd width too), losslessly.
raw sharp yuv420p 63 37 12 -c:v ffv1 -pix_fmt yuv420p "$tmp/ffv1_odd.mkv"
# Raw NV12 frames: the decoder hands them out interleaved, as hardware decoders do.
raw sharp nv12 64 48 10 -c:v rawvideo -pix_fmt nv12 "$tmp/nv12.nut"
# Lossless HEVC 4:4:4 warp prior, and a 4:2:0 one that must be refused.
raw sweep yuv444p 32 32 12 "${x265_lossless[@]}" -pix_fmt yuv444p "$tmp/prior444.mov"
raw sweep yuv444p 32 32 12 "${x265_lossless[@]}" -pix_fmt yuv420p "$tmp/prior420.mov"
# x265's lossless mode is not bit-exact on every block of this texture, so the
# exact checks compare against the CLI's decode.
ff -i "$tmp/prior444.mov" -f rawvideo -pix_fmt yuv444p "$tmp/prior444.yuv"
# A JPEG frame directory, and one frame of the wrong size.
mkdir -p "$tmp/jpg"
raw smooth yuv420p 64 48 10 -q:v 2 -start_number 0 "$tmp/jpg/frame_%06d.jpg"
raw smooth yuv420p 32 32 1 -q:v 2 "$tmp/wrong_size.jpg"
# Audio only: a container with no video stream.
ff -f lavfi -i sine=frequency=440:duration=0.2 "$tmp/audio_only.wav"

for f in "$tmp"/*; do
  rm -rf "$out/$(basename "$f")"
  mv "$f" "$out/"
done
echo "driver media in $out"
