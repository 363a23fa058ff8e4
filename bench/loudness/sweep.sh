#!/usr/bin/env bash
# Region defaults of `tevo level`, measured: for each step/min-region/window
# combination, the worst section error and the loudest pause of the four
# speech-like recordings levelled to -16 LUFS.
#   sweep.sh TEVO RECORDINGS_DIR [extra tevo options...]
set -euo pipefail
tevo=$1; rec=$2; shift 2
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
for step in ${STEPS:-5 8}; do for min in ${MINS:-0.5 1 2 5}; do for window in ${WINDOWS:-0.2 0.4}; do
  line="step=$step min=$min window=$window"
  for f in demo talkers lecture music; do
    "$tevo" level "$rec/$f.wav" "$out/$f.wav" --target -16 --step $step --min-region $min --window $window "$@" >/dev/null 2>&1
    line+=" | $f $(/usr/bin/python3 "$here/evaluate.py" "$out/$f.wav" "$rec/$f.sections" -16 | sed 's/I=[^ ]* LRA=[^ ]* TP=[^ ]* //')"
  done
  echo "$line"
done; done; done
