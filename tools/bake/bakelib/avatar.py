"""The demo person: a procedurally drawn head, neck and shoulders on a
background, its 21 keypoints, and the driver clip's motion (sway, a small
nod, one blink per loop).

Geometry lives in *head units*: the face outline is 1.44 wide and 1.94 tall,
the origin is near the centre of the face, y grows downwards. The driver
canvas places the resting head at a fixed point and scale; every frame then
moves the head sprite by a small similarity (roll about the neck, sway) and
a vertical squash (the nod)."""
import math

import numpy as np
import torch
import torch.nn.functional as F

from .paint import Layer, sd_ellipse, sd_polyline, smoothstep

KEYPOINT_NAMES = (
    "brow_l_outer", "brow_l_inner", "brow_r_inner", "brow_r_outer",
    "eye_l_upper", "eye_l_lower", "eye_r_upper", "eye_r_lower",
    "nose_bridge", "nose_tip", "nose_base",
    "mouth_l_corner", "mouth_r_corner",
    "lip_upper_outer", "lip_upper_inner", "lip_lower_inner", "lip_lower_outer",
    "jaw_l", "jaw_r", "chin", "forehead",
)
KP = {name: i for i, name in enumerate(KEYPOINT_NAMES)}
KEYPOINT_GROUPS = {
    "brows": (0, 1, 2, 3), "eyes": (4, 5, 6, 7), "nose": (8, 9, 10),
    "lips": (11, 12, 13, 14, 15, 16), "jaw": (17, 18, 19), "head": (20,),
}

# Depth of each keypoint in front of the face plane (head units): the third
# keypoint coordinate.
_DEPTH = np.array([0.22, 0.27, 0.27, 0.22, 0.2, 0.2, 0.2, 0.2, 0.3, 0.45, 0.36,
                   0.22, 0.22, 0.3, 0.28, 0.28, 0.3, -0.1, -0.1, 0.2, 0.25])

# Face outline: an ellipse whose lower half narrows towards the chin.
_FACE_C, _FACE_RX, _FACE_RY = (0.0, 0.05), 0.72, 0.97
_EYE_C, _EYE_RX, _EYE_RY = (0.28, -0.06), 0.125, 0.062
_MOUTH_Y, _MOUTH_HALF = 0.52, 0.215
PIVOT = np.array([0.0, 0.95])  # the neck: the head rolls and nods about it

# Where the face crop sits on the head (centre, side) in head units.
CROP_CENTRE = np.array([0.0, 0.08])
CROP_SIDE = 2.7


def _jaw_taper(y):
    return 1.0 - 0.22 * smoothstep(0.25, 1.0, y)


def sd_face(x, y):
    t = _jaw_taper(y)
    return sd_ellipse(x / t, y, _FACE_C[0], _FACE_C[1], _FACE_RX, _FACE_RY) * t


def _lip_q(x):
    return np.clip(1.0 - (x / _MOUTH_HALF) ** 2, 0.0, 1.0)


def lip_upper_y(x):
    q = _lip_q(x)
    return _MOUTH_Y - 0.065 * q + 0.012 * np.exp(-(x / 0.035) ** 2) * q


def lip_lower_y(x):
    return _MOUTH_Y + 0.095 * _lip_q(x) ** 0.8


def mouth_line_y(x):
    return _MOUTH_Y + 0.006 * _lip_q(x)


def _eye_top(x, cx):
    return _EYE_C[1] - _EYE_RY * np.sqrt(np.clip(1.0 - ((x - cx) / _EYE_RX) ** 2, 0.0, 1.0))


def _eye_bottom(x, cx):
    return _EYE_C[1] + _EYE_RY * np.sqrt(np.clip(1.0 - ((x - cx) / _EYE_RX) ** 2, 0.0, 1.0))


def _lid_y(x, cx, closure):
    top, bottom = _eye_top(x, cx), _eye_bottom(x, cx)
    return top + closure * (bottom - top)


def keypoints_head(closure):
    """The 21 keypoints (x, y, depth) in head units for an eye closure in 0..1."""
    ex, ey = _EYE_C
    jaw_y = 0.5
    # The jaw keypoints sit just inside the outline of the tapered ellipse at jaw_y.
    jaw_x = 0.96 * _FACE_RX * math.sqrt(1.0 - ((jaw_y - _FACE_C[1]) / _FACE_RY) ** 2) * float(_jaw_taper(jaw_y))
    upper_lid = float(_lid_y(ex, ex, closure * 0.96))
    pts = [
        (-0.41, -0.262), (-0.13, -0.252), (0.13, -0.252), (0.41, -0.262),
        (-ex, upper_lid), (-ex, ey + _EYE_RY), (ex, upper_lid), (ex, ey + _EYE_RY),
        (0.0, -0.06), (0.0, 0.24), (0.0, 0.325),
        (-_MOUTH_HALF, _MOUTH_Y), (_MOUTH_HALF, _MOUTH_Y),
        (0.0, float(lip_upper_y(0.0))), (0.0, float(mouth_line_y(0.0)) - 0.008),
        (0.0, float(mouth_line_y(0.0)) + 0.008), (0.0, float(lip_lower_y(0.0))),
        (-jaw_x, jaw_y), (jaw_x, jaw_y), (0.0, _FACE_C[1] + _FACE_RY - 0.02), (0.0, -0.6),
    ]
    return np.concatenate([np.array(pts), _DEPTH[:, None]], axis=1)


class Look:
    """Colours of one person, varied a little by the seed."""

    def __init__(self, rng):
        j = lambda base, amt: np.clip(np.array(base) + rng.uniform(-amt, amt, 3), 0.0, 1.0)
        self.skin = j((0.86, 0.67, 0.55), 0.04)
        self.hair = j((0.24, 0.16, 0.11), 0.04)
        self.lips = j((0.74, 0.38, 0.39), 0.03)
        self.mouth = np.array((0.2, 0.06, 0.07))
        self.iris = j((0.33, 0.42, 0.50), 0.06)
        self.shirt = j((0.22, 0.36, 0.55), 0.06)
        self.bg_top = j((0.60, 0.66, 0.69), 0.03)
        self.bg_bottom = j((0.40, 0.46, 0.50), 0.03)


def _r(radius, px):
    """Stroke half-width that never drops below a visible fraction of a pixel."""
    return max(radius, 0.6 * px)


def draw_head(layer, look, closure):
    px = layer.px
    skin, hair = look.skin, look.hair

    def hair_color(x, y):
        strands = 0.86 + 0.14 * np.sin(38.0 * x + 7.0 * y) * np.cos(5.0 * y)
        return hair * strands[..., None]

    def skin_shade(x, y):
        r2 = (x / _FACE_RX) ** 2 + ((y - _FACE_C[1]) / _FACE_RY) ** 2
        shade = 1.02 - 0.16 * r2 ** 1.5 - 0.05 * np.clip(x, -1, 1)
        blush = 0.22 * (np.exp(-((x - 0.4) ** 2 + (y - 0.27) ** 2) / 0.018)
                        + np.exp(-((x + 0.4) ** 2 + (y - 0.27) ** 2) / 0.018))
        base = skin * shade[..., None]
        return base * (1.0 - blush[..., None]) + look.lips * blush[..., None]

    hair_sd = lambda x, y: sd_ellipse(x, y, 0.0, -0.22, 0.9, 1.0)
    hair_bottom = lambda x: 0.38 - 0.8 * np.maximum(np.abs(x) - 0.68, 0.0)
    layer.paint((-0.95, -1.25, 0.95, 0.4), lambda x, y: np.maximum(hair_sd(x, y), y - hair_bottom(x)), hair_color)
    for s in (-1.0, 1.0):
        layer.paint((s * 0.71 - 0.1, -0.11, s * 0.71 + 0.1, 0.23),
                    lambda x, y, s=s: sd_ellipse(x, y, s * 0.71, 0.06, 0.09, 0.16), skin * 0.9)
        layer.paint((s * 0.72 - 0.05, -0.04, s * 0.72 + 0.05, 0.16),
                    lambda x, y, s=s: sd_ellipse(x, y, s * 0.72, 0.06, 0.035, 0.09), skin * 0.72, 0.7)
    layer.paint((-0.75, -0.95, 0.75, 1.05), sd_face, skin_shade)

    hairline = lambda x: -0.5 + 0.33 * (x / 0.75) ** 2 + 0.035 * np.sin(9.0 * x)
    layer.paint((-0.95, -1.25, 0.95, 0.0),
                lambda x, y: np.maximum(hair_sd(x, y), y - hairline(x)), hair_color)

    for s in (-1.0, 1.0):
        brow = [(s * 0.12, -0.245), (s * 0.2, -0.275), (s * 0.3, -0.29), (s * 0.42, -0.258)]
        layer.paint((s * 0.27 - 0.2, -0.34, s * 0.27 + 0.2, -0.2),
                    lambda x, y, b=brow: sd_polyline(x, y, b, [_r(0.034, px), _r(0.032, px), _r(0.026, px),
                                                               _r(0.014, px)]), hair * 0.75)

    for s in (-1.0, 1.0):
        cx, cy = s * _EYE_C[0], _EYE_C[1]
        eye_sd = lambda x, y, cx=cx: sd_ellipse(x, y, cx, cy, _EYE_RX, _EYE_RY)
        box = (cx - 0.16, cy - 0.12, cx + 0.16, cy + 0.09)
        layer.paint(box, eye_sd, (0.95, 0.94, 0.92))
        layer.paint(box, lambda x, y, e=eye_sd, cx=cx: np.maximum(np.hypot(x - cx, y - cy) - 0.056, e(x, y)),
                    look.iris)
        layer.paint(box, lambda x, y, cx=cx: np.hypot(x - cx, y - cy) - 0.025, (0.05, 0.04, 0.04))
        layer.paint(box, lambda x, y, cx=cx: np.hypot(x - cx - 0.02, y - cy + 0.02) - _r(0.011, px),
                    (0.97, 0.97, 0.97))
        if closure > 0.0:
            layer.paint(box, lambda x, y, e=eye_sd, cx=cx: np.maximum(e(x, y) - 0.012, y - _lid_y(x, cx, closure)),
                        skin * 0.96)
        xs = np.linspace(cx - _EYE_RX * 1.02, cx + _EYE_RX * 1.02, 13)
        lid = np.stack([xs, _lid_y(xs, cx, closure)], 1)
        layer.paint(box, lambda x, y, p=lid: sd_polyline(x, y, p, _r(0.011, px)), (0.13, 0.08, 0.07))
        low = np.stack([xs, _eye_bottom(xs, cx)], 1)
        layer.paint(box, lambda x, y, p=low: sd_polyline(x, y, p, _r(0.005, px)), skin * 0.72, 0.8)
        crease = np.stack([xs, _eye_top(xs, cx) - 0.035], 1)
        layer.paint(box, lambda x, y, p=crease: sd_polyline(x, y, p, _r(0.006, px)), skin * 0.8, 0.6)

    layer.paint((0.0, -0.05, 0.14, 0.33),
                lambda x, y: sd_polyline(x, y, [(0.05, -0.02), (0.07, 0.2), (0.095, 0.29)], _r(0.012, px)),
                skin * 0.8, 0.55)
    layer.paint((-0.12, 0.27, 0.12, 0.36),
                lambda x, y: sd_polyline(x, y, [(-0.09, 0.3), (0.0, 0.335), (0.09, 0.3)], _r(0.008, px)),
                skin * 0.78, 0.7)
    for s in (-1.0, 1.0):
        layer.paint((s * 0.055 - 0.05, 0.29, s * 0.055 + 0.05, 0.34),
                    lambda x, y, s=s: sd_ellipse(x, y, s * 0.055, 0.315, 0.03, 0.015), (0.36, 0.2, 0.18))
    layer.paint((-0.06, 0.18, 0.06, 0.26), lambda x, y: sd_ellipse(x, y, 0.0, 0.22, 0.04, 0.03),
                np.clip(skin * 1.1, 0, 1), 0.5)

    mouth_box = (-_MOUTH_HALF - 0.03, _MOUTH_Y - 0.1, _MOUTH_HALF + 0.03, _MOUTH_Y + 0.12)
    layer.paint(mouth_box, lambda x, y: np.maximum(lip_upper_y(x) - y, y - mouth_line_y(x)), look.lips * 0.88)

    def lower_lip_color(x, y):
        hi = 0.12 * np.exp(-((x / 0.07) ** 2 + ((y - _MOUTH_Y - 0.05) / 0.02) ** 2))
        return np.clip(look.lips * (1.0 + hi)[..., None], 0, 1)

    layer.paint(mouth_box, lambda x, y: np.maximum(mouth_line_y(x) - y, y - lip_lower_y(x)), lower_lip_color)
    xs = np.linspace(-_MOUTH_HALF, _MOUTH_HALF, 17)
    line = np.stack([xs, mouth_line_y(xs)], 1)
    radii = [_r(0.006 + 0.01 * float(_lip_q(v)), px) for v in xs]
    layer.paint(mouth_box, lambda x, y: sd_polyline(x, y, line, radii), look.mouth)
    layer.paint((-0.12, 0.66, 0.12, 0.74), lambda x, y: sd_ellipse(x, y, 0.0, 0.7, 0.1, 0.025), skin * 0.88, 0.4)


def draw_scene(layer, look, rng):
    """Background, neck and shoulders: everything that does not move."""
    x, y = layer.grids()
    t = np.clip((y - y.min()) / max(y.max() - y.min(), 1e-9), 0, 1)[..., None]
    bg = look.bg_top * (1 - t) + look.bg_bottom * t
    # Smooth, seeded texture so the wall is not a flat field.
    noise = torch.from_numpy(rng.standard_normal((1, 1, 9, 16)))
    noise = F.interpolate(noise, size=(layer.h, layer.w), mode="bicubic", align_corners=False)[0, 0].numpy()
    bg = bg * (1.0 + 0.025 * noise[..., None])
    layer.rgb[:] = bg
    layer.alpha[:] = 1.0
    window = lambda x, y: np.maximum(np.abs(x + 2.9) - 0.7, np.abs(y + 0.6) - 1.0) - 0.05
    layer.paint((-4.0, -1.8, -1.8, 0.6), window, np.clip(look.bg_top * 1.18, 0, 1), 0.85)
    layer.paint((-4.0, -1.8, -1.8, 0.6),
                lambda x, y: np.minimum(np.abs(x + 2.9), np.abs(y + 0.6)) - 0.025 + 0.0 * x,
                look.bg_bottom * 0.8, lambda x, y: (window(x, y) < 0) * 0.9)

    def neck_color(x, y):
        shade = 0.74 + 0.14 * smoothstep(0.65, 1.15, y) - 0.05 * x
        return look.skin * shade[..., None]

    layer.paint((-0.4, 0.3, 0.4, 1.9),
                lambda x, y: np.maximum(np.abs(x) - 0.27, np.abs(y - 1.1) - 0.7), neck_color)
    shoulders = lambda x, y: np.maximum(1.32 + 0.11 * x * x - y, sd_ellipse(x, y, 0.0, 2.9, 2.15, 1.9))

    def shirt_color(x, y):
        fold = 0.9 + 0.08 * np.cos(2.2 * x) + 0.03 * np.sin(7.0 * x + 3.0 * y)
        return look.shirt * fold[..., None]

    layer.paint((-2.3, 1.2, 2.3, 6.0), shoulders, shirt_color)
    collar = lambda x, y: np.maximum(1.3 - y, np.abs(x) - (0.27 - 0.45 * (y - 1.32)))
    layer.paint((-0.4, 1.25, 0.4, 2.0), collar, neck_color)
    for s in (-1.0, 1.0):
        layer.paint((-0.5, 1.25, 0.5, 2.0),
                    lambda x, y, s=s: sd_polyline(x, y, [(s * 0.3, 1.33), (0.0, 1.93)], _r(0.02, layer.px)),
                    look.shirt * 0.7)


def rotation(theta):
    c, s = math.cos(theta), math.sin(theta)
    return np.array([[c, -s], [s, c]])


class Avatar:
    """One person on one canvas with an NT-frame looping driver clip."""

    def __init__(self, width, height, nt, seed):
        self.W, self.H, self.NT = int(width), int(height), int(nt)
        rng = np.random.default_rng(seed)
        self.look = Look(rng)
        self.unit = 0.195 * self.H  # canvas pixels per head unit
        self.centre = np.array([(self.W - 1) * 0.5, 0.42 * self.H])
        self._scene_rng = np.random.default_rng(seed + 7919)
        self._scene = None
        self._sprites = {}
        self.blink_centre = 0.4

    # -- motion -----------------------------------------------------------
    def pose(self, i):
        t = (i % self.NT) / self.NT
        closure = max(0.0, 1.0 - abs(t - self.blink_centre) * self.NT / 2.2)
        return {
            "roll": math.radians(2.5) * math.sin(2 * math.pi * t),
            "dx": 0.06 * math.sin(2 * math.pi * t + 0.4),
            "dy": 0.02 * math.sin(4 * math.pi * t),
            "squash": 0.025 * math.sin(4 * math.pi * t),
            "closure": round(closure, 2),
        }

    def head_affine(self, i):
        """2x3 map from head units to canvas pixel coordinates for frame i."""
        p = self.pose(i)
        lin = rotation(p["roll"]) @ np.diag([1.0, 1.0 - p["squash"]])
        off = -lin @ PIVOT + PIVOT + np.array([p["dx"], p["dy"]])
        return np.concatenate([self.unit * lin, (self.unit * off + self.centre)[:, None]], 1)

    def crop_affine(self, i, crop):
        """M for frame i: crop pixel coordinates to canvas pixel coordinates.
        The crop follows the head's position and half its roll, as a face
        tracker's smoothed box would, so the face still moves a little inside
        the crop."""
        p = self.pose(i)
        rot = rotation(0.5 * p["roll"])
        step = CROP_SIDE / crop
        origin = CROP_CENTRE + (0.5 * step - 0.5 * CROP_SIDE)  # head coords of crop pixel (0, 0)
        lin = self.unit * step * rot
        off = self.unit * (rot @ (origin - PIVOT) + PIVOT + np.array([p["dx"], p["dy"]])) + self.centre
        return np.concatenate([lin, off[:, None]], 1)

    def keypoints_canvas(self, i):
        kp = keypoints_head(self.pose(i)["closure"])
        a = self.head_affine(i)
        return kp[:, :2] @ a[:, :2].T + a[:, 2]

    def keypoints_crop(self, i, crop):
        """(21, 3) keypoints of frame i in the crop's normalised coordinates:
        x and y in -1..1 across the crop (pixel centres at (2k+1)/crop - 1),
        depth in the same scale."""
        m = self.crop_affine(i, crop)
        q = np.linalg.solve(m[:, :2], (self.keypoints_canvas(i) - m[:, 2]).T).T
        xy = (2.0 * q + 1.0) / crop - 1.0
        depth = keypoints_head(0.0)[:, 2] * (2.0 / CROP_SIDE)
        return np.concatenate([xy, depth[:, None]], 1)

    # -- pictures ---------------------------------------------------------
    def scene(self):
        if self._scene is None:
            px = 1.0 / self.unit
            layer = Layer((-0.5 - self.centre[0]) * px, (-0.5 - self.centre[1]) * px, self.W, self.H, px)
            draw_scene(layer, self.look, self._scene_rng)
            self._scene = torch.from_numpy(np.clip(layer.rgb, 0, 1).astype(np.float32)).permute(2, 0, 1)
        return self._scene

    def sprite(self, closure):
        if closure not in self._sprites:
            px = 1.0 / self.unit
            x0, y0, x1, y1 = -1.1, -1.3, 1.1, 1.15
            layer = Layer(x0, y0, math.ceil((x1 - x0) / px), math.ceil((y1 - y0) / px), px)
            draw_head(layer, self.look, closure)
            rgba = np.concatenate([layer.rgb * layer.alpha[..., None], layer.alpha[..., None]], 2)
            self._sprites[closure] = (torch.from_numpy(rgba.astype(np.float32)).permute(2, 0, 1)[None],
                                      (x0, y0, layer.w * px, layer.h * px))
        return self._sprites[closure]

    def frame(self, i):
        """Driver frame i as float32 RGB, (3, H, W), values 0..1."""
        sprite, (sx0, sy0, sw, sh) = self.sprite(self.pose(i)["closure"])
        a = self.head_affine(i)
        corners = np.array([[sx0, sy0], [sx0 + sw, sy0], [sx0, sy0 + sh], [sx0 + sw, sy0 + sh]])
        cc = corners @ a[:, :2].T + a[:, 2]
        j0, i0 = np.maximum(np.floor(cc.min(0)).astype(int) - 1, 0)
        j1, i1 = np.minimum(np.ceil(cc.max(0)).astype(int) + 2, [self.W, self.H])
        out = self.scene().clone()
        if j0 >= j1 or i0 >= i1:
            return out
        jj, ii = np.meshgrid(np.arange(j0, j1, dtype=np.float64), np.arange(i0, i1, dtype=np.float64))
        inv = np.linalg.inv(a[:, :2])
        hx = inv[0, 0] * (jj - a[0, 2]) + inv[0, 1] * (ii - a[1, 2])
        hy = inv[1, 0] * (jj - a[0, 2]) + inv[1, 1] * (ii - a[1, 2])
        grid = np.stack([2.0 * (hx - sx0) / sw - 1.0, 2.0 * (hy - sy0) / sh - 1.0], -1)
        grid = torch.from_numpy(grid.astype(np.float32))[None]
        warped = F.grid_sample(sprite, grid, mode="bilinear", padding_mode="zeros", align_corners=False)[0]
        region = out[:, i0:i1, j0:j1]
        out[:, i0:i1, j0:j1] = warped[:3] + region * (1.0 - warped[3:4])
        return out

    def frame_u8(self, i):
        f = self.frame(i)
        return (f.clamp(0, 1) * 255.0 + 0.5).to(torch.uint8).permute(1, 2, 0).contiguous().numpy()
