"""Per-identity-frame members derived from the face crop: the warp prior P,
the pooled appearance features, the FeatSynth features, and the paste mask."""
import math

import numpy as np
import torch
import torch.nn.functional as F

from .avatar import CROP_CENTRE, CROP_SIDE

POOLED_SHAPE = (64, 32, 32)
FS_RED_SHAPE = (64, 64, 64)  # 262,144 values per identity frame


def _gaussian_blur(img, sigma):
    """Separable Gaussian blur of a (C, H, W) tensor with replicated borders."""
    r = max(1, int(math.ceil(3.0 * sigma)))
    x = torch.arange(-r, r + 1, dtype=torch.float32)
    k = torch.exp(-x * x / (2.0 * sigma * sigma))
    k = (k / k.sum()).to(img.dtype)
    c = img.shape[0]
    out = F.pad(img[None], (r, r, r, r), mode="replicate")
    out = F.conv2d(out, k.view(1, 1, 1, -1).repeat(c, 1, 1, 1), groups=c)
    out = F.conv2d(out, k.view(1, 1, -1, 1).repeat(c, 1, 1, 1), groups=c)
    return out[0]


def cut_crop(frame, m, crop):
    """The crop x crop face crop of `frame` ((3, H, W) float tensor, 0..1)
    through the 2x3 map `m` from crop pixel to frame pixel coordinates
    (pixel centres at integers), sampled bilinearly. A crop that shrinks the
    frame is first low-passed so the sampling does not alias."""
    m = np.asarray(m, np.float64)
    scale = math.sqrt(abs(np.linalg.det(m[:, :2])))
    if scale > 1.2:
        frame = _gaussian_blur(frame, 0.5 * math.sqrt(scale * scale - 1.0))
    _, h, w = frame.shape
    q = np.arange(crop, dtype=np.float64)
    qx, qy = np.meshgrid(q, q)
    px = m[0, 0] * qx + m[0, 1] * qy + m[0, 2]
    py = m[1, 0] * qx + m[1, 1] * qy + m[1, 2]
    grid = np.stack([(2.0 * px + 1.0) / w - 1.0, (2.0 * py + 1.0) / h - 1.0], -1)
    grid = torch.from_numpy(grid.astype(np.float32))[None]
    out = F.grid_sample(frame[None].float(), grid, mode="bilinear", padding_mode="border", align_corners=False)
    return out[0].clamp(0.0, 1.0)


def _projection(seed):
    g = torch.Generator().manual_seed(seed * 7 + 3)
    return torch.randn(57, 36, generator=g) / 6.0, torch.randn(57, generator=g) * 0.1


def pooled_features(crops, seed):
    """64x32x32 appearance features per crop ((N, 3, c, c) -> (N, 64, 32, 32)):
    mean colour, luma, its gradients and local contrast, then 57 fixed
    random projections of each cell's 3x3 colour-and-luma neighbourhood."""
    rgb = F.adaptive_avg_pool2d(crops.float(), POOLED_SHAPE[1:])
    luma = 0.299 * rgb[:, 0:1] + 0.587 * rgb[:, 1:2] + 0.114 * rgb[:, 2:3]
    padded = F.pad(luma, (1, 1, 1, 1), mode="replicate")
    gx = 0.5 * (padded[:, :, 1:-1, 2:] - padded[:, :, 1:-1, :-2])
    gy = 0.5 * (padded[:, :, 2:, 1:-1] - padded[:, :, :-2, 1:-1])
    mean3 = F.avg_pool2d(padded, 3, stride=1)
    contrast = torch.sqrt(torch.clamp(F.avg_pool2d(padded * padded, 3, stride=1) - mean3 * mean3, min=0.0))
    four = torch.cat([rgb, luma], 1)
    patches = F.unfold(F.pad(four, (1, 1, 1, 1), mode="replicate"), 3)  # (N, 36, 1024)
    w, b = _projection(seed)
    proj = torch.tanh(torch.einsum("kc,ncl->nkl", w, patches - 0.5) + b[None, :, None])
    proj = proj.view(-1, 57, *POOLED_SHAPE[1:])
    return torch.cat([rgb, luma, gx * 8.0, gy * 8.0, contrast * 8.0, proj], 1)


def featsynth_geometry(crop):
    """(side, block) of the FeatSynth features: the crop is kept at `side`
    (at most 256) and stored pixel-unshuffled by `block` into 64x64 planes."""
    side = min(crop, 256)
    if crop % 64 or side % 64:
        raise ValueError(f"the FeatSynth variant needs a crop that is a multiple of 64, not {crop}")
    return side, side // 64


def featsynth_features(crops):
    """fs_red rows ((N, 3, c, c) -> (N, 64, 64, 64)): the crop reduced to
    `side` pixels, pixel-unshuffled (channel c*k*k + dy*k + dx holds colour c
    at offset (dy, dx) of each k x k block). Channels past 3*k*k are zero."""
    n, _, crop, _ = crops.shape
    side, block = featsynth_geometry(crop)
    small = F.adaptive_avg_pool2d(crops.float(), side) if side != crop else crops.float()
    planes = F.pixel_unshuffle(small, block) if block > 1 else small
    out = torch.zeros((n,) + FS_RED_SHAPE)
    out[:, :planes.shape[1]] = planes
    return out


def paste_mask(crop):
    """crop x crop uint8 feathered face mask: opaque over the face, fading to
    zero across the outer fifth of an ellipse around it."""
    step = CROP_SIDE / crop
    q = (np.arange(crop) + 0.5) * step - 0.5 * CROP_SIDE
    hx, hy = np.meshgrid(q + CROP_CENTRE[0], q + CROP_CENTRE[1])
    r = np.sqrt((hx / 0.8) ** 2 + ((hy - 0.1) / 1.1) ** 2)
    t = np.clip((r - 0.8) / 0.2, 0.0, 1.0)
    alpha = 1.0 - t * t * (3.0 - 2.0 * t)
    return np.round(alpha * 255.0).astype(np.uint8)
