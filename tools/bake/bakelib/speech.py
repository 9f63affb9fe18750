"""Real speech for calibration, references and tests: espeak-ng sentences
resampled to 16 kHz mono by the ffmpeg command, with silences between them.

Nothing here is stored in the repository; every clip is synthesised when it
is needed."""
import os
import subprocess
import tempfile

import numpy as np

RATE = 16000

# Named utterances: (voice, words per minute, [(leading silence s, sentence), ...], trailing silence s).
UTTERANCES = {
    "hello": ("en-us", 160, [(0.5, "Hello there. How are you today?")], 0.6),
    "fox": ("en-us", 165, [(0.4, "The quick brown fox jumps over the lazy dog."),
                           (0.7, "Then it rests beside the river.")], 0.5),
    "numbers": ("en-gb", 150, [(0.3, "One, two, three, four, five."), (0.8, "Six seven eight.")], 0.8),
    "long": ("en-us", 170, [(0.5, "Speech comes in bursts of voiced sound, broken by short pauses and quiet consonants."),
                            (0.9, "A face that listens should open its mouth on the vowels and close it when nothing is said."),
                            (0.6, "This clip runs for more than eight seconds, so the features take several windows.")], 0.7),
}


def synthesise(text, voice="en-us", wpm=160):
    """One sentence as float32 samples at 16 kHz."""
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "s.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-s", str(wpm), "-w", wav, text], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        raw = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", wav, "-ar", str(RATE), "-ac", "1",
                              "-f", "f32le", "-"], check=True, stdout=subprocess.PIPE).stdout
    return np.frombuffer(raw, "<f4").astype(np.float32)


def utterance(name):
    """The named utterance: its sentences with the silences around them."""
    voice, wpm, parts, tail = UTTERANCES[name]
    pieces = []
    for lead, text in parts:
        pieces.append(np.zeros(int(lead * RATE), np.float32))
        pieces.append(synthesise(text, voice, wpm))
    pieces.append(np.zeros(int(tail * RATE), np.float32))
    return np.concatenate(pieces)


def write_wav(path, samples):
    """16-bit mono WAV at 16 kHz."""
    pcm = np.clip(np.round(samples * 32767.0), -32768, 32767).astype("<i2")
    with tempfile.NamedTemporaryFile(suffix=".f32", delete=False) as f:
        f.write(samples.astype("<f4").tobytes())
        tmp = f.name
    try:
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "f32le", "-ar", str(RATE), "-ac", "1",
                        "-i", tmp, "-c:a", "pcm_s16le", path], check=True)
    finally:
        os.remove(tmp)
    return pcm.size


def voiced_frames(samples, frame=640):
    """Masks (voiced, silent) per 640-sample frame: voiced frames are within
    20 dB of the clip's loud frames (95th percentile rms), silent ones 60 dB
    or more below them. The judge of the lip-sync checks, independent of the
    networks."""
    n = (len(samples) + frame - 1) // frame
    padded = np.zeros(n * frame, np.float32)
    padded[:len(samples)] = samples
    rms = np.sqrt((padded.reshape(n, frame).astype(np.float64) ** 2).mean(1))
    ref = np.percentile(rms, 95) + 1e-12
    return rms > ref * 0.1, rms < ref * 1e-3
