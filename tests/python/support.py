"""Shared material of the Python tests: recordings made by sox, the tevo
command, a scratch folder per test."""

import os
import shutil
import subprocess
import tempfile
import unittest

TEVO = os.environ.get("TEVO", "tevo")


def sox(*args):
    subprocess.run(["sox", "-V1", *map(str, args)], check=True)


def tevo(*args):
    """Runs the tevo command; returns its exit code."""
    return subprocess.run([TEVO, *map(str, args), "-q"], stdout=subprocess.DEVNULL).returncode


def passages(path, seconds=2, gain_db=-10, repeats=2):
    """Bursts of pink noise between silences: regions to level, passages to split."""
    sox("-n", "-r", 44100, "-c", 2, "-b", 16, path, "synth", seconds, "pinknoise", "gain", gain_db,
        "pad", 0, 2, "repeat", repeats)


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


class ScratchTest(unittest.TestCase):
    """A test with its own folder, removed afterwards."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tevo-python-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)
