"""The offline recurrent head (fca_stream.onnx) over the 8-second feature
model's centred six-layer-mean features.

  fca_stream.onnx  "cond" [1,5376], "prev" [1,63], "h" [1,1,384] -> "m" [1,63], "hn" [1,1,384]

cond is 7 frames x 768 (offsets -1..5 around the frame) of features whose
running mean over loud frames was taken away. The head measures each
context frame's centred energy along the opening and spread directions (the
exact readouts of the feature head's hidden units from the mean of layers
4..9), weighs the frames around the current one, adds back the opening a
typical utterance has on its loud frames, lets that through as far as the
frame's centred energy reaches a tenth of speech's (silence before anything
loud has nothing centred and stays closed), and feeds that with a seeded
16-channel projection of the whole block and the previous row to a GRU of
width 384. Hidden unit 0 lags the opening, unit 1 the spread; the output
row opens the lips by max(0, unit 0) and spreads the corners by unit 1, in
crop units."""
import math

import numpy as np
import torch
from torch import nn

from . import w2v
from .a2x import expression_rows

LAYERS = (4, 5, 6, 7, 8, 9)
OFFSETS = (-1, 0, 1, 2, 3, 4, 5)
CONTEXT_WEIGHTS = (0.2, 0.45, 0.2, 0.1, 0.05, 0.0, 0.0)
HIDDEN = 384
PROJ = 16
OPEN_GAIN = 1.6


def centred_context(six):
    """The library's causal centring and 7-frame context of six-layer-mean
    features [F, 768] -> blocks [F, 5376]."""
    frames = six.shape[0]
    e = np.sqrt((six.astype(np.float64) ** 2).sum(1))
    total = np.zeros(six.shape[1], np.float64)
    k = 0
    centred = np.zeros_like(six)
    for f in range(frames):
        thr = 0.0
        if f > 6:
            s = np.sort(e[:f + 1])
            pos = 0.2 * f
            lo, hi = int(math.floor(pos)), int(math.ceil(pos))
            thr = s[lo] + (s[hi] - s[lo]) * (pos - lo)
        if e[f] > thr:
            total += six[f]
            k += 1
        centred[f] = six[f] - (total / max(k, 1)).astype(np.float32)
    blocks = np.stack([np.concatenate([centred[min(max(f + o, 0), frames - 1)] for o in OFFSETS])
                       for f in range(frames)]) if frames else np.zeros((0, 7 * 768), np.float32)
    return blocks.astype(np.float32)


class Head(nn.Module):
    def __init__(self, feature_head, loud_mean, energy_ref, seed):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 32452843 + 1)
        dirs = torch.stack([feature_head.readout(0, LAYERS), feature_head.readout(1, LAYERS)], 1)  # [768, 2]
        self.register_buffer("dirs", dirs)
        self.register_buffer("context", torch.tensor(CONTEXT_WEIGHTS).view(1, 7, 1))
        self.register_buffer("loud_mean", torch.tensor(loud_mean, dtype=torch.float32).view(1, 2))
        self.energy_ref = float(energy_ref)
        self.proj = nn.Linear(7 * w2v.WIDTH, PROJ, bias=False)
        self.proj.weight.data = torch.randn(PROJ, 7 * w2v.WIDTH, generator=g) * (1.0 / math.sqrt(7 * w2v.WIDTH))
        n_in = 2 + PROJ + 63
        self.gru = nn.GRU(n_in, HIDDEN)
        wi = torch.randn(3 * HIDDEN, n_in, generator=g) * (0.8 / math.sqrt(n_in))
        wh = torch.randn(3 * HIDDEN, HIDDEN, generator=g) * (0.6 / math.sqrt(HIDDEN))
        bi = torch.zeros(3 * HIDDEN)
        bi[:HIDDEN] = 2.0
        for unit in (0, 1):
            for gate in range(3):
                wi[gate * HIDDEN + unit] = 0.0
                wh[gate * HIDDEN + unit] = 0.0
            bi[HIDDEN + unit] = -0.4
            wi[2 * HIDDEN + unit, unit] = 1.0
        self.gru.weight_ih_l0.data, self.gru.weight_hh_l0.data = wi, wh
        self.gru.bias_ih_l0.data, self.gru.bias_hh_l0.data = bi, torch.zeros(3 * HIDDEN)
        open_row, spread_row = expression_rows()
        self.register_buffer("open_row", torch.from_numpy(open_row.astype(np.float32) * OPEN_GAIN))
        self.register_buffer("spread_row", torch.from_numpy(spread_row.astype(np.float32)))

    def forward(self, cond, prev, h):
        frames = cond.view(1, 7, w2v.WIDTH)
        along = (torch.matmul(frames, self.dirs) * self.context).sum(1) + self.loud_mean  # [1, 2]
        # Nothing to centre yet (silence before the first loud frame): no energy, no motion.
        energy = torch.sqrt((frames[:, 1] * frames[:, 1]).sum(1, keepdim=True) + 1e-12)
        along = along * torch.tanh(energy / self.energy_ref)
        x = torch.cat([along, self.proj(cond), prev], 1).unsqueeze(0)
        y, hn = self.gru(x, h)
        y = y[0]
        m = torch.relu(y[:, 0:1]) * self.open_row + y[:, 1:2] * self.spread_row
        return m, hn


class FCA:
    def __init__(self, features, calibration, seed):
        self.features = features
        frames = (len(calibration) + w2v.FRAME - 1) // w2v.FRAME
        six = features.legacy_frames(calibration, frames, six_mean=True)
        # Mean opening and spread of the loud frames of real speech: what the centring takes away.
        e = np.sqrt((six.astype(np.float64) ** 2).sum(1))
        loud = six[e > np.percentile(e, 20)]
        dirs = np.stack([features.head.readout(u, LAYERS).numpy() for u in (0, 1)], 1)
        self.loud_mean = (loud @ dirs).mean(0)
        self.energy_ref = 0.1 * float(np.median(np.linalg.norm(loud - loud.mean(0), axis=1)))
        self.head = Head(features.head, self.loud_mean, self.energy_ref, seed).eval()

    def export(self):
        return w2v.export(self.head, [torch.zeros(1, 7 * w2v.WIDTH), torch.zeros(1, 63), torch.zeros(1, 1, HIDDEN)],
                          ["cond", "prev", "h"], ["m", "hn"], {"m": (1, 63), "hn": (1, 1, HIDDEN)})

    def deltas(self, samples):
        """le_fca_deltas: rows [F, 63] (and the blocks fed to the head)."""
        frames = (len(samples) + w2v.FRAME - 1) // w2v.FRAME
        six = self.features.legacy_frames(samples, frames, six_mean=True)
        blocks = centred_context(six)
        prev = torch.zeros(1, 63)
        h = torch.zeros(1, 1, HIDDEN)
        out = np.zeros((frames, 63), np.float32)
        with torch.no_grad():
            for f in range(frames):
                prev, h = self.head(torch.from_numpy(blocks[f:f + 1]), prev, h)
                out[f] = prev.numpy()[0]
        return out, blocks
