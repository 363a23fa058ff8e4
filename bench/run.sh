#!/usr/bin/env bash
# Times tevo against peer tools (sox, ffmpeg, lame, mpg123) on the same jobs,
# in one run, on a stereo 44.1 kHz 16-bit WAV made once: 10 minutes long, or
# MINUTES long (MINUTES=60 shows whether memory and speed hold on long files).
#
#   [MINUTES=60] [REPEAT=3] [WORK=dir] bash bench/run.sh [BUILD_DIR] [JOB_FILTER]
#
# Each file in bench/jobs/ adds its jobs with `compare` (tevo vs a peer) or
# `measure` (tevo alone). Every command runs REPEAT times (default 3); the
# table shows for tevo and the peer the median wall-clock seconds and peak
# resident memory (MB, /usr/bin/time's %M), then the ratios tevo/peer of the
# wall time and of the CPU time (user + system, steadier on a busy machine).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
filter=${2:-}
TEVO=${TEVO:-$build/tevo}
REPEAT=${REPEAT:-3}
WORK=${WORK:-$here/work}
mkdir -p "$WORK"
[ -x "$TEVO" ] || { echo "tevo not found at $TEVO (build first)" >&2; exit 1; }

MINUTES=${MINUTES:-10}
[[ "$MINUTES" =~ ^[1-9][0-9]*$ ]] || { echo "MINUTES must be a whole number of minutes, not '$MINUTES'" >&2; exit 2; }
# The material: speech-like bursts, pauses and a noise floor.
if [ "$MINUTES" = 10 ]; then name=ten-minutes; else name=$MINUTES-minutes; fi
IN="$WORK/$name.wav"
if [ ! -s "$IN" ]; then
  echo "making $IN ..." >&2
  "$TEVO" demo --synth-only "$WORK/synth" >/dev/null
  one="$WORK/synth/recording.wav"
  # Copies of the 50 s recording, each at another level.
  parts=()
  for i in $(seq 1 $(( (MINUTES * 60 + 49) / 50 ))); do
    g=$(( (i % 4) * -4 ))
    sox -V1 "$one" "$WORK/part$i.wav" gain "$g"
    parts+=("$WORK/part$i.wav")
  done
  sox -V1 "${parts[@]}" -b 16 "$IN" trim 0 $(( MINUTES * 60 ))
  rm -f "${parts[@]}"
fi
IN_FLAC="$WORK/$name.flac"
[ -s "$IN_FLAC" ] || sox -V1 "$IN" "$IN_FLAC"
OUT="$WORK/out"
mkdir -p "$OUT"

median() { sort -n | awk '{a[NR]=$1} END {if (NR==0) print "nan"; else if (NR%2) print a[(NR+1)/2]; else printf "%.3f\n", (a[NR/2]+a[NR/2+1])/2}'; }

# time_cmd CMD : "wall cpu MB", the medians of REPEAT runs (wall-clock
# seconds, user + system seconds, peak resident megabytes of the largest
# process); "nan nan nan" when the command fails.
time_cmd() {
  local walls=() cpus=() mems=() t0 t1 i u s m
  for i in $(seq 1 "$REPEAT"); do
    t0=$(date +%s.%N)
    if ! /usr/bin/time -f '%U %S %M' -o "$WORK/last.time" bash -c "$1" >/dev/null 2>"$WORK/last.err"; then
      echo "FAILED: $1" >&2; sed 's/^/  /' "$WORK/last.err" | tail -5 >&2
      echo nan nan nan; return
    fi
    t1=$(date +%s.%N)
    read -r u s m < <(tail -1 "$WORK/last.time")
    walls+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
    cpus+=("$(awk -v a="$u" -v b="$s" 'BEGIN { printf "%.2f", a + b }')")
    mems+=("$(awk -v k="$m" 'BEGIN { printf "%.1f", k / 1024 }')")
  done
  echo "$(printf '%s\n' "${walls[@]}" | median) $(printf '%s\n' "${cpus[@]}" | median) $(printf '%s\n' "${mems[@]}" | median)"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b+0 > 0 && a == a+0) printf "%.2f", a/b; else print "-" }'; }

rows=()
row_format='%-34s %8s %7s  %-22s %8s %7s  %6s %6s'
# compare NAME TEVO_COMMAND PEER_NAME PEER_COMMAND
compare() {
  [ -n "$filter" ] && [[ "$1" != *"$filter"* ]] && return 0
  local tw tc tm pw pc pm
  read -r tw tc tm < <(time_cmd "$2")
  read -r pw pc pm < <(time_cmd "$4")
  rows+=("$(printf "$row_format" "$1" "$tw" "$tm" "$3" "$pw" "$pm" "$(ratio "$tw" "$pw")" "$(ratio "$tc" "$pc")")")
  echo "${rows[-1]}" >&2
}
# measure NAME TEVO_COMMAND
measure() {
  [ -n "$filter" ] && [[ "$1" != *"$filter"* ]] && return 0
  local tw tc tm
  read -r tw tc tm < <(time_cmd "$2")
  rows+=("$(printf "$row_format" "$1" "$tw" "$tm" "-" "-" "-" "-" "-")")
  echo "${rows[-1]}" >&2
}

# The machine may be shared: its load goes beside the table.
load_start=$(uptime)
for jobs in "$here"/jobs/*.sh; do
  # shellcheck source=/dev/null
  source "$jobs"
done

printf "\n%s minutes of stereo 44.1 kHz, medians of %s runs\n" "$MINUTES" "$REPEAT"
printf "at the start: %s\nat the end:   %s\n" "${load_start##*,  }" "$(uptime | sed 's/.*,  //')"
printf "\n$row_format\n" "job" "tevo s" "tevo MB" "peer" "peer s" "peer MB" "ratio" "cpu"
printf '%s\n' "${rows[@]}"
