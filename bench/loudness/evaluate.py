#!/usr/bin/python3
"""Measures a levelled file with ffmpeg's ebur128 filter.

  evaluate.py OUT.wav SECTIONS TARGET
prints one line of key=value pairs: integrated loudness I, loudness range
LRA, true peak TP (ebur128=peak=true; a mono file as dual mono, the way tevo
measures it), the worst error of a section's
short-term loudness against TARGET (speech and music sections; the
short-term readings whose 3 s window lies inside the section, power-averaged),
and the loudest momentary reading inside a pause (pause=...).
"""
import re, subprocess, sys, math


def ebur128(path):
    r = subprocess.run(["ffmpeg", "-nostats", "-hide_banner", "-v", "verbose", "-i", path, "-af",
                        "ebur128=peak=true:dualmono=true:framelog=verbose", "-f", "null", "-"],
                       capture_output=True, text=True)
    text = r.stderr
    frames = []
    for m in re.finditer(r"t:\s*([0-9.]+)\s+TARGET:\S+\s+LUFS\s+M:\s*(\S+)\s+S:\s*(\S+)", text):
        frames.append((float(m.group(1)), float(m.group(2)), float(m.group(3))))
    summary = text[text.rfind("Summary:"):]
    I = float(re.search(r"I:\s+(\S+) LUFS", summary).group(1))
    LRA = float(re.search(r"LRA:\s+(\S+) LU", summary).group(1))
    TP = float(re.search(r"True peak:\s+Peak:\s+(\S+)", summary, re.S).group(1))
    return I, LRA, TP, frames


def main():
    out, sections_path, target = sys.argv[1], sys.argv[2], float(sys.argv[3])
    I, LRA, TP, frames = ebur128(out)
    sections = [l.split() for l in open(sections_path) if l.strip()]
    worst = 0.0
    worst_at = ""
    pause = -120.0
    for a, b, kind in sections:
        a, b = float(a), float(b)
        if kind == "pause":
            vals = [m for t, m, s in frames if a + 0.4 <= t <= b]
            if vals:
                pause = max(pause, max(vals))
            continue
        vals = [s for t, m, s in frames if a + 3.0 <= t <= b and s > -120]
        if not vals:
            continue
        level = 10 * math.log10(sum(10 ** (v / 10) for v in vals) / len(vals))
        if abs(level - target) > abs(worst):
            worst = level - target
            worst_at = "%.0f-%.0fs" % (a, b)
    print("I=%.1f LRA=%.1f TP=%.1f worst=%+.1f@%s pause=%.1f" % (I, LRA, TP, worst, worst_at, pause))


if __name__ == "__main__":
    main()
