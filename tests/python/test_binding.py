"""The Python binding over the built library and the baked tiny bundle."""
import gc
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.environ["LE_PYTHON_DIR"])
import le_core  # noqa: E402

FIXTURES = os.environ["LE_BAKE_FIXTURES"]
TINY = os.path.join(FIXTURES, "tiny")


def speech():
    x = np.fromfile(os.path.join(FIXTURES, "speech", "hello.f32"), np.float32)
    return (np.clip(x, -1, 1) * 32767).astype(np.int16)


class ContextTest(unittest.TestCase):
    def test_render_and_paste_match_the_one_call_form(self):
        with le_core.Context(TINY) as ctx:
            xs = np.fromfile(os.path.join(TINY, "xs_target.bin"), np.float32).reshape(-1, 63)
            crop = ctx.render(2, xs[2], xs[2])
            self.assertEqual(crop.shape, (3, ctx.crop, ctx.crop))
            self.assertTrue(np.isfinite(crop).all())
            rgb = ctx.paste(2, crop)
            rgba = ctx.render_rgba(2, xs[2], xs[2])
            self.assertEqual(rgba.shape, (ctx.height, ctx.width, 4))
            np.testing.assert_array_equal(rgba[..., :3], rgb)
            self.assertTrue((rgba[..., 3] == 255).all())

    def test_failures_raise_the_library_message(self):
        with self.assertRaisesRegex(le_core.Error, "le_create: "):
            le_core.Context(os.path.join(FIXTURES, "no_such_bundle"))
        with le_core.Context(TINY) as ctx:
            with self.assertRaisesRegex(le_core.Error, "kp_source: expected 63 floats"):
                ctx.render(0, np.zeros(62), np.zeros(63))
            with self.assertRaises(le_core.Error):
                ctx.render(10 ** 6, np.zeros(63), np.zeros(63))
        with self.assertRaisesRegex(le_core.Error, "context is closed"):
            ctx.render(0, np.zeros(63), np.zeros(63))


class SessionTest(unittest.TestCase):
    def test_speech_in_frames_out(self):
        with le_core.Context(TINY) as ctx, ctx.session(ramp_frames=3) as s:
            self.assertEqual(s.ready(), 1)
            pcm = speech()
            s.push(pcm)
            s.end()
            kinds = []
            for _ in range(600):
                f = s.pull(timeout=20)
                self.assertIsNotNone(f)
                self.assertEqual(f.rgba.shape, (ctx.height, ctx.width, 4))
                kinds.append(f.kind)
                if f.kind == "idle" and "ramp" in kinds:
                    break
            self.assertEqual(kinds.count("speech"), (len(pcm) + 639) // 640)
            self.assertEqual(kinds.count("ramp"), 3)
            self.assertEqual(s.stats()["speech_delivered"], kinds.count("speech"))
            self.assertEqual(s.render_status(), (0, ""))
            with self.assertRaisesRegex(le_core.Error, "expected int16"):
                s.push(np.zeros(10, np.float32))

    def test_handles_close_when_collected(self):
        ctx = le_core.Context(TINY)
        s = ctx.session()
        s.push(speech()[:8000])
        del s, ctx
        gc.collect()


if __name__ == "__main__":
    unittest.main()
