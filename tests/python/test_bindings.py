"""The Python module against independent references: soundfile and numpy
for the samples, the tevo command for graphs and jobs built in C++."""

import ast
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

import numpy as np
import soundfile

import tevo
from support import ScratchTest, contents, passages, same_bytes, sox
from support import tevo as tevo_command

RATE = 44100


def noise(frames, channels=2, seed=7):
    rng = np.random.default_rng(seed)
    return rng.uniform(-0.9, 0.9, (frames, channels))


class RoundTrip(ScratchTest):
    def test_float_formats_are_bit_exact(self):
        # Float files keep every value of their precision: array -> file ->
        # array gives the array back, rounded to float32 for float32 files.
        for name, fmt, dtype, channels in [("a.wav", "float32", np.float32, 2), ("b.wav", "float64", np.float64, 1),
                                           ("c.aiff", "float32", np.float32, 2), ("d.raw", None, np.float32, 2),
                                           ("e.wav", None, np.float64, 2)]:
            with self.subTest(name=name, format=fmt):
                x = noise(10007, channels).astype(dtype)
                tevo.write(self.path(name), x, RATE, format=fmt)
                y, rate, _ = tevo.read(self.path(name))
                self.assertEqual(rate, RATE)
                self.assertEqual(y.shape, (len(x), channels))
                np.testing.assert_array_equal(y, x.astype(np.float64))

    def test_files_read_as_soundfile_reads_them(self):
        # soundfile (libsndfile through its own binding) is the reference for
        # both directions: what we write, what we read.
        x = (noise(5000) * 32767).astype(np.int16)
        tevo.write(self.path("i.wav"), x, RATE)
        ref, rate = soundfile.read(self.path("i.wav"), dtype="int16")
        np.testing.assert_array_equal(ref, x)
        self.assertEqual(soundfile.info(self.path("i.wav")).subtype, "PCM_16")
        with self.assertWarnsRegex(UserWarning, r"^4 sample\(s\) lay beyond full scale and were clipped"):
            tevo.write(self.path("c.wav"), np.array([[1.5, -2.0], [0.5, 0.25], [3.0, -1.5]]), RATE, format="pcm16",
                       dither=False)
        np.testing.assert_array_equal(soundfile.read(self.path("c.wav"), dtype="int16")[0],
                                      [[32767, -32768], [16384, 8192], [32767, -32768]])
        sox("-n", "-r", 22050, "-c", 1, "-b", 24, self.path("s.flac"), "synth", 0.5, "sine", 440, "gain", -3)
        ours, rate, _ = tevo.read(self.path("s.flac"))
        theirs, _ = soundfile.read(self.path("s.flac"), always_2d=True)
        self.assertEqual(rate, 22050)
        np.testing.assert_array_equal(ours, theirs)

    def test_tags_round_trip(self):
        tags = {"title": "Étude №3", "artist": "Ana", "album": "Live", "year": "2021", "comment": "take 2",
                "track": "3", "genre": "Jazz"}
        latin = {k: v for k, v in tags.items() if k != "title"}
        for name, expected in [("t.flac", tags), ("t.ogg", tags), ("t.wav", tags), ("t.mp3", tags),
                               ("t.aiff", {k: tags[k] for k in ("title", "artist", "comment")})]:
            with self.subTest(name=name):
                given = tags if name != "t.wav" else dict(latin, title="Etude 3")
                want = expected if name != "t.wav" else given
                tevo.write(self.path(name), noise(4410) * 0.5, RATE, tags=given, format="pcm16")
                self.assertEqual(tevo.read(self.path(name))[2], want)

    def test_existing_output_and_input_are_kept(self):
        x = noise(1000)
        tevo.write(self.path("x.wav"), x, RATE)
        before = contents(self.path("x.wav"))
        with self.assertRaisesRegex(ValueError, r"x\.wav : the file exists; use overwrite=True"):
            tevo.write(self.path("x.wav"), x * 0, RATE)
        passages(self.path("in.wav"))
        with self.assertRaisesRegex(ValueError, "the output is the input file"):
            tevo.level(self.path("in.wav"), os.path.join(self.dir, ".", "in.wav"), overwrite=True)
        self.assertEqual(contents(self.path("x.wav")), before)
        tevo.write(self.path("x.wav"), x * 0, RATE, overwrite=True)
        self.assertFalse(tevo.read(self.path("x.wav"))[0].any())
        self.assertEqual(sorted(os.listdir(self.dir)), ["in.wav", "x.wav"])


class Stub(unittest.TestCase):
    def test_stub_declares_what_the_module_has(self):
        # Editors complete from tevo.pyi: every name and parameter of the
        # module must be there (parameters as pybind11's signatures list them).
        stub = ast.parse(contents(os.path.join(os.path.dirname(tevo.__file__), "tevo.pyi")))
        declared = {n.name: n for n in stub.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
        public = {n for n in dir(tevo) if not n.startswith("_")}
        self.assertEqual(public, set(declared))
        for name in public:
            entry = getattr(tevo, name)
            if not callable(entry) or isinstance(entry, type):
                continue
            with self.subTest(function=name):
                signature = entry.__doc__.splitlines()[0]
                given = re.findall(r"(?:\(|, )(\w+):", signature)
                node = declared[name]
                params = [a.arg for a in node.args.args + node.args.kwonlyargs]
                self.assertTrue(set(given) <= set(params), f"{signature} against {params}")


class Errors(ScratchTest):
    def test_library_texts_become_exceptions(self):
        with open(self.path("text.wav"), "w") as f:
            f.write("not a sound")
        passages(self.path("in.wav"))
        tevo.write(self.path("001-in.wav"), noise(10), RATE)
        cases = [
            (FileNotFoundError, "missing.wav", lambda: tevo.read(self.path("missing.wav"))),
            (FileNotFoundError, "missing.flac", lambda: tevo.stats(self.path("missing.flac"))),
            (OSError, "text.wav", lambda: tevo.read(self.path("text.wav"))),
            (ValueError, r"unknown format 'pcm12' \(pcm8, pcm16, pcm24, pcm32, float32, float64\)",
             lambda: tevo.write(self.path("o.wav"), noise(10), RATE, format="pcm12")),
            (ValueError, "unknown output type; the name must end in",
             lambda: tevo.write(self.path("o.xyz"), noise(10), RATE)),
            (ValueError, "--step needs a number of decibels above 0 and up to 40, not '99'",
             lambda: tevo.level(self.path("in.wav"), self.path("o.wav"), step=99)),
            (ValueError, "--limit sets the make-up gain that --target computes",
             lambda: tevo.level(self.path("in.wav"), self.path("o.wav"), target=True, limit=3)),
            (ValueError, r"001-in\.wav : the file exists; use overwrite=True",
             lambda: tevo.split(self.path("in.wav"), self.path("in.wav"), min=1)),
            (ValueError, "--eq", lambda: tevo.stage("eq", "notch:1000")),
            (ValueError, "already part of a graph", lambda: tevo.chain(*[tevo.scale(1)] * 2)),
            (TypeError, "float", lambda: tevo.process(tevo.scale(0), np.array(["a"]), RATE)),
        ]
        for kind, text, call in cases:
            with self.subTest(text=text):
                with self.assertRaisesRegex(kind, text):
                    call()
        self.assertEqual(sorted(os.listdir(self.dir)), ["001-in.wav", "in.wav", "text.wav"])


class Graph(ScratchTest):
    def test_python_graph_equals_tevo_process(self):
        # tevo process builds the same chain in C++ (ProcessJob).
        passages(self.path("in.wav"))
        stages = [("gain", -4), ("eq", "peak:1000:1:6"), ("highpass1", 80), ("fft-eq", "lowpass:8000")]
        self.assertEqual(tevo_command("process", self.path("in.wav"), self.path("cli.wav"), "--format", "float32",
                                      *[a for n, v in stages for a in ("--" + n, str(v))]), 0)
        graph = tevo.chain(*[tevo.stage(n, v) for n, v in stages])
        tevo.process(graph, self.path("in.wav"), output=self.path("py.wav"), format="float32")
        self.assertTrue(same_bytes(self.path("cli.wav"), self.path("py.wav")))
        # The array path gives the file's samples.
        x, rate, _ = tevo.read(self.path("in.wav"))
        y = tevo.process(tevo.chain(*[tevo.stage(n, v) for n, v in stages]), x, rate)
        np.testing.assert_array_equal(y.astype(np.float32), tevo.read(self.path("py.wav"))[0])

    def test_composites_follow_their_formulas(self):
        x = noise(30011)
        g = 10 ** (-6 / 20)
        cases = [
            ("dry/wet", tevo.parallel(tevo.scale(-6), tevo.bypass()), x * g + x),
            ("weighted", tevo.parallel([tevo.scale(0)], [tevo.scale(-6), tevo.scale(0)], weights=[0.5, 2.0]),
             0.5 * x + 2.0 * g * x),
            ("difference", tevo.parallel(tevo.bypass(), tevo.scale(0), weights=[1.0, -1.0]), x * 0),
            ("delay", tevo.chain(tevo.delay(100 / RATE), tevo.scale(-6)),
             np.vstack([np.zeros((100, 2)), x * g])),
            ("mono", tevo.chain(tevo.scale(-6)), x[:, :1] * g),
        ]
        for name, graph, expected in cases:
            with self.subTest(graph=name):
                source = x[:, :1] if name == "mono" else x
                y = tevo.process(graph, source, RATE)
                # A sum of two products rounds once more than numpy's.
                np.testing.assert_allclose(y, expected, rtol=0, atol=4e-16)


class Runs(ScratchTest):
    def test_stop_from_another_thread(self):
        x = noise(RATE * 10)
        token = tevo.Stop()
        asked, stopped, blocks = threading.Event(), threading.Event(), []

        def progress(stage, done, total):
            blocks.append(done)
            asked.set()
            stopped.wait(5)  # the stopping thread runs while we wait

        def stopper():
            asked.wait(5)
            token.set()
            stopped.set()

        threading.Thread(target=stopper).start()
        tevo.set_block_size(4096)
        self.addCleanup(tevo.set_block_size, 65536)
        with self.assertRaises(tevo.Stopped):
            tevo.process(tevo.stage("fir", "lowpass:1000"), x, RATE, progress=progress, stop=token)
        self.assertLess(len(blocks), 4)
        # A job stopped the same way keeps its part under a name that says so.
        passages(self.path("in.wav"), repeats=8)
        token.clear()
        with self.assertRaisesRegex(tevo.Stopped, "partial"):
            tevo.level(self.path("in.wav"), self.path("out.wav"), stop=token,
                       progress=lambda *a: token.set())
        self.assertEqual(sorted(os.listdir(self.dir)), ["in.wav", "out.partial.wav"])

    def test_ctrl_c_interrupts_a_run(self):
        # The run holds no GIL, so Python's own handler could act only once
        # it ended (and its file was in place); the module passes the
        # interrupt on between blocks, and the unfinished file goes.
        script = ("import sys, numpy as np, tevo\n"
                  "tevo.set_block_size(4096)\n"
                  "graph = tevo.chain(*[tevo.stage('eq', 'peak:1000:1:1') for _ in range(400)])\n"
                  "print('go', flush=True)\n"
                  "tevo.process(graph, np.zeros((44100 * 60, 2)), 44100, output=sys.argv[1])\n")
        child = subprocess.Popen([sys.executable, "-c", script, self.path("out.wav")], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        self.assertEqual(child.stdout.readline().strip(), "go")
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=120)
        self.assertIn("KeyboardInterrupt", err)
        self.assertEqual(os.listdir(self.dir), [])

    def test_runs_release_the_gil(self):
        # Another Python thread keeps running while the library processes.
        x = noise(RATE * 30)
        ticks, running = [], threading.Event()

        def ticker():
            while not running.is_set():
                time.sleep(0.0005)
            while running.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.0005)

        thread = threading.Thread(target=ticker)
        thread.start()
        running.set()
        start = time.monotonic()
        tevo.process(tevo.stage("fir", "lowpass:1000"), x, RATE)
        end = time.monotonic()
        running.clear()
        thread.join()
        inside = [t for t in ticks if start + 0.02 < t < end - 0.02]
        self.assertGreater(len(inside), 5, f"run of {end - start:.3f} s")


class AgreesWithTevo(ScratchTest):
    def test_jobs_write_the_same_files(self):
        passages(self.path("in.wav"))
        runs = [
            (["level", "in.wav", "cli.flac", "--target", "-18", "--true-peak", "-2", "--title", "T"],
             lambda: tevo.level(self.path("in.wav"), self.path("py.flac"), target=-18, true_peak=-2,
                                tags={"title": "T"}), ["cli.flac"], ["py.flac"]),
            (["level", "in.wav", "cli.wav", "--multiband", "300,3000", "--format", "pcm24"],
             lambda: tevo.level(self.path("in.wav"), self.path("py.wav"), multiband=[300, 3000], format="pcm24"),
             ["cli.wav"], ["py.wav"]),
            (["process", "in.wav", "cli-p.flac", "--aweight", "--gain", "3", "--artist", "A", "--channels", "1"],
             lambda: tevo.process_file(self.path("in.wav"), self.path("py-p.flac"), ["aweight", ("gain", 3)],
                                       tags={"artist": "A"}, channels=1), ["cli-p.flac"], ["py-p.flac"]),
            (["split", "in.wav", os.path.join("c", "part.wav"), "--min", "1"],
             lambda: tevo.split(self.path("in.wav"), self.path("p/part.wav"), min=1),
             ["c/001-part.wav", "c/002-part.wav", "c/003-part.wav"],
             ["p/001-part.wav", "p/002-part.wav", "p/003-part.wav"]),
        ]
        os.mkdir(self.path("c"))
        os.mkdir(self.path("p"))
        for args, call, cli_files, py_files in runs:
            with self.subTest(command=" ".join(args)):
                cwd = os.getcwd()
                os.chdir(self.dir)
                try:
                    self.assertEqual(tevo_command(*args), 0)
                finally:
                    os.chdir(cwd)
                result = call()
                self.assertIsInstance(result, dict)
                for a, b in zip(cli_files, py_files):
                    self.assertTrue(same_bytes(self.path(a), self.path(b)), f"{a} differs from {b}")
        self.assertEqual(len(os.listdir(self.path("p"))), 3)

    def test_measurements_are_plain_data(self):
        sox("-n", "-r", RATE, "-c", 2, "-b", 24, self.path("sine.wav"), "synth", 3, "sine", 1000, "gain", -12)
        stats = tevo.stats(self.path("sine.wav"))
        x = tevo.read(self.path("sine.wav"))[0]
        rms_db = 10 * np.log10(np.mean(x ** 2))
        self.assertAlmostEqual(stats["rmsDb"], rms_db, places=2)
        # BS.1770: a full-scale 1 kHz sine reads -3.01 LUFS in one channel, 0
        # in both; this one is 12 dB lower.
        self.assertAlmostEqual(stats["integratedLufs"], -12.0, delta=0.05)
        passages(self.path("in.wav"))
        regions = tevo.regions(self.path("in.wav"), step=6, min=0.5, merge=True)
        self.assertEqual([r["noise"] for r in regions["regions"]], [False, True] * 2 + [False, True])


if __name__ == "__main__":
    unittest.main()
