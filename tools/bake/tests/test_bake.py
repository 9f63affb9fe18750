"""The bake command: same arguments, same bytes; an up-to-date stamp skips
the work; contradictory arguments are refused."""
import contextlib
import filecmp
import io
import os
import subprocess
import sys
import unittest

import numpy as np

from tests import util

BAKE = os.path.join(util.TOOL, "bake.py")
CHECK = os.path.join(util.TOOL, "check_bundle.py")


def check(bundle):
    out = subprocess.run([sys.executable, CHECK, bundle], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return out.returncode, out.stdout


def run_bake(*args):
    out = subprocess.run([sys.executable, BAKE, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if out.returncode:
        raise AssertionError(out.stdout)
    return out.stdout


def tree(root):
    files = []
    for base, _, names in os.walk(root):
        files += [os.path.relpath(os.path.join(base, n), root) for n in names]
    return sorted(files)


class Bake(unittest.TestCase):
    def test_same_seed_same_bytes_and_stamp_skips(self):
        # Every encoder at once: H.264 driver, HEVC prior, JPEG directory.
        args = ["--profile", "tiny", "--hevc-prior", "--jpeg-dir", "--refs", "1"]
        with util.temp_dir() as tmp:
            a, b = os.path.join(tmp, "a"), os.path.join(tmp, "b")
            run_bake(*args, "--out", a)
            run_bake(*args, "--out", b)
            for x, y in ((a, b), (a + ".ref", b + ".ref")):
                self.assertEqual(tree(x), tree(y))
                _, mismatch, errors = filecmp.cmpfiles(x, y, tree(x), shallow=False)
                self.assertEqual((mismatch, errors), ([], []))
            self.assertIn("P_hevc.mov", tree(a))
            self.assertNotIn("P.f16", tree(a))

            before = os.stat(os.path.join(a, "manifest.json")).st_mtime_ns
            self.assertIn("up to date", run_bake(*args, "--out", a))
            self.assertEqual(os.stat(os.path.join(a, "manifest.json")).st_mtime_ns, before)

            run_bake(*args, "--out", a, "--seed", "2")
            self.assertNotIn("up to date", run_bake(*args, "--out", a, "--seed", "1"))
            self.assertTrue(filecmp.cmp(os.path.join(a, "P_hevc.mov"), os.path.join(b, "P_hevc.mov"), shallow=False))

            # The bundle checks pass on the bake and catch a paste transform
            # that no longer matches the prior, and a short array.
            self.assertEqual(check(b)[0], 0)
            m = np.fromfile(os.path.join(b, "M.f32"), "<f4")
            m[2] += 3.0  # frame 0 moves three pixels right
            m.tofile(os.path.join(b, "M.f32"))
            code, text = check(b)
            self.assertEqual(code, 1)
            self.assertRegex(text, "FAIL +P_hevc.mov rows match")
            with open(os.path.join(b, "drive", "si.i32"), "r+b") as f:
                f.truncate(8)
            code, text = check(b)
            self.assertEqual(code, 1)
            self.assertIn("FAIL  drive/si.i32 holds", text)

    def test_contradictions_are_refused(self):
        import bake
        for bad in (["--hevc-prior", "--featsynth"], ["--canvas", "321x240"], ["--crop", "96"],
                    ["--imx", "x.imx"], ["--nt", "0"], ["--crop", "80", "--featsynth"]):
            with self.assertRaises(SystemExit, msg=bad), contextlib.redirect_stderr(io.StringIO()):
                bake.parse_args(["--profile", "tiny", "--out", "x"] + bad)


if __name__ == "__main__":
    unittest.main()
