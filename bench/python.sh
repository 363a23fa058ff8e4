#!/usr/bin/env bash
# The Python module's costs, each against a peer measured in the same run:
#  1. the call overhead per file: tevo.level / tevo.stats / tevo.process on a
#     file of 0.1 s, whose work is negligible, against the tevo command on
#     the same file (a process start per file);
#  2. a batch of FILES recordings of LENGTH seconds levelled by
#     examples/dask_level.py on a LocalCluster of 2 worker processes against
#     `tevo level` run two files at a time by xargs -P2 (tevo's own -j batch
#     lives on another branch). Dask's time includes starting the cluster.
#
#   bash bench/python.sh [BUILD_DIR]      (FILES=40 LENGTH=30 seconds by default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
TEVO=${TEVO:-$build/tevo}
PY=/usr/bin/python3
FILES=${FILES:-40}
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

echo "== Batch: $FILES files of $LENGTH s, level --target -16"
for i in $(seq -w 1 "$FILES"); do
  f="$WORK/in/f$i.wav"
  [ -s "$f" ] || sox -V1 -n -r 44100 -c 2 -b 16 "$f" synth "$LENGTH" pinknoise gain $(( -10 - 10#$i % 20 )) \
    synth "$LENGTH" sine amod 0.3
done
rm -rf "$WORK/xargs" "$WORK/dask"
mkdir -p "$WORK/xargs"
t0=$(date +%s.%N)
ls "$WORK/in" | xargs -P2 -I{} "$TEVO" level "$WORK/in/{}" "$WORK/xargs/{}" --target -16 -q >/dev/null
t1=$(date +%s.%N)
"$PY" "$root/examples/dask_level.py" --workers 2 "$WORK/in" "$WORK/dask" --target -16 >/dev/null 2>"$WORK/dask.log"
t2=$(date +%s.%N)
same=$(cd "$WORK" && for f in in/*; do n=${f#in/}; cmp -s "xargs/$n" "dask/$n" && echo ok; done | wc -l)
"$PY" -c "
x, d = $t1 - $t0, $t2 - $t1
print(f'  peer: tevo level, xargs -P2   {x:7.2f} s')
print(f'  dask_level.py, 2 workers      {d:7.2f} s   ratio {d / x:.2f} (goal <= 1.3)')
print(f'  identical outputs: $same of $FILES')"
tail -1 "$WORK/dask.log"
