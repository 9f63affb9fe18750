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
    # A tight aperture tolerance keeps retrieval on the donors whose opening
    # matches the mouth; a new leader takes over after one win once the old
    # one has held two frames, so the teeth keep up with fast speech.
    return {
        "format": "tessera_head.v1",
        "retrieval": {"kshort": 8, "aperture_tol": 0.05, "K": 2},
        "temporal": {"cut": 2, "hysteresis": 1, "lookahead": 1},
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
MAX_APERTURE = 0.45  # the widest inner-lip gap over mouth width the bank covers


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


def rest_mouth(xs_target, crop):
    """Mouth width (corner to corner) and the widest inner-lip gap over that
    width among the identity frames, in crop pixels."""
    import numpy as np
    width = np.abs(xs_target[:, 12, 0] - xs_target[:, 11, 0]) * crop / 2.0
    aperture = (xs_target[:, 15, 1] - xs_target[:, 14, 1]) * crop / 2.0 / np.maximum(width, 1e-6)
    return float(width.mean()), float(aperture.max())


# Tooth boundaries across the mouth, in units of the half width (centre out).
_UPPER_TEETH = (0.0, 0.19, 0.36, 0.51, 0.64, 0.76)
_LOWER_TEETH = (0.0, 0.13, 0.26, 0.39, 0.51, 0.62)
CAVITY = (48, 14, 20)
TONGUE = (78, 24, 32)
TOOTH = (234, 230, 218)
LIP = (150, 62, 66)


def mouth_patch(h, w, aperture, centre, rest_width, crop, ss=3):
    """One reference mouth interior, h x w RGB8, drawn in crop pixels around
    `centre` (patch coordinates of the mouth centre) for an inner-lip gap of
    `aperture` x the mouth width: a dark cavity between the inner lips, the
    upper teeth hanging from the upper lip and the lower teeth standing on the
    lower one, each tooth rounded at its tip and shaded towards the corners,
    and a dark tongue behind the lower teeth. Around the cavity lies flat lip
    colour, which the lip contour keeps out of the mouth. The cavity grows
    with the aperture, so in aperture order the opening only grows."""
    import numpy as np
    width = rest_width
    hw = width / 2.0
    gap = aperture * width
    # A warping renderer parts the lips less than the inner-lip keypoints say
    # (here about half as far): their edges lie about `rim` inside the
    # keypoints. The teeth start that far in, under a dark rim, and the
    # cavity reaches past the keypoints, so the mask's feather darkens the
    # lip edge instead of laying lip colour on it.
    rim = 0.22 * gap
    slack = max(0.5, crop / 128.0)
    cx, cy = centre
    # Only the box around the cavity is drawn, supersampled so the edges come
    # out anti-aliased; the rest of the patch is lip.
    x0 = int(np.clip(np.floor(cx - hw) - 1, 0, w))
    x1 = int(np.clip(np.ceil(cx + hw) + 2, x0, w))
    y0 = int(np.clip(np.floor(cy - gap / 2.0 - slack) - 1, 0, h))
    y1 = int(np.clip(np.ceil(cy + gap / 2.0 + slack) + 2, y0, h))
    o = (np.arange(ss) + 0.5) / ss - 0.5
    yy = (np.arange(y0, y1)[:, None] + o[None, :]).reshape(-1)
    xx = (np.arange(x0, x1)[:, None] + o[None, :]).reshape(-1)
    y, x = np.meshgrid(yy, xx, indexing="ij")
    u = (x - cx) / hw
    lens = np.sqrt(np.clip(1.0 - u * u, 0.0, 1.0))
    top = cy - (gap / 2.0 + slack) * lens
    bottom = cy + (gap / 2.0 + slack) * lens
    cavity = (np.abs(u) < 1.0) & (y >= top) & (y <= bottom)

    img = np.empty(y.shape + (3,), np.float32)
    img[:] = LIP
    img[cavity] = CAVITY
    # Tongue: a low dome behind the lower teeth once the mouth is open.
    tongue = cavity & (((x - cx) / (0.6 * hw)) ** 2 + ((y - (cy + gap / 2.0 - rim)) / max(0.45 * gap, 1e-6)) ** 2 <= 1.0)
    img[tongue] = TONGUE

    def teeth(bounds, tip_y, upper):
        au = np.abs(u)
        # The teeth show from just inside the lips' parted edge.
        root = (cy - (gap / 2.0 - rim) * lens) if upper else (cy + (gap / 2.0 - rim) * lens)
        inside = np.zeros(y.shape, bool)
        shade = np.ones(y.shape, np.float32)
        for k in range(len(bounds) - 1):
            a, b = bounds[k], bounds[k + 1]
            sel = (au >= a) & (au < b)
            mid, half = (a + b) / 2.0, (b - a) / 2.0
            t = (au - mid) / half  # -1..1 across the tooth
            # Rounded tip: the edge recedes towards the tooth's sides.
            edge = tip_y - (1 if upper else -1) * 0.14 * (b - a) * hw * t * t
            # The tooth recedes into the mouth towards the corners.
            edge = edge - (1 if upper else -1) * 0.25 * (gap / 2.0) * (au / bounds[-1]) ** 2
            sel &= ((y <= edge) & (y >= root)) if upper else ((y >= edge) & (y <= root))
            inside |= sel
            seam = np.clip(1.0 - (1.0 - np.abs(t)) * half * hw / max(0.6, crop / 512.0), 0.0, 1.0)
            shade = np.where(sel, (1.0 - 0.3 * seam) * (1.0 - 0.3 * (au / bounds[-1]) ** 2), shade)
        return inside & cavity, shade

    shown = max(0.0, gap - 2.0 * rim)  # the parted lips' gap
    up_len = min(0.5 * shown, 0.17 * width)
    lo_len = min(0.25 * shown, 0.09 * width)
    upper, up_shade = teeth(_UPPER_TEETH, cy - gap / 2.0 + rim + up_len, True)
    lower, lo_shade = teeth(_LOWER_TEETH, cy + gap / 2.0 - rim - lo_len, False)
    tooth = np.array(TOOTH, np.float32)
    img[lower] = tooth * lo_shade[lower, None] * 0.92
    img[upper] = tooth * up_shade[upper, None]
    out = np.empty((h, w, 3), np.float32)
    out[:] = LIP
    out[y0:y1, x0:x1] = img.reshape(y1 - y0, ss, x1 - x0, ss, 3).mean(axis=(1, 3))
    return np.clip(np.round(out), 0, 255).astype(np.uint8)


def bank(xs_target, crop, n_donors, seed):
    """The donors (patches in donor order), their apertures and centres, the
    canonical centre, the track order and the stamp."""
    import numpy as np
    rng = np.random.default_rng(seed)
    stamp = geometry_stamp(xs_target, crop)
    bh, bw = band_size(stamp)
    rest_width, rest_aperture = rest_mouth(xs_target, crop)
    # Apertures in the pass's unit: inner-lip gap over mouth width. The
    # smallest lies above the identity's own closed mouth and opens the
    # contour's arcs (each inset from its keypoints) by a visible margin; a
    # mouth below it keeps its lips untouched.
    smallest = max(1.6 * rest_aperture, (2.0 * lip_inset_px(crop) + crop / 256.0) / rest_width)
    aperture = np.linspace(smallest, MAX_APERTURE, n_donors)
    c_canon = [stamp["window_x0"] + stamp["window_w"] / 2.0, stamp["window_y0"] + stamp["window_h"] / 2.0]
    mouth = xs_target[:, (11, 12, 14, 15), :2].reshape(-1, 2).mean(0)
    centre = [_px(float(mouth[0]), crop), _px(float(mouth[1]), crop)]
    # Each donor's mouth sits a whole number of pixels off the mean mouth (the
    # pass moves it back by its recorded centre).
    step = max(1, crop // 256)
    cent = [[centre[0] + step * int(rng.integers(-1, 2)), centre[1] + step * int(rng.integers(-1, 2))]
            for _ in range(n_donors)]
    # Patch pixel (0, 0) is crop pixel (band origin - shift margin).
    ox = stamp["window_x0"] + stamp["band_c0"] - stamp["shift_margin"]
    oy = stamp["window_y0"] + stamp["band_r0"] - stamp["shift_margin"]
    patches = np.stack([mouth_patch(bh, bw, float(a), (c[0] - ox, c[1] - oy), rest_width, crop)
                        for a, c in zip(aperture, cent)])
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


def lip_template(xs_target, crop):
    """The inner-lip contour of the mean mouth in the crop's normalised
    coordinates, one keypoint row per vertex: the two corners (drawn in a
    little, where the lips meet) move with the corner rows, five vertices on
    each inner lip over the middle of the mouth move with their lip's inner
    row. Between a corner and the arcs the contour runs straight, inside the
    curve of the parted lips. The arcs lie `inset` inside the inner-lip
    keypoints: a warping renderer parts the lips less than its keypoints do,
    and the mask must not reach over them."""
    m = xs_target[:, :, :2].mean(0)
    cx = (m[11][0] + m[12][0]) / 2.0
    cy = (m[11][1] + m[12][1]) / 2.0
    hw = abs(m[12][0] - m[11][0]) / 2.0
    inset = 2.0 * lip_inset_px(crop) / crop  # pixels to normalised units
    up, lo = m[14][1] + inset, m[15][1] - inset
    arc = (0.3, 0.15, 0.0, -0.15, -0.3)
    poly, rows = [[cx + 0.88 * hw, cy]], [12]
    poly += [[cx + f * hw, lo] for f in arc]
    rows += [15] * len(arc)
    poly += [[cx - 0.88 * hw, cy]]
    rows += [11]
    poly += [[cx - f * hw, up] for f in arc]
    rows += [14] * len(arc)
    poly = [[round(float(a), 6), round(float(b), 6)] for a, b in poly]
    return {"format": "lip-template-v1", "edge": "outward", "canvas": crop,
            "feather_px": max(1.0, crop / 256.0), "u_canon": poly, "lip_idx": rows}


def lip_inset_px(crop):
    """How far the contour's arcs lie inside the inner-lip keypoints."""
    return crop / 128.0


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
