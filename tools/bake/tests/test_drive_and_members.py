"""The scripted performance and the bundle's names and manifest."""
import json
import re
import unittest

import numpy as np

from tests import util  # noqa: F401
from bakelib import members, performance  # noqa: E402
from bakelib.avatar import KP  # noqa: E402


class Performance(unittest.TestCase):
    def test_script_talks_then_smiles_then_raises_the_brows(self):
        for frames in (16, 150):
            c = np.array([performance.controls(j, frames) for j in range(frames)])
            talk, smile, brows = c[:, 0], c[:, 1], c[:, 2]
            self.assertGreater(talk.max(), 0.7, frames)
            self.assertGreater(smile.max(), 0.8, frames)
            self.assertGreater(brows.max(), 0.8, frames)
            self.assertLess(np.argmax(talk), np.argmax(smile))
            self.assertLess(np.argmax(smile), np.argmax(brows))
            self.assertTrue(np.all(c[0] == 0) and np.all(c[-1] == 0), "neutral at both ends")
        # Talking opens and closes the mouth several times over a long track.
        talk = np.array([performance.controls(j, 150)[0] for j in range(150)])
        openings = np.sum((talk[1:] > 0.5) & (talk[:-1] <= 0.5))
        self.assertGreaterEqual(openings, 4)

    def test_drive_track_adds_expressions_to_the_identity_keypoints(self):
        rng = np.random.default_rng(0)
        xs_target = rng.uniform(-0.5, 0.5, (8, 21, 3)).astype(np.float32)
        xs, xd, si = performance.drive_track(xs_target, 16)
        np.testing.assert_array_equal(si, np.arange(16) % 8)
        np.testing.assert_array_equal(xs, xs_target[si])
        np.testing.assert_array_equal(xd[:, :, 2], xs[:, :, 2])  # depth is never driven
        moved = np.abs(xd - xs).max(axis=(0, 2)) > 0
        self.assertTrue(moved[KP["lip_lower_inner"]] and moved[KP["brow_l_inner"]] and moved[KP["mouth_r_corner"]])
        self.assertFalse(moved[KP["nose_tip"]] or moved[KP["nose_bridge"]])
        # Opening moves the lower lip down (+y) and the upper lip up.
        j = int(np.argmax([performance.controls(k, 16)[0] for k in range(16)]))
        self.assertGreater(xd[j, KP["lip_lower_inner"], 1], xs[j, KP["lip_lower_inner"], 1] + 0.03)
        self.assertLess(xd[j, KP["lip_upper_inner"], 1], xs[j, KP["lip_upper_inner"], 1])


class Names(unittest.TestCase):
    def test_manifest_layout_names(self):
        cases = {
            "P.f16": "source_frames.f16", "P_hevc.mov": "source_frames.hevc", "M.f32": "paste_transform.f32",
            "mask_512.u8": "paste_mask.u8", "pooled64.f16": "pooled_features.f16",
            "fs_red.f16": "feature_synth.f16", "xs_target.bin": "target_keypoints.bin",
            "model_b1.onnx": "render_model.batch1.onnx", "model_b24_fp32.onnx": "render_model.batch24.fp32.onnx",
            "model_b.onnx": "model_b.onnx", "model_render.onnx": "model_render.onnx",
            "drive/xs.f32": "idle_loop/source_keypoints.f32", "drive/si.i32": "idle_loop/source_index.i32",
            "drive/other.f32": "idle_loop/other.f32", "target_frames.mp4": "target_frames.mp4",
        }
        for welded, layout in cases.items():
            self.assertEqual(members.manifest_layout_name(welded), layout, welded)

    def test_manifest_names_each_loader_key_once(self):
        text = members.manifest_text(agent="a", nt=8, height=240, width=320, crop=64, frames=16, msrc=(640, 480),
                                     unsharp=(1.3, 2.0, 13), extra={"bake": {"profile": "tiny", "seed": 1}})
        doc = json.loads(text)
        self.assertEqual(doc["format"], "le-bundle-v0")
        self.assertEqual((doc["M_src_w"], doc["M_src_h"]), (640, 480))
        for key in ("NT", "H", "W", "crop", "frames", "M_src_w", "M_src_h", "amount", "sigma", "ksize"):
            self.assertEqual(len(re.findall('"%s"\\s*:' % key, text)), 1, key)
        self.assertEqual(doc["unsharp"], {"amount": 1.3, "sigma": 2.0, "ksize": 13})


if __name__ == "__main__":
    unittest.main()
