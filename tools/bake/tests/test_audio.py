"""The audio networks: the 8-second geometry, gain invariance of the
features, the encoder's attention window, the offline head's centring, the
motion front end and the interface checks."""
import math
import unittest

import numpy as np
import torch

from tests import util  # noqa: F401  (puts the tool on sys.path)
from bakelib import a2x, audio_check, fca, motion, w2v


def syllables(seconds=3.0, gain=0.3, period=0.35):
    """Voiced bursts (120 Hz harmonics through two formants) between silences."""
    t = np.arange(int(seconds * 16000)) / 16000.0
    voice = sum(math.exp(-((120 * k - 700) / 300.0) ** 2) * np.sin(2 * np.pi * 120 * k * t)
                + 0.5 * math.exp(-((120 * k - 1200) / 400.0) ** 2) * np.sin(2 * np.pi * 120 * k * t)
                for k in range(1, 30))
    on = (np.floor(t / period) % 2 == 0) & (t > 0.3)
    return (gain * voice * on).astype(np.float32), on


class Geometry(unittest.TestCase):
    def test_frames_sit_on_the_short_window_steps(self):
        m = w2v.interpolation_matrix()
        np.testing.assert_allclose(m.sum(0), 1.0, atol=1e-6)
        steps = np.arange(w2v.LEGACY_STEPS) @ m
        np.testing.assert_allclose(steps, np.arange(200) * 1598.0 / 199.0, atol=1e-3)
        self.assertEqual((m[0, 0], m[1598, 199]), (1.0, 1.0))

    def test_short_position_refuses_steps_outside_the_window(self):
        trunk = np.zeros((w2v.CHANNELS, w2v.SHORT_STEPS), np.float32)
        with self.assertRaisesRegex(RuntimeError, "trunk pos out of range"):
            w2v.short_position(trunk, 64000, 0)  # frame 0 lies before a window starting at 4 s
        w2v.short_position(trunk, -19200, 0)


class Features(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        torch.set_num_threads(2)
        cls.features = w2v.Features(1)

    def test_trunk_ignores_a_global_gain_and_opens_on_voice_only(self):
        x, on = syllables(seconds=1.7)
        buf = np.zeros(w2v.SHORT_SAMPLES, np.float32)
        buf[:len(x)] = x
        ref = self.features.trunk_window(w2v.normalise(buf)).astype(np.float32)
        for g in (0.25, 4.0):
            # Zero padding around the clip keeps the normalised buffer a scaled copy.
            other = self.features.trunk_window(w2v.normalise(buf * g)).astype(np.float32)
            self.assertLess(np.abs(other - ref).max(), 2e-2, g)
        step_on = on[np.minimum(np.arange(w2v.SHORT_STEPS) * 80 + 40, len(on) - 1)]
        inside = step_on & np.roll(step_on, 4) & np.roll(step_on, -4)
        self.assertGreater(ref[0, inside].mean(), 0.4)
        outside = ~(step_on | np.roll(step_on, 4) | np.roll(step_on, -4))
        self.assertLess(ref[0, outside].max(), 0.05)

    def test_encoder_rows_see_only_their_window(self):
        m = a2x.A2X(self.features, "tiny", 1)
        t = 20
        g = np.random.default_rng(0)
        feat = g.standard_normal((t, 9216)).astype(np.float32)
        base = m.encoder_inputs(feat, 0, t)
        run = lambda ins: m.enc(*(torch.from_numpy(v) for v in ins))[0].detach().numpy()[0]
        ref = run(base)
        reach_back, reach_ahead = m.left * m.layers, m.window * m.layers
        i = 10
        for k, inside in ((i + reach_ahead, True), (i + reach_ahead + 1, False),
                          (i - reach_back, True), (i - reach_back - 1, False)):
            changed = feat.copy()
            changed[k] += 1.0
            diff = np.abs(run(m.encoder_inputs(changed, 0, t))[i] - ref[i]).max()
            self.assertEqual(diff > 1e-6, inside, k)


class Offline(unittest.TestCase):
    def test_centring_skips_quiet_frames_and_clamps_the_context(self):
        six = np.zeros((12, 768), np.float32)
        six[2:, 0] = np.arange(10) + 1.0  # two silent frames, then louder and louder
        blocks = fca.centred_context(six).reshape(12, 7, 768)
        # Frame 0 is silent and nothing loud came before: nothing to take away.
        self.assertEqual(np.abs(blocks[0, 1]).max(), 0.0)
        # Frame 2 is the first loud frame: centred on itself.
        self.assertAlmostEqual(float(blocks[2, 1, 0]), 0.0)
        # Frame 3: mean of frames 2 and 3 (values 1 and 2) taken away.
        self.assertAlmostEqual(float(blocks[3, 1, 0]), 0.5)
        # Context offsets -1..5, clamped at both ends.
        np.testing.assert_array_equal(blocks[0, 0], blocks[0, 1])
        np.testing.assert_array_equal(blocks[11, 6], blocks[11, 1])


class Motion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        torch.set_num_threads(2)
        x, cls.on = syllables(seconds=4.0, period=0.6)
        xs = np.tile(np.linspace(-0.5, 0.5, 63, dtype=np.float32), (4, 1))
        cls.motion = motion.Motion(1, xs, x)
        cls.clip = x

    def test_front_end_reads_zeros_past_the_end(self):
        mel = self.motion.mel(self.clip, len(self.clip) // 640 + 8)
        np.testing.assert_allclose(mel, math.log(1e-8), rtol=1e-6)

    def test_lips_follow_the_voiced_bursts(self):
        idx, _, delta, _ = self.motion.run(self.clip)
        np.testing.assert_array_equal(idx, np.arange(len(idx)) % 4)
        op = delta[:, audio_check.LIP_LOWER] - delta[:, audio_check.LIP_UPPER]
        on = self.on[np.minimum(np.arange(len(op)) * 640 + 320, len(self.on) - 1)].astype(int)
        # The lips may move a few frames ahead of the voice and linger after it.
        near = np.convolve(on, np.ones(9, int), "same")  # voiced frames among the nine around
        self.assertGreater(op[near == 9].mean(), 0.03)
        self.assertLess(np.abs(op[near == 0]).max(), 0.005)


class Interfaces(unittest.TestCase):
    def test_interface_check_catches_names_types_and_static_dims(self):
        side_h = 32
        c = audio_check.contract(side_h)
        m = a2x.A2X(w2v.Features(1), "tiny", 1)
        enc, nown, dec = m.export()
        self.assertEqual(audio_check.interface_problems(enc, *c["a2x_enc_stream.onnx"]), [])
        self.assertEqual(audio_check.interface_problems(dec, *c["a2x_dec.onnx"]), [])
        self.assertTrue(audio_check.interface_problems(nown, *c["a2x_enc_stream.onnx"]))  # no "wn"
        dec.graph.output[0].name = "delta"
        self.assertTrue(audio_check.interface_problems(dec, *c["a2x_dec.onnx"]))
        enc.graph.input[0].type.tensor_type.shape.dim[1].dim_value = 24  # T no longer dynamic
        self.assertTrue(audio_check.interface_problems(enc, *c["a2x_enc_stream.onnx"]))


if __name__ == "__main__":
    unittest.main()
