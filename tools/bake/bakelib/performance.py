"""The scripted performance of the drive track: talking (the mouth opens
and closes), a smile, raised brows, each easing in and out, over the
identity frames of the looping driver clip."""
import math

import numpy as np

from .avatar import CROP_SIDE, KP

# Keypoint displacements (head units) of each expression at full strength.
_OPEN = {"lip_lower_inner": (0.0, 0.13), "lip_lower_outer": (0.0, 0.12), "lip_upper_inner": (0.0, -0.028),
         "lip_upper_outer": (0.0, -0.012), "chin": (0.0, 0.1), "jaw_l": (0.0, 0.05), "jaw_r": (0.0, 0.05),
         "mouth_l_corner": (0.02, 0.03), "mouth_r_corner": (-0.02, 0.03)}
_SMILE = {"mouth_l_corner": (-0.065, -0.06), "mouth_r_corner": (0.065, -0.06), "lip_upper_outer": (0.0, -0.01),
          "lip_upper_inner": (0.0, -0.006), "lip_lower_outer": (0.0, -0.015), "eye_l_lower": (0.0, -0.015),
          "eye_r_lower": (0.0, -0.015)}
_BROWS = {"brow_l_outer": (0.0, -0.075), "brow_l_inner": (0.0, -0.09), "brow_r_inner": (0.0, -0.09),
          "brow_r_outer": (0.0, -0.075), "forehead": (0.0, -0.02)}


def _table(expr):
    d = np.zeros((len(KP), 2))
    for name, v in expr.items():
        d[KP[name]] = v
    return d


EXPRESSIONS = {"open": _table(_OPEN), "smile": _table(_SMILE), "brows": _table(_BROWS)}


def _bump(t, a, b):
    """0 outside [a, b], rising smoothly to 1 in the middle."""
    if t <= a or t >= b:
        return 0.0
    return math.sin(math.pi * (t - a) / (b - a)) ** 2


def controls(j, frames):
    """Strengths (open, smile, brows) of drive frame j of `frames`: talking in
    the first half, then a smile, then raised brows, neutral at both ends."""
    t = (j + 0.5) / frames
    syllables = max(2, round(frames / 25.0 * 3.0))  # about three syllables a second of talk
    talk = 0.0
    if 0.08 <= t < 0.5:
        phase = (t - 0.08) / 0.42 * syllables
        talk = math.sin(math.pi * (phase % 1.0)) ** 1.5 * (0.65 + 0.35 * math.sin(2.3 * math.floor(phase) + 1.0) ** 2)
    return talk, _bump(t, 0.48, 0.74), _bump(t, 0.7, 0.96)


def drive_track(xs_target, frames):
    """(xs, xd, si) of the drive track: identity frames in clip order
    (si = j mod NT), source keypoints of those frames, and driven keypoints
    that add the scripted expression."""
    nt = xs_target.shape[0]
    si = (np.arange(frames) % nt).astype(np.int32)
    xs = xs_target[si].astype(np.float32)
    xd = xs.copy()
    to_crop = 2.0 / CROP_SIDE  # head units -> normalised crop units
    for j in range(frames):
        strength = controls(j, frames)
        delta = sum(s * EXPRESSIONS[k] for s, k in zip(strength, ("open", "smile", "brows")))
        xd[j, :, :2] += (delta * to_crop).astype(np.float32)
    return xs, xd, si
