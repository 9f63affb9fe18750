"""The director networks: PyTorch modules that turn an identity frame and
source/driving keypoints into a face crop, and their ONNX export.

Per frame the standard director
  1. computes a backward flow on a coarse grid from the keypoints: each
     keypoint pulls the pixels around its driven position towards its source
     position, weighted by a Gaussian, normalised against a constant
     background weight so that far from every keypoint nothing moves;
  2. upsamples the flow to the crop and adds it to the identity sampling
     grid;
  3. builds the source cone: the second differences Dxx, Dyy and the mixed
     Dxxyy of P_rgb with replicated borders, concatenated after P_rgb into
     one 12-channel tensor (the only Concat that reads P_rgb);
  4. samples that tensor once (GridSample: bilinear, border, align_corners 0)
     and recombines Y = v - hx*Dxx - hy*Dyy + hx*hy*Dxxyy, hx and hy being
     (1 - f) * f / 2 of the fractional parts of the unnormalised sampling
     coordinates: bilinear interpolation with its curvature error removed;
  5. clamps Y to 0..1 and adds a per-frame colour correction, the spatial
     mean of the pooled appearance features times a 64x3 weight (the 2-D
     MatMul "/s2/blend");
  6. adds a head detail branch (two convolutions at half resolution, the
     second's output upsampled by a cubic x2 Resize) and clamps to 0..1.

The FeatSynth director takes the reduced feature rows (fs_red) instead of
P_rgb and rebuilds the source image from them before step 3."""
import io
import math
import warnings

import numpy as np
import onnx
import onnx.numpy_helper
import torch
import torch.nn as nn
import torch.nn.functional as F

from .avatar import CROP_SIDE, KEYPOINT_GROUPS, KEYPOINT_NAMES
from .identity import FS_RED_SHAPE, POOLED_SHAPE, featsynth_geometry

OPSET = 17
BLEND_NODE = "/s2/blend"
STANDARD_INPUTS = ("pooled64", "P_rgb", "kp_driving", "kp_source")
FEATSYNTH_INPUTS = ("fs_red", "pooled", "kd", "ks")
OUTPUT = "rgb"
BACKGROUND_WEIGHT = 0.02

# Reach of each keypoint's pull (Gaussian sigma along x and y, head units).
# The lips reach wide and, vertically, about half the widest opening, so an
# opening mouth stretches the dark line between the lips over the gap
# instead of folding lip texture into it.
_SIGMA_BY_GROUP = {"brows": (0.08, 0.06), "eyes": (0.06, 0.04), "nose": (0.08, 0.08), "lips": (0.1, 0.06),
                   "jaw": (0.15, 0.15), "head": (0.25, 0.25)}
_SIGMA_BY_NAME = {"mouth_l_corner": (0.05, 0.05), "mouth_r_corner": (0.05, 0.05), "chin": (0.14, 0.12),
                  "lip_upper_inner": (0.1, 0.08), "lip_lower_inner": (0.1, 0.08)}


def keypoint_sigmas():
    """Per-keypoint Gaussian sigmas (K, 2) in normalised crop units."""
    s = np.zeros((len(KEYPOINT_NAMES), 2))
    for group, idx in KEYPOINT_GROUPS.items():
        s[list(idx)] = _SIGMA_BY_GROUP[group]
    for name, v in _SIGMA_BY_NAME.items():
        s[KEYPOINT_NAMES.index(name)] = v
    return s * (2.0 / CROP_SIDE)


def pixel_centres(n):
    """Normalised coordinates (align_corners 0) of n pixel centres."""
    return (torch.arange(n, dtype=torch.float32) * 2.0 + 1.0) / n - 1.0


def motion_grid(crop):
    """Side of the coarse motion grid: 64, or the crop when it is smaller."""
    g = min(64, crop)
    if crop % g:
        raise ValueError(f"crop {crop} is not a multiple of the {g}-cell motion grid")
    return g


class Motion(nn.Module):
    """Keypoints -> sampling grid (B, 2, crop, crop), channel 0 = x."""

    def __init__(self, crop):
        super().__init__()
        g = motion_grid(crop)
        self.g, self.crop = g, crop
        lin = pixel_centres(g)
        gy, gx = torch.meshgrid(lin, lin, indexing="ij")
        self.register_buffer("coarse", torch.stack([gx, gy], -1).reshape(1, 1, g * g, 2))
        lin = pixel_centres(crop)
        gy, gx = torch.meshgrid(lin, lin, indexing="ij")
        self.register_buffer("identity", torch.stack([gx, gy], 0)[None])
        inv = 1.0 / (2.0 * keypoint_sigmas() ** 2)
        self.register_buffer("inv_two_sigma2", torch.tensor(inv, dtype=torch.float32).view(1, -1, 1, 2))

    def forward(self, kp_driving, kp_source):
        b = kp_driving.shape[0]
        xd = kp_driving[:, :, 0:2]
        xs = kp_source[:, :, 0:2]
        diff = self.coarse - xd[:, :, None, :]                       # (B, K, G*G, 2)
        w = torch.exp(-(diff * diff * self.inv_two_sigma2).sum(-1))  # (B, K, G*G)
        pull = torch.matmul((xs - xd).transpose(1, 2), w)            # (B, 2, G*G)
        flow = (pull / (w.sum(1, keepdim=True) + BACKGROUND_WEIGHT)).reshape(b, 2, self.g, self.g)
        if self.crop != self.g:
            flow = F.interpolate(flow, scale_factor=float(self.crop // self.g), mode="bilinear",
                                 align_corners=False)
        return self.identity + flow


class Warp(nn.Module):
    """Curvature-corrected bilinear warp of a 3-channel source by a grid."""

    def forward(self, source, grid):
        size = source.shape[-1]
        u = ((grid + 1.0) * size - 1.0) * 0.5
        frac = u - torch.floor(u)
        h = (1.0 - frac) * frac * 0.5
        hx, hy = h[:, 0:1], h[:, 1:2]
        p = F.pad(source, (1, 1, 1, 1), mode="replicate")
        dxx_rows = p[:, :, :, :-2] - 2.0 * p[:, :, :, 1:-1] + p[:, :, :, 2:]  # every padded row
        dxx = dxx_rows[:, :, 1:-1, :]
        dyy = p[:, :, :-2, 1:-1] - 2.0 * p[:, :, 1:-1, 1:-1] + p[:, :, 2:, 1:-1]
        dxxyy = dxx_rows[:, :, :-2, :] - 2.0 * dxx_rows[:, :, 1:-1, :] + dxx_rows[:, :, 2:, :]
        tip = torch.cat([source, dxx, dyy, dxxyy], 1)
        s = F.grid_sample(tip, grid.permute(0, 2, 3, 1), mode="bilinear", padding_mode="border",
                          align_corners=False)
        return s[:, 0:3] - hx * s[:, 3:6] - hy * s[:, 6:9] + hx * hy * s[:, 9:12]


class Blend(nn.Module):
    """Per-frame colour correction from the pooled appearance features."""

    def __init__(self):
        super().__init__()
        self.weight = nn.Parameter(torch.zeros(POOLED_SHAPE[0], 3))
        self.bias = nn.Parameter(torch.zeros(3))

    def forward(self, image, pooled):
        corr = torch.matmul(pooled.mean((2, 3)), self.weight) + self.bias
        return image + corr[:, :, None, None]


class Head(nn.Module):
    """Detail branch: half-resolution convolutions, cubic x2, residual."""

    def __init__(self):
        super().__init__()
        self.down = nn.Conv2d(3, 16, 3, stride=2, padding=1)
        self.up = nn.Conv2d(16, 3, 3, padding=1)

    def forward(self, image):
        detail = self.up(F.relu(self.down(image)))
        detail = F.interpolate(detail, scale_factor=2.0, mode="bicubic", align_corners=False)
        return torch.clamp(image + detail, 0.0, 1.0)


class StandardDirector(nn.Module):
    input_names = STANDARD_INPUTS

    def __init__(self, crop):
        super().__init__()
        self.crop = crop
        self.motion = Motion(crop)
        self.warp = Warp()
        self.s2 = Blend()
        self.head = Head()

    def render(self, source, pooled, kd, ks):
        y = self.warp(source, self.motion(kd, ks))
        return self.head(self.s2(torch.clamp(y, 0.0, 1.0), pooled))

    def forward(self, pooled64, P_rgb, kp_driving, kp_source):
        return self.render(P_rgb, pooled64, kp_driving, kp_source)

    def example_inputs(self, batch):
        return {"pooled64": (batch,) + POOLED_SHAPE, "P_rgb": (batch, 3, self.crop, self.crop),
                "kp_driving": (batch, len(KEYPOINT_NAMES), 3), "kp_source": (batch, len(KEYPOINT_NAMES), 3)}


class FeatSynthDirector(StandardDirector):
    input_names = FEATSYNTH_INPUTS

    def __init__(self, crop):
        super().__init__(crop)
        self.side, self.block = featsynth_geometry(crop)

    def source(self, fs_red):
        planes = fs_red.reshape((fs_red.shape[0],) + FS_RED_SHAPE)[:, 0:3 * self.block * self.block]
        img = F.pixel_shuffle(planes, self.block) if self.block > 1 else planes
        if self.side != self.crop:
            img = F.interpolate(img, scale_factor=float(self.crop // self.side), mode="bilinear",
                                align_corners=False)
        return img

    def forward(self, fs_red, pooled, kd, ks):
        return self.render(self.source(fs_red), pooled, kd, ks)

    def example_inputs(self, batch):
        shapes = super().example_inputs(batch)
        return {"fs_red": (batch, int(np.prod(FS_RED_SHAPE))), "pooled": shapes["pooled64"],
                "kd": shapes["kp_driving"], "ks": shapes["kp_source"]}


def build_director(crop, seed, featsynth=False):
    """A director with deterministic weights: a grey-world colour correction
    plus small seeded terms, and a head that adds back a quarter of the
    half-resolution high-pass (a mild sharpening) plus small seeded terms."""
    model = (FeatSynthDirector if featsynth else StandardDirector)(crop)
    g = torch.Generator().manual_seed(seed * 1000003 + 17)
    with torch.no_grad():
        w = torch.randn(POOLED_SHAPE[0], 3, generator=g) * 0.004
        w[0:3] = -0.06 * torch.eye(3)
        model.s2.weight.copy_(w)
        model.s2.bias.copy_(torch.full((3,), 0.03))
        down = torch.randn(16, 3, 3, 3, generator=g) * 0.05
        high_pass = -torch.ones(3, 3) / 9.0
        high_pass[1, 1] += 1.0
        for c in range(3):
            down[2 * c].zero_()
            down[2 * c + 1].zero_()
            down[2 * c, c] = high_pass
            down[2 * c + 1, c] = -high_pass
        model.head.down.weight.copy_(down)
        bias = torch.randn(16, generator=g) * 0.02
        bias[0:6] = 0.0
        model.head.down.bias.copy_(bias)
        up = torch.randn(3, 16, 3, 3, generator=g) * 0.002
        for c in range(3):
            up[c, 2 * c, 1, 1] = 0.25
            up[c, 2 * c + 1, 1, 1] = -0.25
        model.head.up.weight.copy_(up)
        model.head.up.bias.zero_()
    return model.eval()


def export_onnx(model, batch):
    """Exports `model` at a static batch and returns the checked ModelProto
    with the blend MatMul renamed."""
    shapes = model.example_inputs(batch)
    args = tuple(torch.zeros(shapes[name]) for name in model.input_names)
    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(model, args, buf, input_names=list(model.input_names), output_names=[OUTPUT],
                          opset_version=OPSET, do_constant_folding=True)
    proto = onnx.load_from_string(buf.getvalue())
    # The exporter's own shape pass leaves the channel count of "rgb"
    # symbolic; the output is static like the inputs.
    dims = proto.graph.output[0].type.tensor_type.shape.dim
    for d, v in zip(dims, (batch, 3, model.crop, model.crop)):
        d.Clear()
        d.dim_value = v
    blend_weight = next(n for n, _ in model.named_parameters() if n == "s2.weight")
    for node in proto.graph.node:
        if node.op_type == "MatMul" and blend_weight in node.input:
            node.name = BLEND_NODE
    _fold_cone_padding(proto)
    onnx.checker.check_model(proto, full_check=True)
    problems = contract_problems(proto, model.input_names, shapes, model.crop)
    if problems:
        raise RuntimeError("exported director breaks its contract: " + "; ".join(problems))
    return proto


def _fold_cone_padding(proto):
    """The exporter computes the replicate padding's amounts with a chain of
    shape nodes it cannot fold (a reversing Slice). They are constant: one
    pixel on each side of H and W. Store them as an initializer and drop the
    chain, so the source cone is P_rgb and constants only."""
    g = proto.graph
    pads = [n for n in g.node if n.op_type == "Pad"]
    if len(pads) != 1:
        raise RuntimeError(f"expected the source cone's one Pad, found {len(pads)}")
    name = pads[0].name.rsplit("/", 1)[0] + "/pads"
    g.initializer.append(onnx.numpy_helper.from_array(np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64), name))
    pads[0].input[1] = name
    while True:  # drop nodes nothing reads any more
        used = {i for n in g.node for i in n.input} | {o.name for o in g.output}
        dead = [n for n in g.node if not any(o in used for o in n.output)]
        if not dead:
            break
        for n in dead:
            g.node.remove(n)
    used = {i for n in g.node for i in n.input}
    for t in [t for t in g.initializer if t.name not in used]:
        g.initializer.remove(t)


def _attrs(node):
    return {a.name: onnx.helper.get_attribute_value(a) for a in node.attribute}


def _value_dims(v):
    return tuple(d.dim_value if d.HasField("dim_value") else -1 for d in v.type.tensor_type.shape.dim)


def contract_problems(proto, input_names, shapes, crop):
    """What an exported director gets wrong about the contract the renderer,
    the load-time rewrites and the custom operators rely on (empty when all
    is well)."""
    g = proto.graph
    bad = []
    inits = {t.name: t for t in g.initializer}
    real_inputs = [v for v in g.input if v.name not in inits]
    if [v.name for v in real_inputs] != list(input_names):
        bad.append(f"inputs are {[v.name for v in real_inputs]}, expected {list(input_names)}")
    for v in real_inputs:
        if v.name in shapes and _value_dims(v) != tuple(shapes[v.name]):
            bad.append(f"input {v.name} has shape {_value_dims(v)}, expected {tuple(shapes[v.name])}")
        if v.type.tensor_type.elem_type != onnx.TensorProto.FLOAT:
            bad.append(f"input {v.name} is not float32")
    batch = next(iter(shapes.values()))[0]
    if [v.name for v in g.output] != [OUTPUT] or _value_dims(g.output[0]) != (batch, 3, crop, crop):
        bad.append(f"output must be {OUTPUT} {(batch, 3, crop, crop)}")
    if not any(o.domain in ("", "ai.onnx") and o.version in (16, 17) for o in proto.opset_import):
        bad.append("default opset is not 16 or 17")

    consumers = {}
    for n in g.node:
        for i in n.input:
            consumers.setdefault(i, []).append(n)
    blend = [n for n in g.node if n.name == BLEND_NODE]
    if len(blend) != 1 or blend[0].op_type != "MatMul" or len(blend[0].input) != 2:
        bad.append(f"expected one 2-input MatMul named {BLEND_NODE}")
    elif blend[0].input[1] not in inits or len(inits[blend[0].input[1]].dims) != 2:
        bad.append(f"{BLEND_NODE} does not multiply by a 2-D weight")

    if "P_rgb" in input_names:
        cats = [n for n in consumers.get("P_rgb", []) if n.op_type == "Concat"]
        if len(cats) != 1:
            bad.append(f"{len(cats)} Concat nodes read P_rgb, expected exactly one")
        else:
            samplers = [n for n in consumers.get(cats[0].output[0], []) if n.op_type == "GridSample"]
            if len(samplers) != 1:
                bad.append("the source cone's tip does not feed exactly one GridSample")
            else:
                a = _attrs(samplers[0])
                if (a.get("mode") != b"bilinear" or a.get("padding_mode") != b"border"
                        or a.get("align_corners", 0) != 0):
                    bad.append(f"the cone's GridSample is {a}, not bilinear/border/align_corners 0")
    cubic = [n for n in g.node if n.op_type == "Resize" and _attrs(n).get("mode") == b"cubic"]
    if len(cubic) != 1:
        bad.append(f"{len(cubic)} cubic Resize nodes, expected one")
    else:
        a = _attrs(cubic[0])
        producers = [n for n in g.node if cubic[0].input[0] in n.output]
        if (a.get("coordinate_transformation_mode") != b"half_pixel"
                or not math.isclose(a.get("cubic_coeff_a", -0.75), -0.75)
                or a.get("exclude_outside", 0) or len(cubic[0].input) != 3 or cubic[0].input[1] != ""):
            bad.append("the cubic Resize is not half_pixel / a=-0.75 / (data, '', scales)")
        elif not producers or producers[0].op_type != "Conv" or producers[0].input[1] not in inits:
            bad.append("the cubic Resize does not read a Conv with an initializer weight")
        else:
            scales = _constant_value(g, cubic[0].input[2])
            if scales is None or [float(v) for v in scales] != [1.0, 1.0, 2.0, 2.0]:
                bad.append(f"the cubic Resize scales are {scales}, not (1, 1, 2, 2)")
    return bad


def _constant_value(graph, name):
    for t in graph.initializer:
        if t.name == name:
            return onnx.numpy_helper.to_array(t).ravel().tolist()
    for n in graph.node:
        if n.op_type == "Constant" and name in n.output:
            return onnx.numpy_helper.to_array(_attrs(n)["value"]).ravel().tolist()
    return None
