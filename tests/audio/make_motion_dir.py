#!/usr/bin/env python3
"""Writes small motion directories for the le_motion tests.

    make_motion_dir.py OUT

OUT/motion        a complete directory: tiny random networks with the real
                  tensor names and shapes, every raw file at its size (nt 12)
OUT/ref           audio.f32 and the pipeline's rows computed here in numpy and
                  PyTorch (idx.i32, xs.f32, xd.f32), for OUT/motion with
                  start 5, forwards, bounce
OUT/bad/<name>    damaged copies of OUT/motion, one fault each

Everything is seeded, so two runs write the same bytes.
"""
import json
import math
import os
import shutil
import sys

import numpy as np
import torch

NT = 12
N_EMO = 2
SR_FRAME = 640
FEAT, LATENT, ITEM, XS_INFO = 1024, 265, 1103, 328


class Hubert(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = torch.nn.Conv1d(80, 64, 3, padding=1)
        self.out = torch.nn.Linear(64, FEAT)

    def forward(self, mel):  # [1,20,80] -> [1,20,1024]
        h = torch.tanh(self.conv(mel.transpose(1, 2)) * 0.1).transpose(1, 2)
        return self.out(h)


class Lmdm(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.cond = torch.nn.Linear(ITEM, LATENT)
        self.xs = torch.nn.Linear(XS_INFO, LATENT)
        self.ov = torch.nn.Linear(LATENT, LATENT)

    def forward(self, cond, overlap, xs_info):
        h = self.cond(cond) + self.xs(xs_info)[:, None, :] + self.ov(overlap.mean(1))[:, None, :]
        # Beyond [-1, 1] now and then, so the reader's clamp matters.
        return 1.25 * torch.tanh(h)


class Stitch(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.lin = torch.nn.Linear(63 + LATENT, 63)

    def forward(self, xs, motion):
        return 0.1 * self.lin(torch.cat([xs, motion], 1))


def mel_matrix():
    """Triangular filters over 257 bins, row-major [bin][mel]."""
    def hz_to_mel(f):
        return 2595.0 * np.log10(1.0 + f / 700.0)

    def mel_to_hz(m):
        return 700.0 * (10 ** (m / 2595.0) - 1.0)

    freqs = np.arange(257) * 8000.0 / 256
    pts = mel_to_hz(np.linspace(hz_to_mel(0.0), hz_to_mel(8000.0), 82))
    m = np.zeros((257, 80), np.float32)
    for j in range(80):
        lo, c, hi = pts[j], pts[j + 1], pts[j + 2]
        up = (freqs - lo) / (c - lo)
        down = (hi - freqs) / (hi - c)
        m[:, j] = np.maximum(0.0, np.minimum(up, down))
    return m


def export(model, args, names_in, names_out, path):
    torch.onnx.export(model, args, path, input_names=names_in, output_names=names_out, opset_version=17)


def write_dir(d, rng, nets):
    os.makedirs(d, exist_ok=True)
    arrays = {
        "hubert_stft_window.bin": (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(512) / 512)).astype(np.float32),
        "hubert_stft_binmat.bin": mel_matrix(),
        "hubert_fmean.bin": rng.normal(0, 0.05, FEAT),
        "hubert_fstd.bin": rng.uniform(0.5, 1.5, FEAT),
        "emo.bin": rng.normal(0, 1, (N_EMO, 8)),
        "ch_xs_info.bin": rng.normal(0, 0.1, XS_INFO),
        "ch_sc.bin": rng.uniform(0.5, 1.5, 63),
        "ch_eye_open.bin": rng.normal(0, 1, 2),
        "ch_eye_ball.bin": rng.normal(0, 1, 6),
        "v_min_max.bin": np.concatenate([-1 - rng.uniform(0, 1, LATENT), 1 + rng.uniform(0, 1, LATENT)]),
        "src_xs_info.bin": rng.normal(0, 1, (NT, XS_INFO)),
        "xs_target.bin": rng.uniform(-1, 1, (NT, 63)),
    }
    for name, a in arrays.items():
        np.asarray(a, np.float32).tofile(os.path.join(d, name))
    with open(os.path.join(d, "meta.json"), "w") as f:
        json.dump({"nt": NT, "n_src": NT, "n_emo": N_EMO, "s_bridge": 0.8, "delta_pitch": 0.05}, f)
    hubert, lmdm, stitch = nets
    export(hubert, (torch.zeros(1, 20, 80),), ["mel"], ["feat"], os.path.join(d, "hubert_student.onnx"))
    export(lmdm, (torch.zeros(1, 80, ITEM), torch.zeros(1, 10, LATENT), torch.zeros(1, XS_INFO)),
           ["cond", "overlap", "xs_info"], ["v"], os.path.join(d, "lmdm.onnx"))
    export(stitch, (torch.zeros(1, 63), torch.zeros(1, LATENT)), ["xs", "motion"], ["delta"],
           os.path.join(d, "stitch.onnx"))


def load(d, name, shape=None):
    a = np.fromfile(os.path.join(d, name), np.float32)
    return a.reshape(shape) if shape else a


def driver_index(n, start, direction, loop):
    e = n * direction + start
    if NT <= 1:
        return 0
    if loop:
        return e % NT
    p = 2 * (NT - 1)
    r = e % p
    return r if r <= NT - 1 else p - r


def log_mel(samples, window, binmat):
    x = np.pad(samples, 256, mode="reflect")
    out = np.zeros((20, 80), np.float32)
    for t in range(20):
        frame = (x[320 * t:320 * t + 512] * window).astype(np.float64)
        mag = np.abs(np.fft.rfft(frame)).astype(np.float32)
        out[t] = np.log(mag @ binmat + np.float32(1e-8))
    return out


def reference(d, audio, start, direction, loop, nets):
    """The whole pipeline over one utterance, computed at once."""
    hubert, lmdm, stitch = nets
    meta = json.load(open(os.path.join(d, "meta.json")))
    window, binmat = load(d, "hubert_stft_window.bin"), load(d, "hubert_stft_binmat.bin", (257, 80))
    fmean, fstd = load(d, "hubert_fmean.bin"), load(d, "hubert_fstd.bin")
    emo0 = load(d, "emo.bin", (N_EMO, 8))[0]
    xs_target = load(d, "xs_target.bin", (NT, 63))
    src = load(d, "src_xs_info.bin", (NT, XS_INFO))
    vmm = load(d, "v_min_max.bin")
    vmin, vmax = vmm[:LATENT], vmm[LATENT:]
    total = math.ceil(len(audio) / SR_FRAME)
    idx = [driver_index(f, start, direction, loop) for f in range(total)]

    feats = np.zeros((total + 5, FEAT), np.float32)
    for a in range(0, total, 5):
        w = np.zeros(6480, np.float32)
        lo = a * SR_FRAME - 2000
        for i in range(6480):
            if 0 <= lo + i < len(audio):
                w[i] = audio[lo + i]
        mel = torch.from_numpy(log_mel(w, window, binmat))[None]
        f = hubert(mel)[0].numpy()
        pairs = (f[0::2] + f[1::2]) * np.float32(0.5)
        feats[a:a + 5] = (pairs[3:8] - fmean) / fstd

    def item(f):
        f = min(f, total - 1)  # no cond.bin: the last real item again
        kp = xs_target[idx[f]] * load(d, "ch_sc.bin")
        return np.concatenate([feats[f], emo0, load(d, "ch_eye_open.bin"), load(d, "ch_eye_ball.bin"), kp])

    lat = np.zeros((total, LATENT), np.float32)
    overlap = np.zeros((10, LATENT), np.float32)
    c, committed = 0, 0
    while committed < total:
        first = 70 * c
        cond = np.stack([item(first + k) for k in range(80)])[None].astype(np.float32)
        xs_info = (src[idx[first]] - load(d, "ch_xs_info.bin"))[None]
        v = lmdm(torch.from_numpy(cond), torch.from_numpy(overlap[None]), torch.from_numpy(xs_info))[0].numpy()
        overlap = v[70:].copy()
        end = total if total <= first + 80 else first + 70
        lat[first:end] = vmin + (np.clip(v[:end - first], -1, 1) + 1) / 2 * (vmax - vmin)
        committed, c = end, c + 1

    xs_rows = np.zeros((total, 63), np.float32)
    xd_rows = np.zeros((total, 63), np.float32)
    for f in range(total):
        motion = lat[f].copy()
        motion[:202] = lat[max(0, f - 2):f + 1, :202].mean(0)
        motion[202] += np.float32(meta["delta_pitch"])
        xs = xs_target[idx[f]]
        delta = stitch(torch.from_numpy(xs)[None], torch.from_numpy(motion)[None])[0].numpy()
        xs_rows[f], xd_rows[f] = xs, xs + np.float32(meta["s_bridge"]) * delta
    return np.array(idx, np.int32), xs_rows, xd_rows


def speech_like(n, rng):
    """Voiced stretches (a few harmonics under a syllable envelope) and pauses."""
    t = np.arange(n) / 16000.0
    f0 = 120 + 30 * np.sin(2 * np.pi * 0.7 * t)
    phase = 2 * np.pi * np.cumsum(f0) / 16000.0
    voiced = sum(np.sin(k * phase) / k for k in range(1, 6))
    envelope = np.clip(np.sin(2 * np.pi * 2.5 * t), 0, None) * (t % 2.0 < 1.5)
    return (0.3 * voiced * envelope + 0.01 * rng.normal(0, 1, n)).astype(np.float32)


def main():
    out = sys.argv[1]
    torch.manual_seed(7)
    rng = np.random.default_rng(7)
    nets = (Hubert().eval(), Lmdm().eval(), Stitch().eval())
    good = os.path.join(out, "motion")
    if os.path.isdir(out):
        shutil.rmtree(out)
    with torch.no_grad():
        write_dir(good, rng, nets)
        # 177.8 frames: three chunks, the last one padded past the audio.
        audio = speech_like(177 * SR_FRAME + 517, rng)
        r = os.path.join(out, "ref")
        os.makedirs(r)
        audio.tofile(os.path.join(r, "audio.f32"))
        idx, xs, xd = reference(good, audio, 5, 1, False, nets)
        idx.tofile(os.path.join(r, "idx.i32"))
        xs.tofile(os.path.join(r, "xs.f32"))
        xd.tofile(os.path.join(r, "xd.f32"))

    def damaged(name, edit):
        d = os.path.join(out, "bad", name)
        shutil.copytree(good, d)
        edit(d)

    meta = json.load(open(os.path.join(good, "meta.json")))

    def set_meta(text):
        return lambda d: open(os.path.join(d, "meta.json"), "w").write(text)

    damaged("missing_window", lambda d: os.remove(os.path.join(d, "hubert_stft_window.bin")))
    damaged("short_emo", lambda d: np.zeros(N_EMO * 8 - 1, np.float32).tofile(os.path.join(d, "emo.bin")))
    damaged("no_nt", set_meta(json.dumps({k: v for k, v in meta.items() if k != "nt"})))
    damaged("bad_n_emo", set_meta(json.dumps(dict(meta, n_emo="two"))))
    damaged("n_src", set_meta(json.dumps(dict(meta, n_src=NT + 1))))
    damaged("no_stitch", lambda d: os.remove(os.path.join(d, "stitch.onnx")))


if __name__ == "__main__":
    main()
