#!/usr/bin/python3
"""Speech-like test recordings for the loudness comparison.

Writes, into the folder given, 48 kHz 16-bit stereo WAV files and, beside
each, NAME.sections: one line per section, "start end kind" (seconds; kind
is speech, music or pause). Deterministic (fixed seeds).
  talkers.wav  two talkers 15 dB apart taking turns, no pauses
  lecture.wav  phrases with long pauses over room noise at -60 dBFS
  music.wav    a quiet intro (-40 dBFS) then music 25 dB louder
  long.wav     ten minutes: the three above and the demo recording in turn
The demo recording comes from `tevo demo --synth-only`; pass its path as the
second argument so that long.wav can include it. --no-long skips long.wav.
"""
import sys, os
import numpy as np
from scipy.io import wavfile
from scipy.signal import lfilter

RATE = 48000


def db(x):
    return 10 ** (x / 20)


def formant(x, f, bw):
    r = np.exp(-np.pi * bw / RATE)
    a = [1, -2 * r * np.cos(2 * np.pi * f / RATE), r * r]
    return lfilter([1 - r], a, x)


def syllable(rng, seconds, f0):
    n = int(seconds * RATE)
    t = np.arange(n) / RATE
    # Voiced source: a pulse train with jitter, plus some breath noise.
    phase = np.cumsum(np.full(n, f0 * (1 + 0.05 * rng.standard_normal())) / RATE)
    pulses = (np.diff(np.floor(phase), prepend=0) > 0).astype(float) * 4.0
    src = pulses + 0.15 * rng.standard_normal(n)
    f1 = 300 + 600 * rng.random()
    f2 = 900 + 1600 * rng.random()
    y = formant(src, f1, 90) + 0.6 * formant(src, f2, 150) + 0.2 * formant(src, 2800, 250)
    env = np.sin(np.pi * t / seconds) ** 0.7
    return y * env


def speech(rng, seconds, rms_db, f0, gap=(0.03, 0.08), phrase_pause=None):
    """Syllables of 0.12-0.35 s; optional pauses between phrases."""
    out = []
    total = 0
    n_target = int(seconds * RATE)
    while total < n_target:
        s = syllable(rng, 0.12 + 0.23 * rng.random(), f0)
        s *= db(rng.uniform(-4, 4))
        g = np.zeros(int(rng.uniform(*gap) * RATE))
        out += [s, g]
        total += len(s) + len(g)
        if phrase_pause and rng.random() < 0.1:
            p = np.zeros(int(rng.uniform(*phrase_pause) * RATE))
            out.append(p)
            total += len(p)
    x = np.concatenate(out)[:n_target]
    active = x[np.abs(x) > 1e-9]
    x *= db(rms_db) / np.sqrt(np.mean(active ** 2))
    return x


def stereo(x, width=0.9):
    return np.stack([x, width * x], 1)


def music(rng, seconds, rms_db):
    n = int(seconds * RATE)
    t = np.arange(n) / RATE
    x = np.zeros(n)
    beat = 0.5
    notes = [220, 247, 262, 294, 330, 349, 392, 440]
    for k in range(int(seconds / beat)):
        start = int(k * beat * RATE)
        length = min(n - start, int(1.5 * beat * RATE))
        tt = np.arange(length) / RATE
        env = np.exp(-tt * 3)
        chord = rng.choice(notes, 3, replace=False)
        for f in chord:
            for h, a in ((1, 1.0), (2, 0.4), (3, 0.2)):
                x[start:start + length] += a * env * np.sin(2 * np.pi * f * h * tt)
        # A drum hit every beat: short noise burst.
        hit = min(length, int(0.05 * RATE))
        x[start:start + hit] += 1.5 * rng.standard_normal(hit) * np.exp(-np.arange(hit) / (0.01 * RATE))
    x *= db(rms_db) / np.sqrt(np.mean(x ** 2))
    return x


def room_noise(rng, n, rms_db):
    # Pink-ish: white noise through a gentle low-pass.
    x = lfilter([0.05], [1, -0.95], rng.standard_normal(n))
    return x * db(rms_db) / np.sqrt(np.mean(x ** 2))


def write(folder, name, x, sections):
    x = np.clip(x, -1, 1)
    wavfile.write(os.path.join(folder, name + ".wav"), RATE, (x * 32767).round().astype(np.int16))
    with open(os.path.join(folder, name + ".sections"), "w") as f:
        for a, b, kind in sections:
            f.write("%.3f %.3f %s\n" % (a, b, kind))


def talkers(rng):
    parts, sections, t = [], [], 0.0
    for turn in range(8):
        seconds = 6 + 4 * rng.random()
        loud = turn % 2 == 0
        x = speech(rng, seconds, -20 if loud else -35, 120 if loud else 210)
        parts.append(stereo(x, 0.9 if loud else 0.8))
        sections.append((t, t + seconds, "speech"))
        t += seconds
    return np.concatenate(parts), sections


def lecture(rng):
    parts, sections, t = [], [], 0.0
    for phrase in range(7):
        seconds = 6 + 6 * rng.random()
        x = speech(rng, seconds, -26, 140)
        parts.append(stereo(x))
        sections.append((t, t + seconds, "speech"))
        t += seconds
        pause = 4 + 4 * rng.random()
        parts.append(np.zeros((int(pause * RATE), 2)))
        sections.append((t, t + pause, "pause"))
        t += pause
    x = np.concatenate(parts)
    n = len(x)
    x[:, 0] += room_noise(rng, n, -60)
    x[:, 1] += room_noise(rng, n, -60)
    return x, sections


def music_intro(rng):
    intro = music(rng, 15, -40)
    body = music(rng, 45, -15)
    x = np.concatenate([stereo(intro, 0.95), stereo(body, 0.95)])
    return x, [(0, 15, "music"), (15, 60, "music")]


def main():
    args = [a for a in sys.argv[1:] if a != "--no-long"]
    folder = args[0]
    demo = args[1] if len(args) > 1 else None
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(20261207)
    made = {}
    for name, make in (("talkers", talkers), ("lecture", lecture), ("music", music_intro)):
        x, sections = make(rng)
        write(folder, name, x, sections)
        made[name] = (x, sections)
    if demo:
        rate, d = wavfile.read(demo)
        d = d.astype(float) / (32768 if d.dtype == np.int16 else 1)
        if rate != RATE:
            from scipy.signal import resample_poly
            from math import gcd
            g = gcd(rate, RATE)
            d = resample_poly(d, RATE // g, rate // g, axis=0)
        # Four sections of speech with short pauses, 0.3 s of silence first.
        q = len(d) / RATE / 4
        made["demo"] = (d, [(0.3, q, "speech")] + [(k * q, (k + 1) * q, "speech") for k in (1, 2, 3)])
    if "--no-long" in sys.argv:
        return
    # Ten minutes: the recordings in turn, again and again.
    parts, sections, t = [], [], 0.0
    order = [k for k in ("talkers", "lecture", "demo", "music") if k in made]
    while t < 600:
        for name in order:
            x, sec = made[name]
            parts.append(x)
            sections += [(t + a, t + b, k) for a, b, k in sec]
            t += len(x) / RATE
            if t >= 600:
                break
    write(folder, "long", np.concatenate(parts)[: 600 * RATE], [s for s in sections if s[1] <= 600])


if __name__ == "__main__":
    main()
