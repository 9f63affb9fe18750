"""The audio feature networks: one trunk (samples -> 640 features per
80-sample step) and one head (640 -> 12 layers x 768 per frame), exported
three ways:

  audio/w2v.onnx                             "input_values" [1,128000] -> "audio_emb" [12,200,768]
  audio/audio_encoder_fp16_window_trunk.onnx "input_values" [1,32000]  -> "features" f16 [1,640,400]
  audio/audio_encoder_fp16_window_head.onnx  "x" [8,640]               -> "emb" [8,9216]

The 8-second model runs the trunk over its 1600 steps, resamples them to 200
frames with frame a on step a*1598/199 (a fixed interpolation matrix) and
runs the head per frame. The short pair leaves the resampling to the caller,
so both give the same features up to half-precision rounding and the
windows' own normalisation.

Trunk, per step (kernel 400, stride 80, centred on the step's first sample
+ 40): 32 Gabor band energies (cosine and sine filters at mel-spaced
frequencies), then features that a global gain cannot move: the spectral
shape (log band energy minus log total energy), the voiced (150-1500 Hz)
energy relative to the total energy's running mean over +-32 steps, and a
formant balance. An absolute gate, open for steps above about a
hundredth of the window's mean power, zeroes digital silence. Channel 0 is the
mouth opening (voiced, gated, graded by the first formant's height),
channel 1 the lip spread (high against low energy while voiced); channels
2..639 are a tanh of a 3-step convolution over the gated shape features.

Head: Linear 640 -> 64, tanh, Linear 64 -> 9216 without bias (per layer a
different projection). Hidden unit 0 is tanh(opening) and unit 1
tanh(spread); the readouts of those units from the 9216 outputs (and from
the mean of layers 4..9) are what the downstream networks use."""
import hashlib
import io
import math
import warnings

import numpy as np
import onnx
import torch
import torch.nn.functional as F
from torch import nn

RATE = 16000
HOP = 80                 # samples per trunk step
FRAME = 640              # samples per video frame
LEGACY_SAMPLES = 128000  # 8 s
LEGACY_STEPS = LEGACY_SAMPLES // HOP
LEGACY_FRAMES = 200
SHORT_SAMPLES = 32000
SHORT_STEPS = SHORT_SAMPLES // HOP  # LT
HEAD_BATCH = 8
CHANNELS = 640
LAYERS, WIDTH = 12, 768
HIDDEN = 64
BANDS = 32
KERNEL = 400
POOL = 32                # running mean half-width in steps (+-2560 samples)
STEP_OF_FRAME = 1598.0 / 199.0
OPSET = 17
EPS = 1e-6


def _mel(f):
    return 2595.0 * np.log10(1.0 + f / 700.0)


def _imel(m):
    return 700.0 * (10.0 ** (m / 2595.0) - 1.0)


def band_centres():
    return _imel(np.linspace(_mel(100.0), _mel(6500.0), BANDS))


def _band_mask(lo, hi):
    c = band_centres()
    return torch.tensor(((c >= lo) & (c < hi)).astype(np.float32)).view(1, BANDS, 1)


def normalise(buf):
    """Zero mean, unit variance over the whole buffer (padding included):
    mean and population variance in double, the scale in float."""
    x = np.asarray(buf, np.float64)
    mean = x.mean()
    var = ((x - mean) ** 2).mean()
    scale = np.float32(1.0 / math.sqrt(var + 1e-7))
    return ((x - mean).astype(np.float32) * scale).astype(np.float32)


class Trunk(nn.Module):
    def __init__(self, seed):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 7919 + 11)
        n = torch.arange(KERNEL, dtype=torch.float64)
        hann = 0.5 - 0.5 * torch.cos(2 * math.pi * (n + 0.5) / KERNEL)
        norm = math.sqrt(float((hann ** 2).sum()) / 2.0)
        freqs = torch.tensor(band_centres(), dtype=torch.float64)
        phase = 2 * math.pi * freqs[:, None] * (n[None, :] - (KERNEL - 1) / 2.0) / RATE
        w = torch.cat([hann * torch.cos(phase), hann * torch.sin(phase)])
        w = (w - hann * (w.sum(1, keepdim=True) / hann.sum())) / norm  # no response to a constant offset
        self.filters = nn.Conv1d(1, 2 * BANDS, KERNEL, stride=HOP, bias=False)
        self.filters.weight.data = w.float().unsqueeze(1)
        self.register_buffer("voiced_band", _band_mask(150.0, 1500.0))
        self.register_buffer("f1_low", _band_mask(200.0, 480.0))
        self.register_buffer("f1_high", _band_mask(480.0, 1100.0))
        self.register_buffer("spread_high", _band_mask(1800.0, 4200.0))
        self.register_buffer("spread_low", _band_mask(150.0, 1100.0))
        self.mix = nn.Conv1d(BANDS + 2, CHANNELS - 2, 3, padding=1)
        self.mix.weight.data = torch.randn(self.mix.weight.shape, generator=g) * (1.2 / math.sqrt(3 * (BANDS + 2)))
        self.mix.bias.data = torch.randn(self.mix.bias.shape, generator=g) * 0.1
        self.pool = nn.AvgPool1d(2 * POOL + 1, stride=1, padding=POOL, count_include_pad=False)

    def forward(self, x):
        # The edge sample continues past the buffer's ends: a window's edge
        # is then no louder than its neighbourhood.
        y = self.filters(F.pad(x.unsqueeze(1), ((KERNEL - HOP) // 2, (KERNEL - HOP) // 2), mode="replicate"))
        p = y * y
        e = p[:, :BANDS] + p[:, BANDS:]                      # band energies [1, 32, S]
        total = e.sum(1, keepdim=True)
        log_total = torch.log(total + EPS)
        gate = torch.sigmoid(2.0 * (log_total + 4.6))        # ~1 above 0.1, ~0 in digital silence
        shape = torch.log(e + EPS) - log_total               # spectral shape: no global gain in it
        running = torch.log(self.pool(total) + EPS)
        voiced_e = (e * self.voiced_band).sum(1, keepdim=True)
        rel = torch.log(voiced_e + EPS) - running            # voiced energy against the running mean
        voiced = torch.sigmoid(3.0 * (rel + 1.5))
        f1 = torch.log((e * self.f1_high).sum(1, keepdim=True) + EPS) - torch.log(
            (e * self.f1_low).sum(1, keepdim=True) + EPS)
        opening = gate * voiced * (0.35 + 0.65 * torch.sigmoid(1.5 * f1 + 0.5))
        tilt = torch.log((e * self.spread_high).sum(1, keepdim=True) + EPS) - torch.log(
            (e * self.spread_low).sum(1, keepdim=True) + EPS)
        spread = opening * torch.tanh(0.5 * (tilt + 2.0))
        core = torch.cat([gate * torch.clamp(shape, -12.0, 0.0) * 0.25, gate * torch.clamp(rel, -6.0, 3.0) * 0.3,
                          opening], 1)
        rest = gate * torch.tanh(self.mix(core))
        return torch.cat([opening, spread, rest], 1)          # [1, 640, S]


class Head(nn.Module):
    def __init__(self, seed):
        super().__init__()
        g = torch.Generator().manual_seed(seed * 7919 + 23)
        self.inp = nn.Linear(CHANNELS, HIDDEN)
        w = torch.randn(HIDDEN, CHANNELS, generator=g) * (1.5 / math.sqrt(CHANNELS))
        w[:2] = 0.0
        w[0, 0] = 1.0
        w[1, 1] = 1.0
        self.inp.weight.data = w
        self.inp.bias.data = torch.zeros(HIDDEN)
        self.out = nn.Linear(HIDDEN, LAYERS * WIDTH, bias=False)
        scale = torch.linspace(0.6, 1.4, LAYERS).repeat_interleave(WIDTH)[:, None]  # deeper layers louder
        self.out.weight.data = torch.randn(LAYERS * WIDTH, HIDDEN, generator=g) * scale * (1.0 / math.sqrt(HIDDEN))
        self._pinv = {}

    def hidden(self, x):
        return torch.tanh(self.inp(x))

    def forward(self, x):
        return self.out(self.hidden(x))

    def readout(self, unit, layers=None):
        """A vector r with r . emb = hidden unit `unit` (emb: all 9216 values,
        or with `layers` the mean of those layers' 768-vectors)."""
        key = None if layers is None else tuple(layers)
        if key not in self._pinv:
            w = self.out.weight.data.double()
            if layers is not None:
                w = w.view(LAYERS, WIDTH, HIDDEN)[list(layers)].mean(0)
            self._pinv[key] = torch.linalg.pinv(w).float()
        return self._pinv[key][unit].clone()


def interpolation_matrix():
    """[1600, 200]: column a mixes steps floor(q) and floor(q)+1, q = a*1598/199."""
    m = np.zeros((LEGACY_STEPS, LEGACY_FRAMES), np.float32)
    for a in range(LEGACY_FRAMES):
        q = a * STEP_OF_FRAME
        r = int(math.floor(q))
        f = q - r
        m[r, a] += 1.0 - f
        m[min(r + 1, LEGACY_STEPS - 1), a] += f
    return m


class Legacy(nn.Module):
    def __init__(self, trunk, head):
        super().__init__()
        self.trunk, self.head = trunk, head
        self.register_buffer("resample", torch.from_numpy(interpolation_matrix()))

    def forward(self, input_values):
        steps = self.trunk(input_values)[0]                    # [640, 1600]
        frames = torch.matmul(steps, self.resample).t()          # [200, 640]
        emb = self.head(frames)                                  # [200, 9216]
        return emb.view(LEGACY_FRAMES, LAYERS, WIDTH).transpose(0, 1)


class ShortTrunk(nn.Module):
    def __init__(self, trunk):
        super().__init__()
        self.trunk = trunk

    def forward(self, input_values):
        return self.trunk(input_values).half()


class Features:
    """The trunk and head of one seed, and the three exported graphs."""

    def __init__(self, seed):
        self.trunk = Trunk(seed).eval()
        self.head = Head(seed).eval()
        self.legacy = Legacy(self.trunk, self.head).eval()
        self._windows = {}  # the 8-second runs already made, by window content


    def export(self):
        """{member name: ModelProto} of the three graphs, each checked."""
        out = {}
        out["audio/w2v.onnx"] = export(self.legacy, [torch.zeros(1, LEGACY_SAMPLES)], ["input_values"],
                                       ["audio_emb"], {"audio_emb": (LAYERS, LEGACY_FRAMES, WIDTH)})
        out["audio/audio_encoder_fp16_window_trunk.onnx"] = export(
            ShortTrunk(self.trunk), [torch.zeros(1, SHORT_SAMPLES)], ["input_values"], ["features"],
            {"features": (1, CHANNELS, SHORT_STEPS)})
        out["audio/audio_encoder_fp16_window_head.onnx"] = export(
            self.head, [torch.zeros(HEAD_BATCH, CHANNELS)], ["x"], ["emb"], {"emb": (HEAD_BATCH, LAYERS * WIDTH)})
        return out

    # NumPy/PyTorch versions of what the library computes with these graphs.

    def legacy_window(self, buf):
        """audio_emb [12, 200, 768] of one normalised 128000-sample window."""
        key = hashlib.sha1(buf.tobytes()).digest()
        if key not in self._windows:
            with torch.no_grad():
                self._windows[key] = self.legacy(torch.from_numpy(buf[None])).numpy()
        return self._windows[key]

    def trunk_window(self, buf):
        with torch.no_grad():
            return self.trunk(torch.from_numpy(buf[None])).half().numpy()[0]

    def head_rows(self, x):
        with torch.no_grad():
            return self.head(torch.from_numpy(np.asarray(x, np.float32))).numpy()

    def legacy_frames(self, samples, frames, six_mean=False, half=True):
        """Feature frames 0..frames-1 [frames, 9216] the way the library's
        8-second path commits them after finish (windows every 100 frames;
        the first window from frame 0, later ones from their frame 50).
        six_mean: the mean of layers 4..9 [frames, 768] instead (no rounding)."""
        out = np.zeros((frames, WIDTH if six_mean else LAYERS * WIDTH), np.float32)
        done = 0
        w = 0
        while True:
            buf = np.zeros(LEGACY_SAMPLES, np.float32)
            chunk = samples[w * FRAME:w * FRAME + LEGACY_SAMPLES]
            buf[:len(chunk)] = chunk
            emb = self.legacy_window(normalise(buf))
            lo = 0 if w == 0 else 50
            for j in range(lo, LEGACY_FRAMES):
                f = w + j
                if f >= frames or f < done:
                    continue
                if six_mean:
                    out[f] = emb[4:10, j].sum(0) / 6.0
                else:
                    row = emb[:, j].reshape(-1)
                    out[f] = row.astype(np.float16).astype(np.float32) if half else row
            done = min(frames, w + LEGACY_FRAMES)
            if w + 100 >= frames:
                break
            w += 100
        return out

    def short_frames(self, samples, frames, win_right=12):
        """Feature frames [frames, 9216] of the short-window path after finish:
        one trunk window per 8 frames ending at (win_right + w + 8)*640, each
        frame interpolated where the 8-second geometry places it."""
        starts = list(range(0, frames, HEAD_BATCH))
        counted = len(samples)
        bufs = np.zeros((len(starts), SHORT_SAMPLES), np.float32)
        origins = []
        for n, w in enumerate(starts):
            j_end = (win_right + w + HEAD_BATCH) * FRAME
            n0 = j_end - SHORT_SAMPLES
            lo, hi = max(n0, 0), min(counted, j_end)
            if hi > lo:
                bufs[n, lo - n0:hi - n0] = samples[lo:hi]
            bufs[n] = normalise(bufs[n])
            origins.append(n0)
        with torch.no_grad():
            trunks = self.trunk(torch.from_numpy(bufs)).half().float().numpy()  # [windows, 640, 400]
        x = np.zeros((len(starts) * HEAD_BATCH, CHANNELS), np.float32)
        for n, (w, n0) in enumerate(zip(starts, origins)):
            for k in range(HEAD_BATCH):
                x[n * HEAD_BATCH + k] = short_position(trunks[n], n0, w + k)
        emb = self.head_rows(x).astype(np.float16).astype(np.float32)
        return emb[:frames]


def short_position(trunk, n0, i):
    """The 640 features of frame i from a trunk window [640, 400] starting at
    sample n0: linear interpolation at the step the 8-second geometry gives
    the frame, rounded to half precision."""
    if i < 200:
        a, base = i, 0
    else:
        a, base = (i % 100) + 100, (i // 100 * 100 - 100) * FRAME
    q = (base - n0) / HOP + a * STEP_OF_FRAME
    r = int(math.floor(q))
    if r < 0 or r >= SHORT_STEPS:
        raise RuntimeError("w2v_win: trunk pos out of range")
    f = np.float32(q - r)
    v = trunk[:, r] * (np.float32(1.0) - f) + trunk[:, min(r + 1, SHORT_STEPS - 1)] * f
    return v.astype(np.float16).astype(np.float32)


def export(module, args, input_names, output_names, static_outputs, dynamic_axes=None):
    """torch.onnx.export at opset 17, output shapes stamped (the exporter
    leaves some symbolic), onnx.checker full check; returns the ModelProto."""
    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(module, tuple(args), buf, input_names=input_names, output_names=output_names,
                          opset_version=OPSET, do_constant_folding=True, dynamic_axes=dynamic_axes)
    proto = onnx.load_from_string(buf.getvalue())
    for out in proto.graph.output:
        dims = static_outputs.get(out.name)
        if dims is None:
            continue
        shape = out.type.tensor_type.shape
        while len(shape.dim) < len(dims):
            shape.dim.add()
        for d, v in zip(shape.dim, dims):
            d.Clear()
            if isinstance(v, str):
                d.dim_param = v
            else:
                d.dim_value = v
    onnx.checker.check_model(proto, full_check=True)
    return proto
