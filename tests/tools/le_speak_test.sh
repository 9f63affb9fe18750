#!/usr/bin/env bash
# le_speak over the tiny demo bundle: speech in, an MP4 with both streams out,
# picture and sound of the same length, one video frame per delivered frame
# (live), one per 640 samples begun (--offline); bad audio refused with
# nothing left at the output path; --teeth through the borrow on a bundle with
# the teeth members, refused on one without them and with --offline.
set -euo pipefail
le_speak=$1
bundle=$2
speech=$3
teeth=$4
support=$(cd "$(dirname "$0")/../support" && pwd)
export LSAN_OPTIONS="suppressions=$support/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export TSAN_OPTIONS="suppressions=$support/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_video() {  # <mp4> <frames>
  local v a
  v=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=codec_name,pix_fmt,r_frame_rate,nb_read_frames,duration -of csv=p=0 "$1")
  a=$(ffprobe -v error -select_streams a -show_entries stream=codec_name,duration -of csv=p=0 "$1")
  IFS=, read -r vcodec pix rate vdur vframes <<< "$v"
  IFS=, read -r acodec adur <<< "$a"
  [ "$vcodec,$pix,$rate,$acodec" = "h264,yuv420p,25/1,aac" ] || { echo "unexpected streams: $v / $a"; exit 1; }
  [ "$vframes" = "$2" ] || { echo "video holds $vframes frames, le_speak delivered $2"; exit 1; }
  awk -v a="$adur" -v v="$vdur" 'BEGIN { d = a - v; if (d < 0) d = -d; exit !(d <= 0.04) }' ||
    { echo "audio $adur s vs video $vdur s"; exit 1; }
}

"$le_speak" "$bundle" --audio "$speech/hello.wav" --out "$work/talk.mp4" --quiet > "$work/summary.txt" 2> "$work/log.txt"
frames=$(sed -n 's/^le_speak: \([0-9]*\) frames (\([0-9]*\) idle, \([0-9]*\) speech, 6 ramp).*/\1 \3/p' "$work/summary.txt")
read -r total speechFrames <<< "$frames"
samples=$(awk '$1 == "hello" { print $2 }' "$speech/index.txt")
[ "$speechFrames" = $(( (samples + 639) / 640 )) ] || { echo "speech frames $speechFrames for $samples samples"; exit 1; }
check_video "$work/talk.mp4" "$total"

# Raw PCM on standard input, live pace.
ffmpeg -v error -i "$speech/hello.wav" -f s16le -ac 1 -ar 16000 - |
  "$le_speak" "$bundle" --audio - --out "$work/live.mp4" --realtime --quiet > "$work/live.txt" 2>> "$work/log.txt"
total=$(sed -n 's/^le_speak: \([0-9]*\) frames.*/\1/p' "$work/live.txt")
check_video "$work/live.mp4" "$total"

# Offline: exactly ceil(samples / 640) frames, no idle frames around them.
offline_frames() {  # <audio> <mp4>: prints the frame count of the summary
  "$le_speak" "$bundle" --audio "$1" --out "$2" --offline --quiet > "$work/offline.txt" 2>> "$work/log.txt" ||
    { cat "$work/log.txt"; exit 1; }
  grep -q "^le_speak: time split: features+deltas [0-9]* ms .*render [0-9]* ms .*paste [0-9]* ms" "$work/offline.txt" ||
    { echo "no time split"; cat "$work/offline.txt"; exit 1; }
  sed -n 's/^le_speak: \([0-9]*\) frames (offline) .* \([0-9.]*\) frames\/s rendered.*/\1/p' "$work/offline.txt"
}
total=$(offline_frames "$speech/hello.wav" "$work/offline.mp4")
[ "$total" = $(( (samples + 639) / 640 )) ] || { echo "offline: $total frames for $samples samples"; exit 1; }
check_video "$work/offline.mp4" "$total"
ffmpeg -v error -i "$speech/hello.wav" -f s16le -ac 1 -ar 16000 "$work/hello.s16"
for n in 640 641; do
  head -c $(( 2 * n )) "$work/hello.s16" > "$work/n$n.s16"
  total=$("$le_speak" "$bundle" --audio - --out "$work/n$n.mp4" --offline --quiet < "$work/n$n.s16" 2>> "$work/log.txt" |
          sed -n 's/^le_speak: \([0-9]*\) frames (offline).*/\1/p')
  [ "$total" = $(( (n + 639) / 640 )) ] || { echo "offline: '$total' frames for $n samples"; exit 1; }
  check_video "$work/n$n.mp4" "$total"
done
if "$le_speak" "$bundle" --audio "$speech/hello.wav" --out "$work/both.mp4" --offline --realtime 2> /dev/null; then
  echo "--offline --realtime was accepted"; exit 1
fi

# --teeth: every speech and ramp crop goes through the pass and comes out.
"$le_speak" "$teeth" --audio "$speech/hello.wav" --out "$work/teeth.mp4" --teeth --quiet > "$work/teeth.txt" 2>> "$work/log.txt" ||
  { cat "$work/log.txt"; exit 1; }
grep -q "^le_speak: teeth attached: 8 donors .* lip contour mask" "$work/teeth.txt" || { cat "$work/teeth.txt"; exit 1; }
read -r total crops <<< "$(sed -n 's/^le_speak: \([0-9]*\) frames (.* \([0-9]*\) speech, \([0-9]*\) ramp).*/\1 \2 \3/p' "$work/teeth.txt" |
                         awk '{ print $1, $2 + $3 }')"
grep -q "^le_speak: teeth: $crops crops into the pass, $crops out .* 0 crops left as rendered" "$work/teeth.txt" ||
  { echo "teeth: expected $crops crops through the pass"; cat "$work/teeth.txt"; exit 1; }
check_video "$work/teeth.mp4" "$total"
if "$le_speak" "$bundle" --audio "$speech/hello.wav" --out "$work/noteeth.mp4" --teeth --quiet > /dev/null 2> "$work/err.txt"; then
  echo "--teeth was accepted on a bundle without the teeth members"; exit 1
fi
grep -q "^le_speak: --teeth: this bundle cannot borrow teeth: missing teeth member(s): bank_track" "$work/err.txt" ||
  { cat "$work/err.txt"; exit 1; }
[ ! -e "$work/noteeth.mp4" ] || { echo "--teeth refusal left a file behind"; exit 1; }
if "$le_speak" "$teeth" --audio "$speech/hello.wav" --out "$work/both.mp4" --teeth --offline 2> "$work/err.txt"; then
  echo "--teeth --offline was accepted"; exit 1
fi
grep -q "^le_speak: --teeth needs the live session" "$work/err.txt" || { cat "$work/err.txt"; exit 1; }

# Empty, truncated (a FLAC that declares its length) and non-audio input: a
# failure, and no file at --out.
: > "$work/empty.wav"
ffmpeg -v error -i "$speech/hello.wav" "$work/whole.flac"
head -c 20000 "$work/whole.flac" > "$work/truncated.flac"
echo "not audio at all" > "$work/text.wav"
for mode in "" --offline; do
  for bad in empty.wav truncated.flac text.wav; do
    if "$le_speak" "$bundle" --audio "$work/$bad" --out "$work/$bad.mp4" --quiet $mode > /dev/null 2> "$work/err.txt"; then
      echo "$bad audio was accepted ${mode:-live}"; exit 1
    fi
    grep -q "^le_speak: " "$work/err.txt" || { echo "$bad: no message"; cat "$work/err.txt"; exit 1; }
    [ ! -e "$work/$bad.mp4" ] && [ -z "$(ls "$work" | grep partial || true)" ] || { echo "$bad left a file behind"; exit 1; }
  done
done
echo "le_speak: ok"
