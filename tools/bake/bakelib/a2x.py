"""Streaming audio-to-expression: the encoder over feature frames with a
bounded attention window and the autoregressive decoder, plus their
tables.

  a2x_enc_stream.onnx  "feat" [1,T,12,768], "pos_window" [1,T,h], "attn" [1,1,T,T]
                       -> "enc" [1,T,h], "wn" [1,T]           (T dynamic)
  a2x_dec.onnx         "ctx_t" [1,h], "prev" [1,63], "h" [1,1,h] -> "m" [1,63], "h_out" [1,1,h]
  a2x_meta.json, a2x_pos.f32 (P x h), a2x_norm.f32 (63 means, 63 scales)

Encoder: a linear map of the 9216 feature values to h channels plus the
positional row, then NL layers of single-head attention under the additive
mask (residual) and a ReLU feed-forward block (residual). Channel 0 reads
the features' mouth opening and channel 1 the lip spread (exact readouts of
the feature head's hidden units); the attention averages them over the
window, the other channels carry seeded projections of everything else.
"wn" is a sigmoid of channel 1: the per-frame mouth width.

Decoder: one GRU step over [ctx_t, prev] with hidden width h, then a linear
map of the hidden state to the 63 normalised outputs. Hidden units 0 and 1
follow encoder channels 0 and 1 with a first-order lag; the lips, jaw and
mouth corners are driven by them."""
import json
import math

import numpy as np
import torch
from torch import nn

from . import w2v
from .avatar import CROP_SIDE, KP
from .performance import EXPRESSIONS

POS_ROWS = 256
PROFILE = {"tiny": {"h": 32, "window": 1, "left": 4, "layers": 2},
           "full": {"h": 64, "window": 2, "left": 8, "layers": 2}}
OPEN_GAIN = 1.7   # hidden unit 0 -> strength of the scripted "open" expression
SPREAD = {"mouth_l_corner": (-0.045, 0.0), "mouth_r_corner": (0.045, 0.0), "lip_upper_inner": (0.0, 0.006),
          "lip_lower_inner": (0.0, -0.006)}


def expression_rows():
    """(open, spread) keypoint deltas in crop units, 63 floats each."""
    to_crop = 2.0 / CROP_SIDE
    spread = np.zeros((len(KP), 3))
    for name, v in SPREAD.items():
        spread[KP[name], :2] = v
    open_ = np.zeros((len(KP), 3))
    open_[:, :2] = EXPRESSIONS["open"]
    return (open_ * to_crop).reshape(-1), (spread * to_crop).reshape(-1)


def norm_table():
    """63 means (zero) and 63 scales: the size of each coordinate's motion."""
    o, s = expression_rows()
    scale = np.maximum(np.maximum(np.abs(o), np.abs(s)), 2e-3)
    return np.zeros(63, np.float32), scale.astype(np.float32)


class Encoder(nn.Module):
    def __init__(self, head, h, layers, seed, with_wn=True):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 104729 + 5)
        feat = w2v.LAYERS * w2v.WIDTH
        self.h, self.with_wn = h, with_wn
        self.inp = nn.Linear(feat, h)
        w = torch.randn(h, feat, generator=g) * (2.0 / math.sqrt(feat))
        w[0] = head.readout(0)
        w[1] = head.readout(1)
        self.inp.weight.data = w
        self.inp.bias.data = torch.zeros(h)
        self.q = nn.ModuleList()
        self.k = nn.ModuleList()
        self.v = nn.ModuleList()
        self.o = nn.ModuleList()
        self.f1 = nn.ModuleList()
        self.f2 = nn.ModuleList()
        for _ in range(layers):
            q, k, v, o = (nn.Linear(h, h, bias=False) for _ in range(4))
            q.weight.data = torch.randn(h, h, generator=g) * (0.5 / math.sqrt(h))
            k.weight.data = torch.randn(h, h, generator=g) * (0.5 / math.sqrt(h))
            vw = torch.randn(h, h, generator=g) * (0.7 / math.sqrt(h))
            ow = torch.randn(h, h, generator=g) * (0.5 / math.sqrt(h))
            vw[:2] = 0.0
            vw[0, 0] = vw[1, 1] = 1.0
            ow[:2] = 0.0
            ow[0, 0] = ow[1, 1] = 0.5      # the two designed channels: x + 0.5 * window mean
            v.weight.data, o.weight.data = vw, ow
            f1 = nn.Linear(h, 2 * h)
            f2 = nn.Linear(2 * h, h)
            f1.weight.data = torch.randn(2 * h, h, generator=g) * (1.0 / math.sqrt(h))
            f1.bias.data = torch.randn(2 * h, generator=g) * 0.1
            f2w = torch.randn(h, 2 * h, generator=g) * (0.3 / math.sqrt(2 * h))
            f2w[:2] = 0.0
            f2.weight.data = f2w
            f2.bias.data = torch.zeros(h)
            for lst, m in ((self.q, q), (self.k, k), (self.v, v), (self.o, o), (self.f1, f1), (self.f2, f2)):
                lst.append(m)

    def forward(self, feat, pos_window, attn):
        x = self.inp(feat.flatten(2)) + pos_window            # [1, T, h]
        scale = 1.0 / math.sqrt(self.h)
        for q, k, v, o, f1, f2 in zip(self.q, self.k, self.v, self.o, self.f1, self.f2):
            s = torch.matmul(q(x), k(x).transpose(1, 2)) * scale + attn[0]
            x = x + o(torch.matmul(torch.softmax(s, -1), v(x)))
            x = x + f2(torch.relu(f1(x)))
        if not self.with_wn:
            return x
        return x, torch.sigmoid(3.0 * x[:, :, 1])


class Decoder(nn.Module):
    def __init__(self, h, seed):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 104729 + 17)
        n_in = h + 63
        self.h = h
        self.gru = nn.GRU(n_in, h)
        wi = torch.randn(3 * h, n_in, generator=g) * (0.8 / math.sqrt(n_in))
        wh = torch.randn(3 * h, h, generator=g) * (0.6 / math.sqrt(h))
        bi = torch.zeros(3 * h)
        bh = torch.zeros(3 * h)
        bi[:h] = 2.0                                   # reset gates mostly open
        for unit, gain in ((0, 0.42), (1, 0.6)):       # units 0, 1: lagged copies of encoder channels 0, 1
            for gate in range(3):
                wi[gate * h + unit] = 0.0
                wh[gate * h + unit] = 0.0
            wi[h + unit] = 0.0
            bi[h + unit] = -0.4                         # update gate ~0.4: first-order lag
            wi[2 * h + unit, unit] = gain
        self.gru.weight_ih_l0.data, self.gru.weight_hh_l0.data = wi, wh
        self.gru.bias_ih_l0.data, self.gru.bias_hh_l0.data = bi, bh
        self.out = nn.Linear(h, 63)
        open_row, spread_row = expression_rows()
        _, scale = norm_table()
        w = torch.zeros(63, h)
        w[:, 0] = torch.from_numpy(OPEN_GAIN * open_row / scale).float()
        w[:, 1] = torch.from_numpy(spread_row / scale).float()
        self.out.weight.data = w
        self.out.bias.data = torch.zeros(63)

    def forward(self, ctx_t, prev, h):
        x = torch.cat([ctx_t, prev], 1).unsqueeze(0)   # [1, 1, h + 63]
        y, h_out = self.gru(x, h)
        return self.out(y[0]), h_out


def pos_table(h, seed):
    g = np.random.default_rng(seed * 31 + 3)
    pos = (g.standard_normal((POS_ROWS, h)) * 0.1).astype(np.float32)
    pos[:, :2] = 0.0
    return pos


def meta_text(prof):
    p = PROFILE[prof]
    return json.dumps({"h": p["h"], "window": p["window"], "left": p["left"], "layers": p["layers"],
                       "width": True, "silence_prime": 0}) + "\n"


class A2X:
    def __init__(self, features, prof, seed):
        p = PROFILE[prof]
        self.h, self.window, self.left, self.layers = p["h"], p["window"], p["left"], p["layers"]
        self.features = features
        self.enc = Encoder(features.head, self.h, self.layers, seed).eval()
        self.enc_nown = Encoder(features.head, self.h, self.layers, seed, with_wn=False).eval()
        self.dec = Decoder(self.h, seed).eval()
        self.pos = pos_table(self.h, seed)
        self.norm_mean, self.norm_scale = norm_table()
        self.meta = meta_text(prof)

    def example_enc(self, t):
        return [torch.zeros(1, t, w2v.LAYERS, w2v.WIDTH), torch.zeros(1, t, self.h), torch.zeros(1, 1, t, t)]

    def export(self):
        dyn = {"feat": {1: "T"}, "pos_window": {1: "T"}, "attn": {2: "T", 3: "T"}, "enc": {1: "T"}, "wn": {1: "T"}}
        enc = w2v.export(self.enc, self.example_enc(6), ["feat", "pos_window", "attn"], ["enc", "wn"],
                         {"enc": (1, "T", self.h), "wn": (1, "T")}, dyn)
        dyn.pop("wn")
        nown = w2v.export(self.enc_nown, self.example_enc(6), ["feat", "pos_window", "attn"], ["enc"],
                          {"enc": (1, "T", self.h)}, dyn)
        dec = w2v.export(self.dec, [torch.zeros(1, self.h), torch.zeros(1, 63), torch.zeros(1, 1, self.h)],
                         ["ctx_t", "prev", "h"], ["m", "h_out"], {"m": (1, 63), "h_out": (1, 1, self.h)})
        return enc, nown, dec

    # The library's computation, for references.

    def pos_rows(self, start, count):
        p = POS_ROWS
        idx = [n if n < p else p // 2 + (n - p) % (p - p // 2) for n in range(start, start + count)]
        return self.pos[idx]

    def mask(self, t):
        i = np.arange(t)[:, None]
        k = np.arange(t)[None, :]
        ok = (k >= i - self.left) & (k <= i + self.window)
        return np.where(ok, 0.0, -np.inf).astype(np.float32)

    def encoder_inputs(self, feat, cs, ce):
        t = ce - cs
        return (feat[cs:ce].reshape(1, t, w2v.LAYERS, w2v.WIDTH).astype(np.float32),
                self.pos_rows(cs, t)[None], self.mask(t)[None, None])

    def encode(self, feat, chunk):
        """Encoder rows and wn of all frames, in chunks with the context rule
        of the streaming path (look-back left*layers, look-ahead window*layers)."""
        frames = feat.shape[0]
        ctx_left, ctx_ahead = self.left * self.layers, self.window * self.layers
        enc = np.zeros((frames, self.h), np.float32)
        wn = np.zeros(frames, np.float32)
        a = 0
        while a < frames:
            b = min(frames, a + chunk)
            cs, ce = max(0, a - ctx_left), min(b + ctx_ahead, frames)
            if a < POS_ROWS:
                b, ce = min(b, POS_ROWS), min(ce, POS_ROWS)
            with torch.no_grad():
                e, w = self.enc(*(torch.from_numpy(v) for v in self.encoder_inputs(feat, cs, ce)))
            enc[a:b] = e.numpy()[0, a - cs:b - cs]
            wn[a:b] = w.numpy()[0, a - cs:b - cs]
            a = b
        return enc, wn

    def decode(self, enc):
        frames = enc.shape[0]
        prev = torch.zeros(1, 63)
        hid = torch.zeros(1, 1, self.h)
        out = np.zeros((frames, 63), np.float32)
        with torch.no_grad():
            for f in range(frames):
                m, hid = self.dec(torch.from_numpy(enc[f:f + 1]), prev, hid)
                prev = m
                out[f] = self.norm_mean + m.numpy()[0] * self.norm_scale
        return out

    def deltas(self, samples, short=False):
        """Whole-utterance deltas [F, 63] and wn [F]: features of the 8-second
        path (or, short=True, of the short-window path), encoder chunks of 24
        frames, decoder from the zero state."""
        frames = (len(samples) + w2v.FRAME - 1) // w2v.FRAME
        feat = (self.features.short_frames(samples, frames) if short
                else self.features.legacy_frames(samples, frames))
        enc, wn = self.encode(feat, 24)
        return self.decode(enc), wn, feat
