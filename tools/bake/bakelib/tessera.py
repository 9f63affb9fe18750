"""The teeth borrow's members: the head network and its checkpoint, the
reference bank of mouth interiors, its sidecar, the serve configuration and
the lip template."""
import json
import os

HEAD_ENVELOPE_255 = 12


def _torch():
    import torch  # imported late: bakes without the borrow never need it
    return torch


def head_module(kind, seed):
    """BlendHead(16) ("full": candidate and synthesis branches, 4 082
    parameters) or BlendHead8(16) ("cand": candidate branch, 3 489)."""
    torch = _torch()
    nn = torch.nn

    class BlendHead(nn.Module):
        def __init__(self, width=16, synthesis=True):
            super().__init__()
            # Candidate branch: two donor patches (RGB each) and the mask in,
            # one blend logit out.
            self.cand = nn.Sequential(nn.Conv2d(7, width, 3, padding=1), nn.ReLU(),
                                      nn.Conv2d(width, width, 3, padding=1), nn.ReLU(),
                                      nn.Conv2d(width, 1, 3, padding=1))
            if synthesis:
                # Synthesis branch: the blended patch in, a bounded residual out.
                self.syn = nn.Sequential(nn.Conv2d(3, width, 3, padding=1), nn.ReLU(),
                                         nn.Conv2d(width, 1, 3, padding=1))

        def forward(self, x):
            return self.cand(x)

    torch.manual_seed(seed)
    m = BlendHead(16, synthesis=(kind == "full"))
    with torch.no_grad():
        for p in m.parameters():
            p.mul_(0.5)
    return m


def save_head(path, kind="full", seed=7):
    torch = _torch()
    m = head_module(kind, seed)
    torch.save(m.state_dict(), path)
    return sum(p.numel() for p in m.parameters())


def head_config():
    return {
        "format": "tessera_head.v1",
        "retrieval": {"kshort": 8, "aperture_tol": 0.15, "K": 2},
        "temporal": {"cut": 3, "hysteresis": 2, "lookahead": 2},
        "decode": {"envelope_clamp_255": HEAD_ENVELOPE_255},
    }


# ---------------------------------------------------------------- the bank

BANK_FILE = "tessera_bank.v1.mp4"
SIDECAR_FILE = "tessera_bank.v1.json"
HEAD_FILE = "tessera_head.v1.pt"
HEAD_CONFIG_FILE = "tessera_head.v1.json"
LIP_TEMPLATE_FILE = "lip_template.v1.json"
BANK_PIX_FMT = "gbrp"  # what the H.264 decoder hands back for an RGB track

LIP_ROWS = (11, 12, 13, 14, 15, 16)  # mouth corners, upper and lower lips
MAX_APERTURE = 0.4  # the widest inner-lip gap over mouth width the bank covers


def _px(v, crop):
    """Crop-normalised coordinate (-1..1, pixel centres at (2k+1)/crop - 1) to pixels."""
    return (v + 1.0) * crop / 2.0 - 0.5


def geometry_stamp(xs_target, crop):
    """The window around the mean mouth of the identity frames, the band
    inside it and the stored patch's pad and shift margin. Every stored side
    is even so the track encodes without padding."""
    import numpy as np
    lips = xs_target[:, LIP_ROWS, :2].reshape(-1, 2).mean(0)
    cx, cy = _px(lips[0], crop), _px(lips[1], crop)
    ww, wh = max(16, crop // 2), max(8, crop // 4)
    ww, wh = ww - ww % 2, wh - wh % 2
    x0 = int(np.clip(round(cx - ww / 2), 0, crop - ww))
    y0 = int(np.clip(round(cy - wh / 2), 0, crop - wh))
    pad = max(2, crop // 32)
    pad -= pad % 2
    mr, mc = max(2, wh // 8), max(2, ww // 8)
    mr -= mr % 2
    mc -= mc % 2
    return {"canvas_w": crop, "canvas_h": crop, "window_x0": x0, "window_y0": y0,
            "window_w": ww, "window_h": wh, "pad": pad,
            "band_r0": mr, "band_r1": wh - mr, "band_c0": mc, "band_c1": ww - mc,
            "shift_margin": pad}


def band_size(stamp):
    sm = stamp["shift_margin"]
    return (stamp["band_r1"] - stamp["band_r0"] + 2 * sm, stamp["band_c1"] - stamp["band_c0"] + 2 * sm)


def mouth_patch(h, w, aperture, rng):
    """One reference mouth interior, h x w RGB8: lips around a dark cavity
    whose height follows the aperture (0..1), an upper and a lower row of
    teeth with dark gaps, and a tongue when the mouth is wide open."""
    import numpy as np
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    u = (xx + 0.5) / w * 2.0 - 1.0
    v = (yy + 0.5) / h * 2.0 - 1.0
    lip = np.array([150, 62, 66], np.float32) + rng.uniform(-6, 6, 3)
    img = np.empty((h, w, 3), np.float32)
    img[:] = lip * (0.92 + 0.08 * (1.0 - np.abs(v)))[..., None]
    half_h = 0.12 + 0.78 * aperture
    cavity = (u / 0.92) ** 2 + (v / half_h) ** 2 <= 1.0
    img[cavity] = np.array([48, 14, 20], np.float32)
    teeth_h = 0.28 * half_h + 0.06
    gap = (np.abs(((u + 1.0) * 5.0) % 1.0 - 0.5) < 0.06)
    tooth = np.array([232, 226, 210], np.float32) + rng.uniform(-4, 4, 3)
    upper = cavity & (v < -half_h + teeth_h) & ~gap & (np.abs(u) < 0.75)
    lower = cavity & (v > half_h - teeth_h * 0.8) & ~gap & (np.abs(u) < 0.6)
    img[upper | lower] = tooth
    if aperture > 0.55:
        tongue = cavity & ((u / 0.5) ** 2 + ((v - half_h * 0.55) / (half_h * 0.35)) ** 2 <= 1.0) & ~lower
        img[tongue] = np.array([178, 72, 80], np.float32)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)


def bank(xs_target, crop, n_donors, seed):
    """The donors (patches in donor order), their apertures and centres, the
    canonical centre, the track order and the stamp."""
    import numpy as np
    rng = np.random.default_rng(seed)
    stamp = geometry_stamp(xs_target, crop)
    bh, bw = band_size(stamp)
    # Apertures in the pass's unit: inner-lip gap over mouth width.
    aperture = np.linspace(0.02, MAX_APERTURE, n_donors)
    c_canon = [stamp["window_x0"] + stamp["window_w"] / 2.0, stamp["window_y0"] + stamp["window_h"] / 2.0]
    cent = [[c_canon[0] + float(rng.uniform(-1, 1)) * crop / 64.0,
             c_canon[1] + float(rng.uniform(-1, 1)) * crop / 64.0] for _ in range(n_donors)]
    patches = np.stack([mouth_patch(bh, bw, float(a) / MAX_APERTURE, rng) for a in aperture])
    order = [int(i) for i in rng.permutation(n_donors)]
    return {"stamp": stamp, "patches": patches, "aperture": [float(a) for a in aperture],
            "cent": cent, "c_canon": c_canon, "track_order": order}


def encode_bank(patches, order, path, fps=25):
    """Track frame i is donor order[i]'s patch, H.264 lossless in RGB."""
    import subprocess
    n, h, w, _ = patches.shape
    raw = b"".join(patches[d].tobytes() for d in order)
    cmd = ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{w}x{h}",
           "-r", str(fps), "-i", "-", "-c:v", "libx264rgb", "-qp", "0", "-preset", "veryslow",
           "-threads", "1", "-pix_fmt", "rgb24", "-g", str(n), "-bf", "0",
           "-fflags", "+bitexact", "-flags", "+bitexact", "-map_metadata", "-1", "-f", "mp4", path]
    subprocess.run(cmd, input=raw, check=True)


def lip_template(xs_target, crop, vertices=12):
    """A closed polygon through the mean mouth corners and inner lips, in the
    crop's normalised coordinates, with the lip rows that deform it."""
    import numpy as np
    m = xs_target[:, :, :2].mean(0)
    cx, cy = (m[11] + m[12]) / 2.0
    half_w = abs(m[12][0] - m[11][0]) / 2.0
    up = max(abs(cy - m[14][1]), abs(cy - m[13][1]) * 0.6, 2.0 / crop)
    down = max(abs(m[15][1] - cy), abs(m[16][1] - cy) * 0.6, 2.0 / crop)
    poly = []
    for k in range(vertices):
        t = 2.0 * np.pi * k / vertices
        ry = up if np.sin(t) < 0 else down
        poly.append([round(float(cx + half_w * np.cos(t)), 6), round(float(cy + ry * np.sin(t)), 6)])
    return {"format": "lip-template-v1", "edge": "outward", "canvas": crop,
            "feather_px": max(1.0, crop / 64.0), "u_canon": poly, "lip_idx": list(LIP_ROWS)}


def write_members(writer, xs_target, crop, seed, n_donors):
    """Writes the four members and the lip template; returns the manifest's
    "tessera" block."""
    b = bank(xs_target, crop, n_donors, seed)
    encode_bank(b["patches"], b["track_order"], writer.path(BANK_FILE))
    writer.written.append(BANK_FILE)
    sidecar = {"format": "tessera_bank.v1", "n_donors": n_donors, "geometry": b["stamp"],
               "track_order": b["track_order"], "cent": b["cent"], "aperture": b["aperture"],
               "c_canon": b["c_canon"], "codec": {"codec": "h264", "pix_fmt": BANK_PIX_FMT}}
    writer.bytes(SIDECAR_FILE, (json.dumps(sidecar, indent=1) + "\n").encode())
    save_head(writer.path(HEAD_FILE), "full", seed)
    writer.written.append(HEAD_FILE)
    writer.bytes(HEAD_CONFIG_FILE, (json.dumps(head_config(), indent=1) + "\n").encode())
    writer.bytes(LIP_TEMPLATE_FILE, (json.dumps(lip_template(xs_target, crop)) + "\n").encode())
    return {"members": {"bank_track": BANK_FILE, "bank_sidecar": SIDECAR_FILE,
                        "head_weights": HEAD_FILE, "head_config": HEAD_CONFIG_FILE},
            "planes": ["rgb"], "geometry": b["stamp"], "bank_container": "mp4", "bank_codec": "h264",
            "bank_pix_fmt": BANK_PIX_FMT, "bank_packing": "rgb24_frames"}
