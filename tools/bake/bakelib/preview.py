"""A picture of a driver frame with its keypoints drawn, for documentation."""
import numpy as np
import torch
import torch.nn.functional as F

from .avatar import KEYPOINT_GROUPS

GROUP_COLOURS = {"brows": (255, 196, 0), "eyes": (0, 200, 255), "nose": (255, 255, 255),
                 "lips": (255, 60, 90), "jaw": (120, 255, 80), "head": (200, 120, 255)}


def keypoint_picture(frame, keypoints, max_width=960):
    """`frame` (3, H, W) float 0..1 and canvas keypoints (21, 2) -> uint8
    (h, w, 3): the frame scaled to at most max_width pixels wide with one
    outlined dot per keypoint, coloured by feature."""
    _, h, w = frame.shape
    s = min(1.0, max_width / w)
    size = (max(1, round(h * s)), max(1, round(w * s)))
    img = F.interpolate(frame[None], size=size, mode="bilinear", align_corners=False, antialias=True)[0]
    img = img.clamp(0, 1).permute(1, 2, 0).numpy().astype(np.float64)
    pts = (np.asarray(keypoints) + 0.5) * s - 0.5
    radius = max(2.0, 3.0 * size[1] / 960)
    yy, xx = np.mgrid[0:size[0], 0:size[1]]
    for group, idx in KEYPOINT_GROUPS.items():
        colour = np.array(GROUP_COLOURS[group]) / 255.0
        for k in idx:
            d = np.hypot(xx - pts[k, 0], yy - pts[k, 1])
            ring = np.clip(radius + 1.5 - d, 0, 1)[..., None]
            img = img * (1 - ring) + 0.1 * ring
            dot = np.clip(radius + 0.5 - d, 0, 1)[..., None]
            img = img * (1 - dot) + colour * dot
    return (np.clip(img, 0, 1) * 255 + 0.5).astype(np.uint8)
