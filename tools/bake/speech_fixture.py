#!/usr/bin/python3
"""Writes real speech clips for the audio tests: espeak-ng sentences with
silences around them, at 16 kHz mono.

  speech_fixture.py --out DIR [NAME ...]

For each utterance (all by default): DIR/<name>.f32 (float32 raw samples)
and DIR/<name>.wav (16-bit PCM WAV), and DIR/index.txt with one line per
clip: "<name> <samples> <voiced frames> <silent frames>", the frame counts
judged from the clip's own loudness per 640-sample frame."""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bakelib import speech  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", required=True)
    p.add_argument("names", nargs="*", help=f"utterances (default: all of {', '.join(speech.UTTERANCES)})")
    args = p.parse_args()
    names = args.names or list(speech.UTTERANCES)
    unknown = [n for n in names if n not in speech.UTTERANCES]
    if unknown:
        p.error(f"unknown utterance(s) {unknown}")
    os.makedirs(args.out, exist_ok=True)
    lines = ["# <name> <samples> <voiced frames> <silent frames>; <name>.f32 float32 raw, <name>.wav s16 WAV, 16 kHz mono\n"]
    for name in names:
        x = speech.utterance(name)
        tmp = os.path.join(args.out, f".{name}.f32.partial")
        x.astype("<f4").tofile(tmp)
        os.replace(tmp, os.path.join(args.out, f"{name}.f32"))
        speech.write_wav(os.path.join(args.out, f"{name}.wav"), x)
        voiced, silent = speech.voiced_frames(x)
        lines.append(f"{name} {len(x)} {int(voiced.sum())} {int(silent.sum())}\n")
    with open(os.path.join(args.out, "index.txt"), "w") as f:
        f.writelines(lines)
    print(f"[speech] {len(names)} clip(s) in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
