#!/usr/bin/python3
"""Writes small director-shaped ONNX graphs (opset 17) for the rewrite tests.

    make_graphs.py OUT_DIR [--crop N]

The "director" graphs have the structure the load-time rewrites look for: a
keypoint MLP whose blend is the MatMul "/s2/blend", a sampling grid, the
source cone (P_rgb and its second differences concatenated into a 12-channel
tip), one GridSample on the tip, the curvature-corrected recombination, and a
head whose last Conv is upsampled by a cubic x2 Resize. The variants change
one thing each, so that a rewrite should refuse or behave differently.
"""
import argparse
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17


class Graph:
    def __init__(self, seed):
        self.nodes = []
        self.inits = []
        self.rng = np.random.default_rng(seed)
        self.count = 0

    def init(self, name, array):
        self.inits.append(numpy_helper.from_array(np.asarray(array), name))
        return name

    def const(self, array, dtype=np.float32):
        self.count += 1
        return self.init("c%d" % self.count, np.asarray(array, dtype=dtype))

    def op(self, op_type, inputs, out=None, name=None, **attrs):
        self.count += 1
        out = out or "v%d_%s" % (self.count, op_type.lower())
        node = helper.make_node(op_type, inputs, [out], name=name or "/%s_%d" % (op_type, self.count), **attrs)
        self.nodes.append(node)
        return out

    def weight(self, shape, scale):
        return self.const(self.rng.standard_normal(shape).astype(np.float32) * scale)


def second_difference_kernels():
    d = np.array([1.0, -2.0, 1.0], dtype=np.float32)
    dxx = np.zeros((3, 3), np.float32)
    dxx[1, :] = d
    dyy = dxx.T.copy()
    dxy = np.outer(d, d).astype(np.float32)
    return [np.tile(k[None, None], (3, 1, 1, 1)) for k in (dxx, dyy, dxy)]


def curvature_weight(g, grid, channel, extent):
    """(1 - f) * f / 2 from the fractional part of the unnormalised coordinate."""
    c = g.op("Slice", [grid, g.const([channel], np.int64), g.const([channel + 1], np.int64),
                       g.const([3], np.int64)])
    e = g.op("Mul", [g.op("Sub", [g.op("Mul", [g.op("Add", [c, g.const(1.0)]), g.const(float(extent))]),
                                  g.const(1.0)]), g.const(0.5)])
    f = g.op("Sub", [e, g.op("Floor", [e])])
    h = g.op("Mul", [g.op("Mul", [g.op("Sub", [g.const(1.0), f]), f]), g.const(0.5)])
    return g.op("Transpose", [h], perm=[0, 3, 1, 2])


def recombine(g, sample, grid, S, variant="", with_parts=False):
    """v - hx Dxx - hy Dyy + hx hy Dxxyy from the 12-channel sample."""
    hx = curvature_weight(g, grid, 0, S)
    hy = curvature_weight(g, grid, 1, S)
    parts = [g.op("Slice", [sample, g.const([3 * k], np.int64), g.const([3 * k + 3], np.int64),
                            g.const([1], np.int64)], out="warp_part%d" % k) for k in range(4)]
    if variant == "warp_factored":
        inner = g.op("Sub", [parts[1], g.op("Mul", [parts[3], hy])])
        warped = g.op("Sub", [g.op("Sub", [parts[0], g.op("Mul", [inner, hx])]), g.op("Mul", [parts[2], hy])],
                      out="warped")
    else:
        hxy = g.op("Mul", [hx, hy])
        a = g.op("Sub", [parts[0], g.op("Mul", [parts[1], hx])])
        b = g.op("Sub", [a, g.op("Mul", [parts[2], hy])])
        warped = g.op("Add", [b, g.op("Mul", [parts[3], hxy])], out="warped")
    return (warped, parts) if with_parts else warped


def warp_block(g, source, grid, S, variant=""):
    """The source cone, the sampler on its tip and the curvature-corrected
    recombination; returns (warped, tip, the four sampled parts, Dxx)."""
    # The source cone: the image and its second differences, as one tip.
    padded = g.op("Pad", [source, g.const([0, 0, 1, 1, 0, 0, 1, 1], np.int64)], mode="edge")
    kxx, kyy, kxy = second_difference_kernels()
    dxx = g.op("Conv", [padded, g.const(kxx)], out="cone_dxx", group=3)
    dyy = g.op("Conv", [padded, g.const(kyy)], out="cone_dyy", group=3)
    dxy = g.op("Conv", [padded, g.const(kxy)], out="cone_dxxyy", group=3)
    tip = g.op("Concat", [source, dxx, dyy, dxy], out="cone_tip", name="/warp/tip", axis=1)

    padding = {"gs_zeros": "zeros"}.get(variant, "border")
    gs_attrs = dict(padding_mode=padding, align_corners=1 if variant == "gs_align1" else 0)
    if variant != "gs_nomode":
        gs_attrs["mode"] = "linear" if variant == "gs_linear" else "bilinear"
    sample = g.op("GridSample", [tip, grid], out="warp_sample", name="/warp/GridSample", **gs_attrs)

    warped, parts = recombine(g, sample, grid, S, variant, with_parts=True)
    return warped, tip, parts, dxx


def build_warp_block(crop, with_cone=True):
    """The warp block alone, (P_rgb, grid) -> warped, for timing it against
    the one node that replaces it. Without the cone, the second differences
    are inputs and the block is the tip Concat, the sampler and the
    recombination."""
    g = Graph(3)
    inputs = [helper.make_tensor_value_info("P_rgb", TensorProto.FLOAT, [1, 3, crop, crop]),
              helper.make_tensor_value_info("grid_in", TensorProto.FLOAT, [1, crop, crop, 2])]
    grid = g.op("Identity", ["grid_in"], out="grid")
    if with_cone:
        warped, _, _, _ = warp_block(g, "P_rgb", grid, crop)
    else:
        names = ["cone_dxx", "cone_dyy", "cone_dxxyy"]
        inputs += [helper.make_tensor_value_info(n, TensorProto.FLOAT, [1, 3, crop, crop]) for n in names]
        warped = recombine(g, g.op("GridSample", [g.op("Concat", ["P_rgb"] + names, axis=1), grid],
                                   mode="bilinear", padding_mode="border", align_corners=0), grid, crop)
    outputs = [helper.make_tensor_value_info(warped, TensorProto.FLOAT, [1, 3, crop, crop])]
    model = helper.make_model(helper.make_graph(g.nodes, "warp_block", inputs, outputs, g.inits),
                              opset_imports=[helper.make_opsetid("", OPSET)], producer_name="le_core tests")
    model.ir_version = 8
    return model


def build(crop=32, batch=1, featsynth=False, variant="", seed=1):
    g = Graph(seed)
    S, B = crop, batch
    names = ("pooled", "kd", "ks") if featsynth else ("pooled64", "kp_driving", "kp_source")
    inputs = [helper.make_tensor_value_info(names[0], TensorProto.FLOAT, [B, 64, 32, 32])]
    if featsynth:
        fs_size = 3 * (S // 8) * (S // 8)
        inputs.insert(0, helper.make_tensor_value_info("fs_red", TensorProto.FLOAT, [B, fs_size]))
    else:
        inputs.append(helper.make_tensor_value_info("P_rgb", TensorProto.FLOAT, [B, 3, S, S]))
    inputs += [helper.make_tensor_value_info(n, TensorProto.FLOAT, [B, 21, 3]) for n in names[1:]]

    # Keypoints and pooled features -> coarse flow -> sampling grid.
    delta = g.op("Reshape", [g.op("Sub", [names[1], names[2]]), g.const([-1, 63], np.int64)])
    pooled_mean = g.op("ReduceMean", [names[0]], axes=[2, 3], keepdims=0)
    feat = g.op("Concat", [delta, pooled_mean], axis=1)
    blend_name = "/s2/other" if variant == "blend_renamed" else "/s2/blend"
    coarse = max(2, min(8, S // 8))  # side of the coarse flow field
    flow = g.op("MatMul", [feat, g.weight((127, 2 * coarse * coarse), 0.05)], name=blend_name)
    flow = g.op("Reshape", [g.op("Mul", [g.op("Tanh", [flow]), g.const(0.15)]),
                            g.const([-1, 2, coarse, coarse], np.int64)])
    flow = g.op("Resize", [flow, "", g.const([1, 1, S / coarse, S / coarse])], mode="linear",
                coordinate_transformation_mode="half_pixel")
    lin = (np.arange(S, dtype=np.float32) * 2 + 1) / S - 1
    base = np.stack(np.meshgrid(lin, lin, indexing="xy"), axis=-1)[None] * 1.08
    grid = g.op("Add", [g.op("Transpose", [flow], perm=[0, 2, 3, 1]), g.const(base.astype(np.float32))],
                out="grid")

    # The source: the prior image, or (FeatSynth) an image made from fs_red.
    if featsynth:
        small = g.op("Reshape", ["fs_red", g.const([-1, 3, S // 8, S // 8], np.int64)])
        up = g.op("Resize", [small, "", g.const([1, 1, 8, 8])], mode="linear",
                  coordinate_transformation_mode="half_pixel")
        source = g.op("Conv", [up, g.weight((3, 3, 1, 1), 0.5)], out="fs_source")
    else:
        source = "P_rgb"

    warped, tip, parts, dxx = warp_block(g, source, grid, S, variant)

    # Head: a stride-2 trunk, a Conv, and the cubic x2 upsample back to crop.
    pooled_map = g.op("Conv", [names[0], g.weight((8, 64, 1, 1), 0.1)])
    pooled_map = g.op("Resize", [pooled_map, "", g.const([1, 1, S / 64, S / 64])], mode="linear",
                      coordinate_transformation_mode="half_pixel")
    trunk = g.op("Relu", [g.op("Conv", [warped, g.weight((8, 3, 3, 3), 0.3), g.weight((8,), 0.1)],
                               strides=[2, 2], pads=[1, 1, 1, 1])])
    head_in = g.op("Concat", [trunk, pooled_map], axis=1)
    head = g.op("Conv", [head_in, g.init("head.conv.weight", g.rng.standard_normal((3, 16, 3, 3)).astype(np.float32) * 0.2)],
                pads=[1, 1, 1, 1])
    if variant == "resize_noconv":
        head = g.op("Relu", [head])
    if variant == "resize_const_scales":
        scales = g.op("Constant", [], value=numpy_helper.from_array(np.array([1, 1, 2, 2], np.float32)))
    else:
        scales = g.const([1, 1, 2, 2])
    resize_attrs = dict(mode="linear" if variant == "resize_linear" else "cubic",
                        coordinate_transformation_mode="half_pixel", cubic_coeff_a=-0.75)
    resize_name = "" if variant == "resize_unnamed" else "/head/Resize"
    g.count += 1
    up = "v%d_resize" % g.count
    g.nodes.append(helper.make_node("Resize", [head, "", scales], [up], name=resize_name, **resize_attrs))
    rgb_in = [warped, g.op("Mul", [up, g.const(0.2)])]
    rgb = g.op("Add", rgb_in, out="rgb" if variant not in ("gs_two_tip", "warp_extra_exit", "cone_escape", "prgb_outside") else None)

    if variant == "gs_two_tip":
        other = g.op("GridSample", [tip, g.op("Mul", [grid, g.const(0.9)])], mode="bilinear",
                     padding_mode="border", align_corners=0)
        rgb = g.op("Add", [rgb, g.op("Slice", [other, g.const([0], np.int64), g.const([3], np.int64),
                                                g.const([1], np.int64)])], out="rgb")
    elif variant == "warp_extra_exit":
        rgb = g.op("Add", [rgb, g.op("Mul", [parts[1], g.const(0.01)])], out="rgb")
    elif variant == "cone_escape":
        rgb = g.op("Add", [rgb, g.op("Mul", [dxx, g.const(0.01)])], out="rgb")
    elif variant == "prgb_outside":
        rgb = g.op("Add", [rgb, g.op("Mul", [source, g.const(0.01)])], out="rgb")

    outputs = [helper.make_tensor_value_info("rgb", TensorProto.FLOAT, [B, 3, S, S])]
    graph = helper.make_graph(g.nodes, "director", inputs, outputs, g.inits)
    imports = [helper.make_opsetid("", OPSET)]
    if variant == "with_import":
        imports.append(helper.make_opsetid("com.corvane", 1))
    model = helper.make_model(graph, opset_imports=imports, producer_name="le_core tests")
    model.ir_version = 8
    return model


VARIANTS = ["gs_zeros", "gs_align1", "gs_linear", "gs_nomode", "gs_two_tip", "with_import",
            "resize_linear", "resize_const_scales", "resize_unnamed", "resize_noconv", "blend_renamed",
            "warp_factored", "warp_extra_exit", "cone_escape", "prgb_outside"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--crop", type=int, default=32)
    ap.add_argument("--only-directors", action="store_true",
                    help="only the four directors (and the bare warp block)")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    models = {}
    for batch in (1, 4):
        models["director_b%d" % batch] = build(args.crop, batch)
        models["featsynth_b%d" % batch] = build(args.crop, batch, featsynth=True, seed=2)
    if args.only_directors:
        models["warp_block"] = build_warp_block(args.crop)
        models["warp_block_tip"] = build_warp_block(args.crop, with_cone=False)
    else:
        for v in VARIANTS:
            models[v] = build(args.crop, 1, variant=v)
    for name, model in models.items():
        if not name.startswith("gs_linear"):
            onnx.checker.check_model(model, full_check=True)
        onnx.save(model, os.path.join(args.out, name + ".onnx"))


if __name__ == "__main__":
    main()
