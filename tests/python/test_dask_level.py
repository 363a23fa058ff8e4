"""examples/dask_level.py on a LocalCluster of two worker processes gives
the files `tevo level` writes one by one."""

import os
import subprocess
import sys
import unittest

from support import ScratchTest, contents, sox
from support import tevo as tevo_command

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "dask_level.py")


class DaskLevel(ScratchTest):
    def test_cluster_levels_as_tevo_does(self):
        os.mkdir(self.path("in"))
        for n in range(20):
            # Different lengths, levels and formats: tasks of unequal size.
            ext = (".wav", ".flac")[n % 2]
            sox("-n", "-r", 44100, "-c", 1 + n % 2, "-b", 16 + 8 * (n % 2), self.path(f"in/f{n:02}{ext}"),
                "synth", 1 + n % 3, "pinknoise", "gain", -30 + n, "pad", 0, 0.5, "repeat", 1)
        options = ["--target", "-18", "--true-peak", "-1.5"]
        done = subprocess.run([sys.executable, EXAMPLE, "--workers", "2", self.path("in"), self.path("dask"),
                               *options], capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        self.assertIn("20 of 20 file(s) levelled", done.stderr)
        os.mkdir(self.path("cli"))
        for name in sorted(os.listdir(self.path("in"))):
            self.assertEqual(tevo_command("level", self.path("in/" + name), self.path("cli/" + name), *options), 0)
            with self.subTest(file=name):
                self.assertEqual(contents(self.path("dask/" + name)), contents(self.path("cli/" + name)))
        self.assertEqual(sorted(os.listdir(self.path("dask"))), sorted(os.listdir(self.path("in"))))


if __name__ == "__main__":
    unittest.main()
