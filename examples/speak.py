#!/usr/bin/python3
"""Speech in, talking-head video out, from Python: what the le_speak command
does, through the le_core binding, with the ffmpeg command line encoding the
frames and muxing the audio.

    LE_CORE_LIBRARY=build/src/lible_core.so PYTHONPATH=python \\
        examples/speak.py BUNDLE speech.wav talk.mp4

The audio is decoded and resampled to 16 kHz mono by ffmpeg. Speech frame k
shows audio samples [640 k, 640 k + 640); the audio track starts the speech on
the frame that shows speech frame 0, so sound and picture line up whatever the
models' look-ahead.
"""
import os
import subprocess
import sys

import numpy as np

import le_core


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    bundle, audio_path, out = sys.argv[1:]
    pcm = np.frombuffer(subprocess.run(
        ["ffmpeg", "-v", "error", "-i", audio_path, "-f", "s16le", "-ac", "1", "-ar", "16000", "-"],
        check=True, capture_output=True).stdout, np.int16)
    if pcm.size == 0:
        print(f"speak.py: {audio_path}: no audio samples", file=sys.stderr)
        return 1
    with le_core.Context(bundle) as ctx, ctx.session() as s:
        encoder = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgba", "-s", f"{ctx.width}x{ctx.height}",
             "-r", "25", "-i", "-", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-crf", "20", out + ".video.mp4"],
            stdin=subprocess.PIPE)
        first_speech, lead = None, 10
        for _ in range(lead):  # a few idle frames first
            encoder.stdin.write(s.pull(timeout=10).rgba.tobytes())
        frames = []
        s.push(pcm)
        s.end()
        while True:
            f = s.pull(timeout=30)
            if f is None:
                raise le_core.Error("the session stopped delivering frames")
            if f.kind == "speech" and first_speech is None:
                first_speech = lead + len(frames)
            frames.append(f.kind)
            encoder.stdin.write(f.rgba.tobytes())
            if f.kind == "idle" and "ramp" in frames:
                break
        encoder.stdin.close()
        encoder.wait()
    total = lead + len(frames)
    track = np.zeros(total * 640, np.int16)
    start = (first_speech or lead) * 640
    n = min(pcm.size, track.size - start)
    track[start:start + n] = pcm[:n]
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", out + ".video.mp4", "-f", "s16le", "-ac", "1", "-ar", "16000",
                    "-i", "-", "-c:v", "copy", "-c:a", "aac", "-shortest", out],
                   input=track.tobytes(), check=True)
    os.remove(out + ".video.mp4")
    print(f"speak.py: {total} frames ({frames.count('speech')} speech, {frames.count('ramp')} ramp) -> {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
