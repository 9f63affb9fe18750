"""The motion directory (motion/): a log-mel front end's tables, the audio
feature network, the motion latent network run in overlapping chunks and
the stitching network, with their conditioning arrays.

  hubert_student.onnx  "mel" [1,20,80] -> "feat" [1,20,1024]
  lmdm.onnx            "cond" [1,80,1103], "overlap" [1,10,265], "xs_info" [1,328] -> "v" [1,80,265]
  stitch.onnx          "xs" [1,63], "motion" [1,265] -> "delta" [1,63]

hubert_student: per STFT frame, the mouth opening (voiced 150-1500 Hz level
through a sigmoid, graded by the first formant's height) in channel 0 and
the lip spread in channel 1; channels 2..1023 are a 3-frame convolution of
the log-mel shape (80 -> 256, GELU) projected to 1022 (tanh) and gated by the
frame's level. lmdm: the 1103-float items to 64 channels (channels 0 and 1
undo the feature normalisation and read opening and spread; the others mix
every item value and the clip-relative source conditioning), a 5-frame
temporal convolution (a smoothing kernel on 0 and 1), tanh on the rest, a
linear map to the 265 latent dimensions and tanh; the first 10 rows blend
into the overlap (the previous chunk's guess for the same frames). Latent
dimension 0 is the opening, 1 the spread, 202 a small head pitch. stitch:
opening, spread and pitch as keypoint motion, scaled by the source face's
mouth width, plus a faint projection of the other latent dimensions."""
import json
import math

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

from . import w2v
from .a2x import expression_rows
from .avatar import KP

RATE = 16000
N_FFT, HOP_STFT, MELS = 512, 320, 80
FEAT = 1024
ITEM = 1103
LATENT = 265
SMOOTH_DIMS = 202
CHUNK, COMMIT, OVERLAP = 80, 70, 10
XS_INFO = 328
N_EMO = 1
S_BRIDGE, DELTA_PITCH = 1.0, 0.0
OPEN_GAIN = 1.0      # latent opening -> strength of the scripted "open" expression
LEVEL = 3.2          # log voiced mel level where the mouth is half open (about -25 dBFS)


def hann_periodic():
    n = np.arange(N_FFT)
    return (0.5 - 0.5 * np.cos(2.0 * np.pi * n / N_FFT)).astype(np.float32)


def mel_binmat():
    """[257, 80] triangular HTK-mel filters over 0..8000 Hz."""
    mel = lambda f: 2595.0 * np.log10(1.0 + f / 700.0)
    imel = lambda m: 700.0 * (10.0 ** (m / 2595.0) - 1.0)
    edges = imel(np.linspace(mel(0.0), mel(RATE / 2), MELS + 2))
    bins = np.arange(N_FFT // 2 + 1) * RATE / N_FFT
    m = np.zeros((N_FFT // 2 + 1, MELS), np.float32)
    for j in range(MELS):
        lo, c, hi = edges[j], edges[j + 1], edges[j + 2]
        m[:, j] = np.clip(np.minimum((bins - lo) / (c - lo), (hi - bins) / (hi - c)), 0.0, None)
    return m


def mel_centres():
    mel = lambda f: 2595.0 * np.log10(1.0 + f / 700.0)
    imel = lambda m: 700.0 * (10.0 ** (m / 2595.0) - 1.0)
    return imel(np.linspace(mel(0.0), mel(RATE / 2), MELS + 2))[1:-1]


def _mask(lo, hi):
    c = mel_centres()
    return torch.tensor(np.where((c >= lo) & (c < hi), 0.0, -1e4).astype(np.float32))


class Student(nn.Module):
    def __init__(self, seed):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 15485863 + 3)
        self.register_buffer("voiced", _mask(150.0, 1500.0))
        self.register_buffer("f1_low", _mask(200.0, 480.0))
        self.register_buffer("f1_high", _mask(480.0, 1100.0))
        self.register_buffer("hi", _mask(1800.0, 4200.0))
        self.register_buffer("lo", _mask(150.0, 1100.0))
        self.conv = nn.Conv1d(MELS, 256, 3, padding=1)
        self.conv.weight.data = torch.randn(self.conv.weight.shape, generator=g) * (1.0 / math.sqrt(3 * MELS))
        self.conv.bias.data = torch.zeros(256)
        self.proj = nn.Linear(256, FEAT - 2)
        self.proj.weight.data = torch.randn(FEAT - 2, 256, generator=g) * (1.5 / math.sqrt(256))
        self.proj.bias.data = torch.randn(FEAT - 2, generator=g) * 0.1

    def forward(self, mel):
        lse = lambda mask: torch.logsumexp(mel + mask, -1, keepdim=True)
        total = torch.logsumexp(mel, -1, keepdim=True)
        gate = torch.sigmoid(2.0 * (total - LEVEL + 1.0))
        f1 = lse(self.f1_high) - lse(self.f1_low)
        opening = torch.sigmoid(1.5 * (lse(self.voiced) - LEVEL)) * (0.35 + 0.65 * torch.sigmoid(1.5 * f1 + 0.5))
        spread = opening * torch.tanh(0.5 * (lse(self.hi) - lse(self.lo) + 2.0))
        shape = torch.clamp(mel - total, -20.0, 0.0) * 0.2
        hidden = F.gelu(self.conv(shape.transpose(1, 2))).transpose(1, 2)
        rest = gate * torch.tanh(self.proj(hidden))
        return torch.cat([opening, spread, rest], -1)


class LatentNet(nn.Module):
    def __init__(self, fmean, fstd, seed):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 15485863 + 7)
        width = 64
        self.inp = nn.Linear(ITEM, width)
        w = torch.randn(width, ITEM, generator=g) * (1.0 / math.sqrt(ITEM))
        b = torch.zeros(width)
        w[:2] = 0.0
        for c in range(2):               # undo the feature normalisation of opening and spread
            w[c, c] = float(fstd[c])
            b[c] = float(fmean[c])
        self.inp.weight.data, self.inp.bias.data = w, b
        self.src = nn.Linear(XS_INFO, width, bias=False)
        ws = torch.randn(width, XS_INFO, generator=g) * (0.5 / math.sqrt(XS_INFO))
        ws[:2] = 0.0
        self.src.weight.data = ws
        self.time = nn.Conv1d(width, width, 5, padding=2)
        wt = torch.randn(width, width, 5, generator=g) * (0.6 / math.sqrt(5 * width))
        wt[:2] = 0.0
        for c in range(2):
            wt[c, c] = torch.tensor([0.1, 0.2, 0.4, 0.2, 0.1])
        self.time.weight.data = wt
        self.time.bias.data = torch.zeros(width)
        self.out = nn.Linear(width, LATENT)
        wo = torch.randn(LATENT, width, generator=g) * (0.5 / math.sqrt(width))
        wo[:2] = 0.0
        wo[0, 0] = 1.6
        wo[1, 1] = 1.5
        wo[2:, :2] = 0.0
        wo[SMOOTH_DIMS] *= 0.2
        self.out.weight.data = wo
        self.out.bias.data = torch.zeros(LATENT)
        beta = torch.zeros(CHUNK, 1)
        beta[:OVERLAP, 0] = (OVERLAP - torch.arange(OVERLAP, dtype=torch.float32)) / (OVERLAP + 1)
        self.register_buffer("beta", beta)

    def forward(self, cond, overlap, xs_info):
        z = self.inp(cond) + self.src(xs_info).unsqueeze(1)          # [1, 80, 64]
        z = self.time(z.transpose(1, 2)).transpose(1, 2)
        hidden = torch.cat([z[:, :, :2], torch.tanh(z[:, :, 2:])], -1)
        v = torch.tanh(self.out(hidden))
        joined = F.pad(overlap, (0, 0, 0, CHUNK - OVERLAP))
        return v + self.beta * (joined - v)


class Stitch(nn.Module):
    def __init__(self, ref_width, seed):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 15485863 + 11)
        open_row, spread_row = expression_rows()
        nod = np.zeros((21, 3), np.float32)
        nod[:, 1] = 1.0
        self.register_buffer("open_row", torch.from_numpy(open_row.astype(np.float32) * OPEN_GAIN))
        self.register_buffer("spread_row", torch.from_numpy(spread_row.astype(np.float32)))
        self.register_buffer("nod_row", torch.from_numpy(nod.reshape(-1) * 0.02))
        self.ref_width = float(ref_width)
        self.rest = nn.Linear(LATENT - 3, 63, bias=False)
        self.rest.weight.data = torch.randn(63, LATENT - 3, generator=g) * (1.0 / math.sqrt(LATENT))
        self.left, self.right = KP["mouth_l_corner"] * 3, KP["mouth_r_corner"] * 3

    def forward(self, xs, motion):
        width = (xs[:, self.right:self.right + 1] - xs[:, self.left:self.left + 1]).abs() / self.ref_width
        m0, m1, m202 = motion[:, 0:1], motion[:, 1:2], motion[:, SMOOTH_DIMS:SMOOTH_DIMS + 1]
        rest = torch.cat([motion[:, 2:SMOOTH_DIMS], motion[:, SMOOTH_DIMS + 1:]], 1)
        expr = torch.relu(m0) * self.open_row + m1 * self.spread_row + m202 * self.nod_row
        return width * expr + 5e-4 * torch.tanh(self.rest(rest))


class Motion:
    def __init__(self, seed, xs_target, calibration):
        self.xs_target = xs_target.reshape(-1, 63).astype(np.float32)
        nt = self.xs_target.shape[0]
        g = np.random.default_rng(seed * 977 + 1)
        self.window = hann_periodic()
        self.binmat = mel_binmat()
        self.student = Student(seed).eval()
        feats = self.features_of_steps(calibration, range(0, self._frames(calibration), 5)).reshape(-1, FEAT)
        self.fmean = feats.mean(0).astype(np.float32)
        self.fstd = np.maximum(feats.std(0), 1e-2).astype(np.float32)
        self.emo = np.zeros((N_EMO, 8), np.float32)
        self.emo[0, 0] = 1.0
        self.eye_open = np.array([0.3, 0.3], np.float32)
        self.eye_ball = np.zeros(6, np.float32)
        self.sc = (1.0 / (self.xs_target.std(0) + 0.05)).astype(np.float32)
        proj = g.standard_normal((63, XS_INFO - 63)) / math.sqrt(63)
        self.src_xs_info = np.concatenate([self.xs_target, np.tanh(self.xs_target @ proj)], 1).astype(np.float32)
        self.ch_xs_info = self.src_xs_info.mean(0).astype(np.float32)
        ranges = g.uniform(0.5, 1.5, (2, LATENT))
        self.vmin, self.vmax = -ranges[0].astype(np.float32), ranges[1].astype(np.float32)
        self.vmin[:2], self.vmax[:2] = -1.0, 1.0
        self.lmdm = LatentNet(self.fmean, self.fstd, seed).eval()
        xs = self.xs_target
        ref_width = float(np.abs(xs[:, KP["mouth_r_corner"] * 3] - xs[:, KP["mouth_l_corner"] * 3]).mean())
        self.stitch = Stitch(ref_width, seed).eval()
        silence = self.features_of(np.zeros(0, np.float32), 0)[0]
        self.cond_pad = np.concatenate([(silence - self.fmean) / self.fstd, self.emo[0], self.eye_open,
                                        self.eye_ball, self.xs_target.mean(0) * self.sc]).astype(np.float32)
        self.meta = json.dumps({"nt": nt, "n_src": nt, "n_emo": N_EMO, "s_bridge": S_BRIDGE, "delta_pitch": DELTA_PITCH}) + "\n"

    @staticmethod
    def _frames(samples):
        return (len(samples) + 639) // 640

    def files(self):
        """{file name: float32 array} of the directory's raw arrays."""
        return {"hubert_stft_window.bin": self.window, "hubert_stft_binmat.bin": self.binmat,
                "hubert_fmean.bin": self.fmean, "hubert_fstd.bin": self.fstd, "emo.bin": self.emo,
                "ch_xs_info.bin": self.ch_xs_info, "ch_sc.bin": self.sc, "ch_eye_open.bin": self.eye_open,
                "ch_eye_ball.bin": self.eye_ball, "v_min_max.bin": np.concatenate([self.vmin, self.vmax]),
                "src_xs_info.bin": self.src_xs_info, "xs_target.bin": self.xs_target, "cond.bin": self.cond_pad}

    def export(self):
        return {
            "hubert_student.onnx": w2v.export(self.student, [torch.zeros(1, 20, MELS)], ["mel"], ["feat"],
                                              {"feat": (1, 20, FEAT)}),
            "lmdm.onnx": w2v.export(self.lmdm, [torch.zeros(1, CHUNK, ITEM), torch.zeros(1, OVERLAP, LATENT),
                                                torch.zeros(1, XS_INFO)], ["cond", "overlap", "xs_info"], ["v"],
                                    {"v": (1, CHUNK, LATENT)}),
            "stitch.onnx": w2v.export(self.stitch, [torch.zeros(1, 63), torch.zeros(1, LATENT)], ["xs", "motion"],
                                      ["delta"], {"delta": (1, 63)}),
        }

    # The library's computation.

    def mel(self, samples, a):
        """"mel" [20, 80] of front-end step a (samples past the end are zeros)."""
        lo = a * 640 - 2000
        seg = np.zeros(6480, np.float32)
        s, e = max(lo, 0), min(lo + 6480, len(samples))
        if e > s:
            seg[s - lo:e - lo] = samples[s:e]
        padded = np.pad(seg, 256, mode="reflect")
        frames = np.stack([padded[320 * t:320 * t + N_FFT] * self.window for t in range(20)])
        mag = np.abs(np.fft.rfft(frames.astype(np.float64), axis=1)).astype(np.float32)
        return np.log(mag @ self.binmat + 1e-8).astype(np.float32)

    def features_of(self, samples, a):
        """Raw (not normalised) features of frames a..a+4 [5, 1024]."""
        return self.features_of_steps(samples, [a])[0]

    def features_of_steps(self, samples, steps):
        """features_of for several front-end steps at once [len(steps), 5, 1024]."""
        mels = np.stack([self.mel(samples, a) for a in steps])
        with torch.no_grad():
            f = self.student(torch.from_numpy(mels)).numpy()
        pairs = (f[:, 0::2] + f[:, 1::2]) / 2.0
        return pairs[:, 3:8]

    def driver_index(self, frames, start=0):
        nt = self.xs_target.shape[0]
        return np.array([0 if nt <= 1 else (f + start) % nt for f in range(frames)])

    def items(self, samples, start=0):
        """Conditioning items [F, 1103] of every frame after finish."""
        frames = self._frames(samples)
        idx = self.driver_index(frames, start)
        feats = self.features_of_steps(samples, range(0, frames, 5)).reshape(-1, FEAT)[:frames]
        featn = ((feats - self.fmean) / self.fstd).astype(np.float32)
        fixed = np.concatenate([self.emo[0], self.eye_open, self.eye_ball])
        return np.concatenate([featn, np.tile(fixed, (frames, 1)), self.xs_target[idx] * self.sc], 1).astype(np.float32)

    def chunk_inputs(self, samples, c, start=0, items=None):
        """("cond" [80, 1103], zero "overlap" [10, 265], "xs_info" [328]) of chunk c."""
        items = self.items(samples, start) if items is None else items
        lo = COMMIT * c
        cond = np.tile(self.cond_pad, (CHUNK, 1))
        n = max(0, min(CHUNK, items.shape[0] - lo))
        cond[:n] = items[lo:lo + n]
        idx = self.driver_index(lo + 1, start)[lo]
        return cond, np.zeros((OVERLAP, LATENT), np.float32), (self.src_xs_info[idx] - self.ch_xs_info).astype(np.float32)

    def run(self, samples, start=0):
        """Steps 1-7 after finish, driver cycling in loop order from `start`:
        per frame (idx, latent motion after smoothing, delta, xd)."""
        frames = self._frames(samples)
        idx = self.driver_index(frames, start)
        items = self.items(samples, start)
        latent = np.zeros((frames, LATENT), np.float32)
        overlap = np.zeros((OVERLAP, LATENT), np.float32)
        c = 0
        while COMMIT * c < frames:
            lo = COMMIT * c
            cond, _, xs_info = self.chunk_inputs(samples, c, start, items)
            with torch.no_grad():
                v = self.lmdm(torch.from_numpy(cond[None]), torch.from_numpy(overlap[None]),
                              torch.from_numpy(xs_info[None])).numpy()[0]
            overlap = v[CHUNK - OVERLAP:].copy()
            hi = min(lo + COMMIT, frames)
            latent[lo:hi] = self.vmin + (np.clip(v[:hi - lo], -1.0, 1.0) + 1.0) / 2.0 * (self.vmax - self.vmin)
            c += 1
        motion = latent.copy()
        for f in range(frames):
            motion[f, :SMOOTH_DIMS] = latent[max(0, f - 2):f + 1, :SMOOTH_DIMS].mean(0)
        motion[:, SMOOTH_DIMS] += DELTA_PITCH
        xs = self.xs_target[idx]
        with torch.no_grad():
            delta = self.stitch(torch.from_numpy(xs), torch.from_numpy(motion)).numpy()
        return idx, motion, delta, xs + S_BRIDGE * delta
