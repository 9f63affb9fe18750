"""The director network does what its contract says: the warp is the
WarpDirector function, keypoint moves move the face, the export keeps the
shape the load-time rewrites look for."""
import unittest

import numpy as np
import onnx
import torch

from tests import util  # noqa: F401  (puts the tool on the path)
from bakelib import avatar, director, identity, performance  # noqa: E402
from bakelib.avatar import CROP_SIDE, KP  # noqa: E402

CROP = 128


def warp_director_reference(src, grid):
    """The WarpDirector operator written out pixel by pixel: bilinear
    corners from clamped coordinates, curvature weights from the unclamped
    ones, second differences from each corner's replicated 3x3 neighbourhood."""
    c, h, w = src.shape
    out = np.zeros((c, grid.shape[0], grid.shape[1]), np.float64)
    s = src.astype(np.float64)

    def px(y, x):
        return s[:, min(max(y, 0), h - 1), min(max(x, 0), w - 1)]

    def dxx(y, x):
        return px(y, x - 1) - 2 * px(y, x) + px(y, x + 1)

    for i in range(grid.shape[0]):
        for j in range(grid.shape[1]):
            gx, gy = (float(v) for v in grid[i, j])
            ex, ey = ((gx + 1) * w - 1) * 0.5, ((gy + 1) * h - 1) * 0.5
            fx, fy = ex - np.floor(ex), ey - np.floor(ey)
            hx, hy = (1 - fx) * fx * 0.5, (1 - fy) * fy * 0.5
            cx, cy = min(max(ex, 0.0), w - 1.0), min(max(ey, 0.0), h - 1.0)
            x0, y0 = int(np.floor(cx)), int(np.floor(cy))
            x1, y1 = min(x0 + 1, w - 1), min(y0 + 1, h - 1)
            wx, wy = cx - x0, cy - y0
            acc = np.zeros(c)
            for (yy, xx, wgt) in ((y0, x0, (1 - wx) * (1 - wy)), (y0, x1, wx * (1 - wy)),
                                  (y1, x0, (1 - wx) * wy), (y1, x1, wx * wy)):
                d_xx = dxx(yy, xx)
                d_yy = px(yy - 1, xx) - 2 * px(yy, xx) + px(yy + 1, xx)
                d_xxyy = dxx(yy - 1, xx) - 2 * d_xx + dxx(yy + 1, xx)
                acc += wgt * (px(yy, xx) - hx * d_xx - hy * d_yy + hx * hy * d_xxyy)
            out[:, i, j] = acc
    return out


class WarpContract(unittest.TestCase):
    def test_warp_is_the_warp_director_function(self):
        rng = np.random.default_rng(5)
        src = rng.random((3, 12, 12)).astype(np.float32)
        grid = rng.uniform(-1.25, 1.25, (12, 12, 2)).astype(np.float32)  # reaches past every border
        centres = ((np.arange(12) * 2 + 1) / 12 - 1).astype(np.float32)
        grid[0, :, 0], grid[0, :, 1] = centres, centres[3]  # exact pixel centres: no curvature term
        got = director.Warp()(torch.from_numpy(src)[None], torch.from_numpy(grid).permute(2, 0, 1)[None])
        want = warp_director_reference(src, grid)
        np.testing.assert_allclose(got[0].numpy(), want, atol=2e-6)
        np.testing.assert_allclose(got[0, :, 0].numpy(), src[:, 3, :], atol=1e-6)

    def test_curvature_term_beats_plain_bilinear_on_a_smooth_image(self):
        # Sampling a quadratic between pixels: the corrected warp is exact
        # where plain bilinear interpolation is off by the curvature.
        n = 16
        yy, xx = np.mgrid[0:n, 0:n].astype(np.float64)
        src = np.stack([0.002 * (xx - 7.3) ** 2 + 0.001 * (yy - 4.1) ** 2] * 3).astype(np.float32)
        u = np.linspace(3.25, 11.6, n)
        gx = (2 * u + 1) / n - 1
        grid = np.stack(np.meshgrid(gx, gx), 0).astype(np.float32)
        got = director.Warp()(torch.from_numpy(src)[None], torch.from_numpy(grid)[None])[0, 0].numpy()
        uy, ux = np.meshgrid(u, u, indexing="ij")
        exact = 0.002 * (ux - 7.3) ** 2 + 0.001 * (uy - 4.1) ** 2
        plain = torch.nn.functional.grid_sample(torch.from_numpy(src)[None], torch.from_numpy(grid)[None]
                                                .permute(0, 2, 3, 1), align_corners=False)[0, 0].numpy()
        self.assertLess(np.abs(got - exact).max(), 1e-5)
        self.assertGreater(np.abs(plain - exact).max(), 1e-4)


class Face:
    """A crop of the demo person and its keypoints, at CROP pixels."""

    def __init__(self):
        person = avatar.Avatar(320, 240, 8, 1)
        frame = person.frame(0)
        self.P = identity.cut_crop(frame, person.crop_affine(0, CROP), CROP)[None]
        self.xs = torch.from_numpy(person.keypoints_crop(0, CROP)[None].astype(np.float32))
        self.pooled = identity.pooled_features(self.P, 1)
        self.model = director.build_director(CROP, 1)

    def render(self, xd):
        with torch.no_grad():
            return self.model(self.pooled, self.P, xd, self.xs)[0]

    def expression(self, name, strength=1.0):
        xd = self.xs.clone()
        xd[0, :, :2] += torch.from_numpy(performance.EXPRESSIONS[name] * strength * 2 / CROP_SIDE).float()
        return xd

    def pixel(self, kp, xd=None):
        """(row, column) of keypoint kp in crop pixels."""
        k = (self.xs if xd is None else xd)[0, KP[kp], :2].numpy()
        col, row = ((k + 1) * CROP - 1) / 2
        return row, col


def luma(img):
    return 0.299 * img[0] + 0.587 * img[1] + 0.114 * img[2]


class DirectorBehaviour(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        torch.manual_seed(0)
        cls.face = Face()

    def test_still_keypoints_give_back_the_identity_frame(self):
        f = self.face
        grid = f.model.motion(f.xs, f.xs)
        with torch.no_grad():
            warped = f.model.warp(f.P, grid)
        self.assertLess((warped - f.P).abs().max().item(), 1e-4)
        # Colour correction and detail branch change little.
        self.assertLess((f.render(f.xs) - f.P[0]).abs().mean().item(), 0.02)

    def test_moving_every_keypoint_moves_the_face_and_not_the_corners(self):
        f = self.face
        shift = 6
        xd = f.xs.clone()
        xd[0, :, 0] += 2.0 * shift / CROP
        out, still = f.render(xd), f.render(f.xs)
        r0, _ = f.pixel("brow_l_outer")
        r1, _ = f.pixel("lip_lower_outer")
        _, c0 = f.pixel("eye_l_upper")
        _, c1 = f.pixel("eye_r_upper")
        box = (slice(None), slice(int(r0), int(r1)), slice(int(c0), int(c1)))
        moved = torch.roll(still, shift, dims=2)
        self.assertLess((out[box] - moved[box]).abs().mean().item(),
                        0.25 * (still[box] - moved[box]).abs().mean().item())
        corner = (slice(None), slice(0, 6), slice(0, 6))
        self.assertLess((out[corner] - still[corner]).abs().max().item(), 0.01)

    def test_opening_the_lips_opens_a_dark_mouth(self):
        f = self.face
        xd = f.expression("open")
        out, still = luma(f.render(xd)), luma(f.render(f.xs))
        top, mid = f.pixel("lip_upper_inner", xd)
        bottom, _ = f.pixel("lip_lower_inner", xd)
        half = 0.06 * CROP / CROP_SIDE  # 0.06 head units either side of the centre, in pixels
        box = (slice(int(top) + 2, int(bottom) - 1), slice(int(mid - half * 2), int(mid + half * 2) + 1))
        self.assertGreater(box[0].stop - box[0].start, 2)
        self.assertLess(out[box].mean().item(), still[box].mean().item() - 0.15)

    def test_raising_the_brows_lifts_them(self):
        f = self.face
        out, still = luma(f.render(f.expression("brows"))), luma(f.render(f.xs))
        row, col = f.pixel("brow_l_inner")
        band = slice(int(row) - 8, int(row) + 8)
        cols = slice(int(col) - 2, int(col) + 3)

        def darkest_row(img):
            return band.start + int(torch.argmin(img[band, cols].mean(1)))

        self.assertLessEqual(darkest_row(out), darkest_row(still) - 2)

    def test_a_batch_renders_each_frame_as_alone(self):
        f = self.face
        xd = torch.cat([f.xs, f.expression("open"), f.expression("smile")])
        with torch.no_grad():
            batch = f.model(f.pooled.repeat(3, 1, 1, 1), f.P.repeat(3, 1, 1, 1), xd, f.xs.repeat(3, 1, 1))
        for b in range(3):
            self.assertLess((batch[b] - f.render(xd[b:b + 1])).abs().max().item(), 1e-5)


class FeatSynth(unittest.TestCase):
    def test_features_rebuild_the_crop(self):
        crops = torch.rand(2, 3, CROP, CROP)
        fs = identity.featsynth_features(crops)
        self.assertEqual(tuple(fs.shape[1:]), identity.FS_RED_SHAPE)
        side, block = identity.featsynth_geometry(CROP)
        self.assertEqual((side, block), (128, 2))
        self.assertTrue(torch.all(fs[:, 3 * block * block:] == 0))
        # Channel c*k*k + dy*k + dx holds colour c at offset (dy, dx) of each block.
        self.assertEqual(fs[1, 1 * 4 + 1 * 2 + 0, 5, 7].item(), crops[1, 1, 5 * 2 + 1, 7 * 2 + 0].item())
        rebuilt = director.FeatSynthDirector(CROP).source(fs.reshape(2, -1))
        self.assertTrue(torch.equal(rebuilt, crops))

    def test_large_crops_keep_half_resolution(self):
        side, block = identity.featsynth_geometry(512)
        self.assertEqual((side, block), (256, 4))
        with self.assertRaises(ValueError):
            identity.featsynth_geometry(96)


class ExportContract(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.model = director.build_director(64, 3)
        cls.proto = director.export_onnx(cls.model, 2)

    def problems(self, edit):
        p = onnx.ModelProto()
        p.CopyFrom(self.proto)
        edit(p)
        return director.contract_problems(p, self.model.input_names, self.model.example_inputs(2), 64)

    def test_export_keeps_the_contract(self):
        self.assertEqual(self.problems(lambda p: None), [])
        names = [n.name for n in self.proto.graph.node]
        self.assertIn("/s2/blend", names)
        self.assertEqual([v.name for v in self.proto.graph.input], list(director.STANDARD_INPUTS))

    def test_contract_check_sees_what_the_rewrites_would_miss(self):
        def node(p, op):
            return next(n for n in p.graph.node if n.op_type == op)

        def rename_blend(p):
            next(n for n in p.graph.node if n.name == "/s2/blend").name = "/s2/MatMul"

        def zeros_padding(p):
            a = next(a for a in node(p, "GridSample").attribute if a.name == "padding_mode")
            a.s = b"zeros"

        def linear_head(p):
            r = next(n for n in p.graph.node if n.op_type == "Resize" and
                     any(a.name == "mode" and a.s == b"cubic" for a in n.attribute))
            next(a for a in r.attribute if a.name == "mode").s = b"linear"

        def second_concat(p):
            extra = onnx.helper.make_node("Concat", ["P_rgb", "P_rgb"], ["dup"], axis=1)
            p.graph.node.insert(0, extra)

        for edit, words in ((rename_blend, "/s2/blend"), (zeros_padding, "bilinear/border"),
                            (linear_head, "cubic Resize"), (second_concat, "Concat")):
            found = self.problems(edit)
            self.assertTrue(any(words in f for f in found), (edit.__name__, found))


if __name__ == "__main__":
    unittest.main()
