#!/usr/bin/env bash
# The Python module's costs, each against a peer measured in the same run:
#  1. the call overhead per file: tevo.level / tevo.stats / tevo.process on a
#     file of 0.1 s, whose work is negligible, against the tevo command on
#     the same file (a process start per file);
#  2. a batch of FILES recordings of LENGTH seconds levelled by
#     examples/dask_level.py on a LocalCluster of 2 worker processes against
#     tevo's own batch, `tevo level -j 2 -o DIR`. Dask's time includes starting the cluster;
#     CPU time (user + system, the children's included) is steadier than
#     wall time on a busy machine.
#
#   bash bench/python.sh [BUILD_DIR]   (FILES=40 LENGTH=30 seconds REPEAT=3 by default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
TEVO=${TEVO:-$build/tevo}
PY=/usr/bin/python3
FILES=${FILES:-40}
REPEAT=${REPEAT:-3}
LENGTH=${LENGTH:-30}
WORK=${WORK:-$here/work/python}
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
[ -x "$TEVO" ] && [ -e "$build/python/tevo.pyi" ] || { echo "build with -DTEVO_PYTHON=ON first" >&2; exit 1; }
mkdir -p "$WORK/in"

sox -V1 -n -r 44100 -c 2 -b 16 "$WORK/tiny.wav" synth 0.1 pinknoise gain -20
echo "== Call overhead per file (0.1 s file; median of 200 calls, the command 20 runs)"
"$PY" - "$WORK" "$TEVO" <<'PYEOF'
import os, statistics, subprocess, sys, time
import tevo
work, command = sys.argv[1], sys.argv[2]
tiny = os.path.join(work, "tiny.wav")
out = os.path.join(work, "tiny-out.wav")
graph = tevo.scale(-3)
def median_ms(call, n):
    times = []
    for _ in range(n):
        t = time.perf_counter(); call(); times.append(time.perf_counter() - t)
    return 1000 * statistics.median(times)
silence = __import__("numpy").zeros((1, 2))
rows = [
    ("tevo.process(bypass, 1 frame) -> array", median_ms(lambda: tevo.process(tevo.bypass(), silence, 44100), 200)),
    ("tevo.stats(loudness=False)", median_ms(lambda: tevo.stats(tiny, loudness=False), 200)),
    ("tevo.process(graph, file) -> array", median_ms(lambda: tevo.process(graph, tiny), 200)),
    ("tevo.level(file, file)", median_ms(lambda: tevo.level(tiny, out, overwrite=True), 200)),
    ("peer: tevo level (command)", median_ms(lambda: subprocess.run([command, "level", tiny, out, "-y", "-q"],
                                                                    stdout=subprocess.DEVNULL), 20)),
]
for name, ms in rows:
    print(f"  {name:40s} {ms:8.2f} ms")
PYEOF

echo "== Batch: $FILES files of $LENGTH s, level --target -16; wall and CPU seconds, median of $REPEAT alternating runs"
rm -rf "$WORK/in"
mkdir -p "$WORK/in"
for i in $(seq -w 1 "$FILES"); do
  sox -V1 -n -r 44100 -c 2 -b 16 "$WORK/in/f$i.wav" synth "$LENGTH" pinknoise gain $(( -10 - 10#$i % 20 )) \
    synth "$LENGTH" sine amod 0.3
done
# Alternating the two, so that a change in the machine's load hits both.
: >"$WORK/times"
for r in $(seq 1 "$REPEAT"); do
  rm -rf "$WORK/batch" "$WORK/dask"
  /usr/bin/time -f "batch %e %U %S" -a -o "$WORK/times" \
    sh -c "'$TEVO' level -j 2 -q -o '$WORK/batch' '$WORK/in/'*.wav --target -16 >/dev/null"
  /usr/bin/time -f "dask %e %U %S" -a -o "$WORK/times" \
    "$PY" "$root/examples/dask_level.py" --workers 2 "$WORK/in" "$WORK/dask" --target -16 >/dev/null 2>"$WORK/dask.log"
done
same=$(cd "$WORK" && for f in in/*; do n=${f#in/}; cmp -s "batch/$n" "dask/$n" && echo ok; done | wc -l)
"$PY" - "$WORK/times" "$same" "$FILES" <<'PYEOF'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    name, wall, user, system = line.split()
    runs.setdefault(name, []).append((float(wall), float(user) + float(system)))
med = {k: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v)) for k, v in runs.items()}
(xw, xc), (dw, dc) = med["batch"], med["dask"]
print(f"  peer: tevo level -j 2 -o DIR   wall {xw:7.2f}  cpu {xc:7.2f}")
print(f"  dask_level.py, 2 workers       wall {dw:7.2f}  cpu {dc:7.2f}")
print(f"  ratio dask/peer                wall {dw / xw:7.2f}  cpu {dc / xc:7.2f}   (goal <= 1.3)")
print(f"  identical outputs: {sys.argv[2]} of {sys.argv[3]}")
PYEOF
