"""The fused "m4b" director: a learned low-resolution trunk that predicts the
motion, a warp of the source at full size and two convolutional refinement
branches. The library runs this one topology on its own fp16 engine as well
as on ONNX Runtime (src/director/le_conv.h restates the dataflow).

Per frame (crop 512):
  1. 21 Gaussian heatmaps of the driving keypoints on the 32x32 grid grid32
     (exp(-HEAT * |grid32 - kd|^2)) are stacked after the 64 pooled feature
     planes: 85 channels.
  2. pre: 1x1 conv 85 -> 96 with batch norm (folded by the exporter), ReLU.
     e0 3x3 96 -> 96 at 32; e1 3x3 stride 2 -> 144 at 16; e2 3x3 stride 2
     -> 192 at 8; d1 3x3 over [nearest x2 of e2, e1] (336) -> 144 at 16;
     d0 3x3 over [nearest x2 of d1, e0] (240) -> 96 at 32; ref 3x3 over the
     nearest x2 of d0 -> 48 at 64. All ReLU.
  3. mask (22) and occlusion (1) heads, 3x3 over ref at 64x64. The mask is a
     softmax over 21 keypoints plus a still background; the flow is the
     mask-weighted sum of the keypoints' backward displacements
     (kp_source - kp_driving, x and y); grid = grid64 + flow. The occlusion
     is a sigmoid.
  4. MLP (255 -> 128, ReLU -> 64) over [spatial mean of pooled64 (64),
     kp_driving (63), kp_source (63), kp_driving - kp_source (63), mean flow
     (2)], softmax: 64 weights of the appearance basis; the basis image is
     those weights times the (64, 3*256*256) basis.
  5. The grid is upsampled (bilinear x8) and samples P_rgb (bilinear,
     border, align_corners 0): the warped source at 512. The occlusion is
     upsampled bilinearly to 512 and 256.
  6. Correction branch at 256 over [2x2 mean of warped, basis image,
     occlusion] (7): corr0, corr1 (ReLU), corr2 -> 12 channels, pixel
     shuffle x2 -> 3 at 512. refined = occ * warped + (1 - occ) * nearest x2
     of the basis image + correction.
  7. Tile branch over [refined, warped, occlusion] (7) in six 256 x 208
     tiles (rows at 0 and 256, columns at 0, 152 and 304: the columns
     overlap by 56): tile0..tile2 (ReLU), tile3 -> 3 channels, each tile
     weighted by feather, summed into the crop and divided by the summed
     feather weights; rgb = clamp(refined + that residual, 0, 1)."""
import io
import warnings

import onnx
import torch
import torch.nn as nn
import torch.nn.functional as F

from .director import OPSET, STANDARD_INPUTS, pixel_centres
from .identity import POOLED_SHAPE

CROP = 512
HEAT = 60.0
TILE_H, TILE_W = 256, 208
TILE_ORIGINS = tuple((y, x) for y in (0, 256) for x in (0, 152, 304))
BASIS_SIDE = 256


class Block(nn.Module):
    def __init__(self, cin, cout, stride=1):
        super().__init__()
        self.conv = nn.Conv2d(cin, cout, 3, stride=stride, padding=1)

    def forward(self, x):
        return F.relu(self.conv(x))


def _up(x):
    return F.interpolate(x, scale_factor=2.0, mode="nearest")


class Stages(nn.Module):
    """The named stages; their parameter names are the graph's initializer
    names under the prefix "s."."""

    def __init__(self):
        super().__init__()
        self.pre = nn.Conv2d(85, 96, 1)
        self.pre_bn = nn.BatchNorm2d(96)
        self.e0 = Block(96, 96)
        self.e1 = Block(96, 144, 2)
        self.e2 = Block(144, 192, 2)
        self.d1 = Block(336, 144)
        self.d0 = Block(240, 96)
        self.ref = Block(96, 48)
        self.mask = nn.Conv2d(48, 22, 3, padding=1)
        self.occ = nn.Conv2d(48, 1, 3, padding=1)
        self.corr = nn.Sequential(Block(7, 24), Block(24, 24), nn.Conv2d(24, 12, 3, padding=1))
        self.tile = nn.Sequential(Block(7, 32), Block(32, 32), Block(32, 32), nn.Conv2d(32, 3, 3, padding=1))
        self.wmlp = nn.Sequential(nn.Linear(255, 128), nn.ReLU(), nn.Linear(128, 64))
        lin = pixel_centres(64)
        gy, gx = torch.meshgrid(lin, lin, indexing="ij")
        self.grid64 = nn.Parameter(torch.stack([gx, gy], -1))
        ramp_y = torch.minimum(torch.arange(TILE_H) + 1.0, TILE_H - torch.arange(TILE_H).float()) / 64.0
        ramp_x = torch.minimum(torch.arange(TILE_W) + 1.0, TILE_W - torch.arange(TILE_W).float()) / 64.0
        self.feather = nn.Parameter(torch.outer(ramp_y.clamp(0.05, 1.0), ramp_x.clamp(0.05, 1.0))[None, None])
        # Constants the exporter folds into freshly numbered tensors.
        lin = pixel_centres(32)
        gy, gx = torch.meshgrid(lin, lin, indexing="ij")
        self.register_buffer("grid32_flat", torch.stack([gx, gy], -1).reshape(-1))
        self.register_buffer("basis", torch.zeros(64, 3, BASIS_SIDE, BASIS_SIDE))


class M4bDirector(nn.Module):
    input_names = STANDARD_INPUTS

    def __init__(self):
        super().__init__()
        self.crop = CROP
        self.s = Stages()

    def forward(self, pooled64, P_rgb, kp_driving, kp_source):
        s = self.s
        b = pooled64.shape[0]
        kd, ks = kp_driving[:, :, 0:2], kp_source[:, :, 0:2]
        grid32 = s.grid32_flat.reshape(1, 1, 32, 32, 2)
        diff = grid32 - kd[:, :, None, None, :]
        heat = torch.exp(-HEAT * (diff * diff).sum(-1))
        x = F.relu(s.pre_bn(s.pre(torch.cat([pooled64, heat], 1))))
        e0 = s.e0(x)
        e1 = s.e1(e0)
        e2 = s.e2(e1)
        d1 = s.d1(torch.cat([_up(e2), e1], 1))
        d0 = s.d0(torch.cat([_up(d1), e0], 1))
        r = s.ref(_up(d0))
        mask = torch.softmax(s.mask(r), 1)
        occ = torch.sigmoid(s.occ(r))
        flow = torch.matmul(mask[:, 0:21].reshape(b, 21, 64 * 64).transpose(1, 2), ks - kd)
        grid = s.grid64 + flow.reshape(b, 64, 64, 2)

        feats = torch.cat([pooled64.mean((2, 3)), kp_driving.reshape(b, 63), kp_source.reshape(b, 63),
                           (kp_driving - kp_source).reshape(b, 63), flow.mean(1)], 1)
        w64 = torch.softmax(s.wmlp(feats), 1)
        basis_img = torch.matmul(w64, s.basis.reshape(64, -1)).reshape(b, 3, BASIS_SIDE, BASIS_SIDE)

        grid512 = F.interpolate(grid.permute(0, 3, 1, 2), scale_factor=8.0, mode="bilinear",
                                align_corners=False).permute(0, 2, 3, 1)
        warped = F.grid_sample(P_rgb, grid512, mode="bilinear", padding_mode="border", align_corners=False)
        occ512 = F.interpolate(occ, scale_factor=8.0, mode="bilinear", align_corners=False)
        occ256 = F.interpolate(occ, scale_factor=4.0, mode="bilinear", align_corners=False)

        corr = s.corr(torch.cat([F.avg_pool2d(warped, 2), basis_img, occ256], 1))
        refined = occ512 * warped + (1.0 - occ512) * _up(basis_img) + F.pixel_shuffle(corr, 2)

        tile_in = torch.cat([refined, warped, occ512], 1)
        tiles = torch.cat([tile_in[:, :, y:y + TILE_H, x:x + TILE_W] for y, x in TILE_ORIGINS], 0)
        tiles = s.tile(tiles) * s.feather
        residual = 0.0
        weight = 0.0
        for t, (y, x) in enumerate(TILE_ORIGINS):
            pad = (x, CROP - TILE_W - x, y, CROP - TILE_H - y)
            residual = residual + F.pad(tiles[t * b:(t + 1) * b], pad)
            weight = weight + F.pad(s.feather, pad)
        return torch.clamp(refined + residual / weight, 0.0, 1.0)

    def example_inputs(self, batch):
        return {"pooled64": (batch,) + POOLED_SHAPE, "P_rgb": (batch, 3, CROP, CROP),
                "kp_driving": (batch, 21, 3), "kp_source": (batch, 21, 3)}


def _smooth_basis(g):
    """64 smooth colour images in 0..1: low-frequency cosine mixtures."""
    yy, xx = torch.meshgrid(torch.linspace(0, 1, BASIS_SIDE), torch.linspace(0, 1, BASIS_SIDE), indexing="ij")
    out = torch.empty(64, 3, BASIS_SIDE, BASIS_SIDE)
    for k in range(64):
        fx, fy, ph = torch.rand(3, generator=g) * torch.tensor([3.0, 3.0, 6.28])
        base = torch.rand(3, generator=g) * 0.6 + 0.2
        wave = 0.15 * torch.cos(6.28 * (fx * xx + fy * yy) + ph)
        out[k] = (base[:, None, None] + wave[None]).clamp(0, 1)
    return out


def build_m4b(seed):
    """An m4b director with deterministic weights: default-initialised
    layers scaled so activations stay in a range fp16 holds comfortably, a
    non-trivial folded batch norm, and a tile residual that stays small."""
    torch.manual_seed(seed * 7919 + 3)
    model = M4bDirector()
    g = torch.Generator().manual_seed(seed * 7919 + 5)
    s = model.s
    with torch.no_grad():
        for conv in [s.pre, s.e0.conv, s.e1.conv, s.e2.conv, s.d1.conv, s.d0.conv, s.ref.conv,
                     s.corr[0].conv, s.corr[1].conv, s.tile[0].conv, s.tile[1].conv, s.tile[2].conv]:
            fan_in = conv.weight[0].numel()
            conv.weight.normal_(0.0, 0.7 * (2.0 / fan_in) ** 0.5, generator=g)
            conv.bias.normal_(0.0, 0.05, generator=g)
        s.pre_bn.running_mean.normal_(0.0, 0.2, generator=g)
        s.pre_bn.running_var.uniform_(0.5, 2.0, generator=g)
        s.pre_bn.weight.uniform_(0.5, 1.5, generator=g)
        s.pre_bn.bias.normal_(0.0, 0.1, generator=g)
        s.mask.weight.normal_(0.0, 0.08, generator=g)
        s.mask.bias.normal_(0.0, 0.5, generator=g)
        s.mask.bias[21] = 2.0  # mostly still
        s.occ.weight.normal_(0.0, 0.05, generator=g)
        s.occ.bias.fill_(2.0)  # mostly visible
        s.corr[2].weight.normal_(0.0, 0.01, generator=g)
        s.corr[2].bias.zero_()
        s.tile[3].weight.normal_(0.0, 0.01, generator=g)
        s.tile[3].bias.zero_()
        for lin in (s.wmlp[0], s.wmlp[2]):
            lin.weight.normal_(0.0, 1.0 / lin.in_features ** 0.5, generator=g)
            lin.bias.normal_(0.0, 0.1, generator=g)
        s.basis.copy_(_smooth_basis(g))
    return model.eval()



# Initializers the graph must carry by name, with their shapes.
FIXED_SHAPES = {
    "s.e0.conv.weight": (96, 96, 3, 3), "s.e0.conv.bias": (96,),
    "s.e1.conv.weight": (144, 96, 3, 3), "s.e1.conv.bias": (144,),
    "s.e2.conv.weight": (192, 144, 3, 3), "s.e2.conv.bias": (192,),
    "s.d1.conv.weight": (144, 336, 3, 3), "s.d1.conv.bias": (144,),
    "s.d0.conv.weight": (96, 240, 3, 3), "s.d0.conv.bias": (96,),
    "s.ref.conv.weight": (48, 96, 3, 3), "s.ref.conv.bias": (48,),
    "s.mask.weight": (22, 48, 3, 3), "s.mask.bias": (22,), "s.occ.weight": (1, 48, 3, 3), "s.occ.bias": (1,),
    "s.corr.0.conv.weight": (24, 7, 3, 3), "s.corr.0.conv.bias": (24,),
    "s.corr.1.conv.weight": (24, 24, 3, 3), "s.corr.1.conv.bias": (24,),
    "s.corr.2.weight": (12, 24, 3, 3), "s.corr.2.bias": (12,),
    "s.tile.0.conv.weight": (32, 7, 3, 3), "s.tile.0.conv.bias": (32,),
    "s.tile.1.conv.weight": (32, 32, 3, 3), "s.tile.1.conv.bias": (32,),
    "s.tile.2.conv.weight": (32, 32, 3, 3), "s.tile.2.conv.bias": (32,),
    "s.tile.3.weight": (3, 32, 3, 3), "s.tile.3.bias": (3,),
    "s.grid64": (64, 64, 2), "s.feather": (1, 1, TILE_H, TILE_W),
    "s.wmlp.0.weight": (128, 255), "s.wmlp.0.bias": (128,), "s.wmlp.2.weight": (64, 128), "s.wmlp.2.bias": (64,),
}
# Tensors the exporter numbers afresh on every export, found by shape.
DRIFTING_SHAPES = {"pre weight": (96, 85, 1, 1), "grid32": (1, 1, 32, 32, 2), "basis": (64, 3 * BASIS_SIDE ** 2)}


def contract_problems(proto, batch):
    """What an exported m4b graph gets wrong about the I/O and initializer
    contract of the fp16 engine (empty when all is well)."""
    g = proto.graph
    inits = {t.name: (tuple(t.dims), t.data_type) for t in g.initializer}
    bad = []
    shapes = M4bDirector().example_inputs(batch)
    real = [v for v in g.input if v.name not in inits]
    got = [(v.name, tuple(d.dim_value for d in v.type.tensor_type.shape.dim)) for v in real]
    if got != [(n, tuple(shapes[n])) for n in STANDARD_INPUTS]:
        bad.append(f"inputs are {got}")
    if [v.name for v in g.output] != ["rgb"]:
        bad.append("the output is not rgb")
    if any(dtype != 1 for _, dtype in inits.values()):
        bad.append("an initializer is not float32")
    for name, shape in FIXED_SHAPES.items():
        if inits.get(name, (None,))[0] != shape:
            bad.append(f"{name} is {inits.get(name, ('missing',))[0]}, expected {shape}")
    for what, shape in DRIFTING_SHAPES.items():
        found = [n for n, (dims, _) in inits.items() if dims == shape]
        if len(found) != 1:
            bad.append(f"{what} {shape}: {len(found)} initializers")
        elif what == "pre weight":
            stem = found[0].rstrip("0123456789")
            bias = stem + str(int(found[0][len(stem):]) + 1) if stem != found[0] else None
            if bias is None or inits.get(bias, (None,))[0] != (96,):
                bad.append(f"pre bias after {found[0]} missing")
    return bad


def export_onnx(model, batch):
    """Exports the m4b director at a static batch and checks its contract.
    The drifting names are the exporter's own."""
    shapes = model.example_inputs(batch)
    args = tuple(torch.zeros(shapes[name]) for name in model.input_names)
    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(model, args, buf, input_names=list(model.input_names), output_names=["rgb"],
                          opset_version=OPSET, do_constant_folding=True)
    proto = onnx.load_from_string(buf.getvalue())
    dims = proto.graph.output[0].type.tensor_type.shape.dim
    for d, v in zip(dims, (batch, 3, CROP, CROP)):
        d.Clear()
        d.dim_value = v
    onnx.checker.check_model(proto, full_check=True)
    problems = contract_problems(proto, batch)
    if problems:
        raise RuntimeError("exported m4b director breaks its contract: " + "; ".join(problems))
    return proto
