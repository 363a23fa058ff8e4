#!/usr/bin/env bash
# Runs every reader fuzz target for SECONDS (default 30) or, with RUNS set,
# for that many executions; a crash, leak, hang or sanitizer report fails.
#   bash fuzz/run.sh [OUT_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-fuzz}
seconds=${2:-30}
[ -x "$out/fuzz_wav" ] || bash "$root/fuzz/build.sh" "$out"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:suppressions=$root/tests/asan.supp
export LSAN_OPTIONS=suppressions=$root/fuzz/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export FUZZ_SCRATCH=${FUZZ_SCRATCH:-$(mktemp -d)}
limit=(-max_total_time="$seconds")
[ -n "${RUNS:-}" ] && limit=(-runs="$RUNS")
for type in wav flac ogg opus aiff mp3; do
  corpus="$out/corpus/$type"
  mkdir -p "$corpus"
  echo "== fuzz_$type" >&2
  # libsndfile leaks libvorbis's setup on damaged Ogg headers (suppressed in
  # fuzz/lsan.supp); libFuzzer would scan the whole heap after each such
  # input, at a tenth of the speed. The leak check at exit still runs.
  extra=()
  [ "$type" = ogg ] && extra=(-detect_leaks=0)
  "$out/fuzz_$type" "${limit[@]}" "${extra[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
    -artifact_prefix="$out/crash-$type-" "$corpus" "$out/seeds/$type" 2>&1 | tail -n 12
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz_$type failed" >&2; exit 1; }
done
