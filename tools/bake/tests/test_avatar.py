"""The drawn person, its keypoints and the driver clip's motion."""
import unittest

import numpy as np
import torch

from tests import util  # noqa: F401
from bakelib import avatar, identity  # noqa: E402
from bakelib.avatar import KP  # noqa: E402

CROP = 128


def sample(img, xy):
    """Colour of a (3, n, n) crop at a keypoint's normalised position."""
    n = img.shape[-1]
    col, row = ((np.asarray(xy[:2]) + 1) * n - 1) / 2
    return img[:, int(round(row)), int(round(col))].numpy()


def luma(rgb):
    return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]


class Keypoints(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.person = avatar.Avatar(320, 240, 8, 3)
        frame = cls.person.frame(0)
        cls.crop = identity.cut_crop(frame, cls.person.crop_affine(0, CROP), CROP)
        cls.kp = cls.person.keypoints_crop(0, CROP)

    def at(self, name):
        return sample(self.crop, self.kp[KP[name]])

    def test_keypoints_sit_on_the_features_they_name(self):
        skin = luma(self.at("nose_bridge"))
        for brow in ("brow_l_outer", "brow_l_inner", "brow_r_inner", "brow_r_outer"):
            self.assertLess(luma(self.at(brow)), skin - 0.25, brow)
        for lip in ("lip_upper_outer", "lip_lower_outer"):
            r, g, _ = self.at(lip)
            self.assertGreater(r - g, 0.1, lip)  # lip red, not skin
        for inner in ("lip_upper_inner", "lip_lower_inner"):
            self.assertLess(luma(self.at(inner)), luma(self.at("lip_lower_outer")) - 0.05, inner)
        for lid in ("eye_l_upper", "eye_r_upper"):
            self.assertLess(luma(self.at(lid)), skin - 0.2, lid)

    def test_all_keypoints_lie_inside_the_crop_and_are_distinct(self):
        for i in range(self.person.NT):
            kp = self.person.keypoints_crop(i, CROP)
            self.assertLess(np.abs(kp[:, :2]).max(), 0.95)
            d = np.linalg.norm(kp[:, None, :2] - kp[None, :, :2], axis=-1) + np.eye(21)
            self.assertGreater(d.min(), 0.005)

    def test_crop_keypoints_map_back_to_the_canvas_through_m(self):
        for i in (0, 3, 5):
            m = self.person.crop_affine(i, CROP)
            kp = self.person.keypoints_crop(i, CROP)
            q = ((kp[:, :2] + 1) * CROP - 1) / 2
            np.testing.assert_allclose(q @ m[:, :2].T + m[:, 2], self.person.keypoints_canvas(i), atol=1e-9)


class Motion(unittest.TestCase):
    def test_clip_loops_and_moves(self):
        person = avatar.Avatar(320, 240, 8, 1)
        self.assertEqual(person.pose(8), person.pose(0))
        heads = np.array([person.head_affine(i)[:, 2] for i in range(8)])
        self.assertGreater(np.ptp(heads[:, 0]), 3.0)  # sways by pixels, not by rounding
        rolls = [person.pose(i)["roll"] for i in range(8)]
        self.assertGreater(max(rolls) - min(rolls), np.radians(3))
        # The face moves inside the crop too (the crop follows half the roll).
        kps = np.array([person.keypoints_crop(i, CROP)[:, :2] for i in range(8)])
        self.assertGreater(np.ptp(kps[:, KP["forehead"], 0]), 0.02)

    def test_one_blink_per_loop_closes_the_eyes(self):
        person = avatar.Avatar(1920, 1080, 100, 1)
        closures = [person.pose(i)["closure"] for i in range(100)]
        closed = [i for i, c in enumerate(closures) if c > 0]
        self.assertEqual(max(closures), 1.0)
        self.assertEqual(closed, list(range(closed[0], closed[-1] + 1)))  # one contiguous blink
        self.assertLessEqual(len(closed), 6)
        shut, open_ = closures.index(1.0), 0
        gap = lambda i: np.subtract(*person.keypoints_crop(i, 512)[[KP["eye_l_lower"], KP["eye_l_upper"]], 1])
        self.assertGreater(gap(open_), 0.05)
        self.assertLess(gap(shut), 0.3 * gap(open_))
        # The eye white disappears when the lid closes.
        crops = [identity.cut_crop(person.frame(i), person.crop_affine(i, 512), 512) for i in (open_, shut)]
        kp = person.keypoints_crop(open_, 512)
        centre = (kp[KP["eye_l_upper"], :2] + kp[KP["eye_l_lower"], :2]) / 2
        col, row = ((centre + 1) * 512 - 1) / 2 + [16, 0]  # the white beside the iris
        patch = [luma(c[:, int(row) - 2:int(row) + 3, int(col) - 2:int(col) + 3].numpy()).max() for c in crops]
        self.assertGreater(patch[0], patch[1] + 0.1)

    def test_seed_changes_the_look_not_the_geometry(self):
        a, b = avatar.Avatar(320, 240, 8, 1), avatar.Avatar(320, 240, 8, 2)
        np.testing.assert_array_equal(a.keypoints_crop(2, 64), b.keypoints_crop(2, 64))
        self.assertGreater((a.frame(2) - b.frame(2)).abs().mean().item(), 0.005)
        self.assertTrue(torch.equal(a.frame(2), avatar.Avatar(320, 240, 8, 1).frame(2)))


class PasteMask(unittest.TestCase):
    def test_mask_covers_the_face_and_feathers_out(self):
        mask = identity.paste_mask(CROP)
        self.assertEqual(mask.shape, (CROP, CROP))
        kp = avatar.Avatar(320, 240, 8, 1).keypoints_crop(0, CROP)
        for name in ("brow_l_outer", "eye_r_lower", "mouth_l_corner", "lip_lower_outer", "nose_tip"):
            col, row = ((kp[KP[name], :2] + 1) * CROP - 1) / 2
            self.assertEqual(mask[int(round(row)), int(round(col))], 255, name)
        self.assertEqual(mask[0].max(), 0)
        row = mask[CROP // 2 + 8].astype(int)
        ramp = row[:CROP // 2][row[:CROP // 2] > 0]
        self.assertTrue(np.all(np.diff(ramp) >= 0) and len(np.unique(ramp)) > 5)  # a soft edge, not a step


if __name__ == "__main__":
    unittest.main()
