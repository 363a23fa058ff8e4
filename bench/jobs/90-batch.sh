# Batches on one machine: 100 files of 30 s, levelled by one `tevo level -j 2
# -o DIR` against the same 100 `tevo level IN OUT` one after another. Goal on
# a 2-core machine: the batch has at least 1.8 times the throughput (the
# ratio column at most 0.56). The machine's load average is printed beside
# the figures: other work on the cores narrows the gap.
# Sourced by bench/run.sh.
if [ -z "$filter" ] || [[ "batch" == *"$filter"* ]]; then
  bwork="$WORK/batch"
  mkdir -p "$bwork/in" "$bwork/one-by-one" "$bwork/together"
  if [ "$(ls "$bwork/in" | wc -l)" -ne 100 ]; then
    echo "making 100 files of 30 s in $bwork/in ..." >&2
    # Pink noise that swells and fades (a tremolo of 0.2 to 0.8 Hz) at levels
    # from -10 to -24 dBFS: regions to level, different in every file.
    for i in $(seq -w 1 100); do
      sox -V1 -n -r 44100 -c 2 -b 16 "$bwork/in/take$i.wav" synth 30 pinknoise \
        tremolo "0.$(( 10#$i % 7 + 2 ))" 80 gain "-$(( 10 + 10#$i % 15 ))"
    done
  fi
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  read -r tw tc tm < <(time_cmd "'$TEVO' level -q -y -j 2 -o '$bwork/together' '$bwork/in/'*.wav")
  read -r pw pc pm < <(time_cmd "for f in '$bwork/in/'*.wav; do '$TEVO' level -q -y \"\$f\" '$bwork/one-by-one/'\"\$(basename \"\$f\")\" || exit 1; done")
  rows+=("$(printf "$row_format" "level 100 x 30 s -j 2 -o DIR" "$tw" "$tm" "level one by one" "$pw" "$pm" "$(ratio "$tw" "$pw")" "$(ratio "$tc" "$pc")")")
  echo "${rows[-1]}" >&2
  echo "batch throughput $(ratio "$pw" "$tw") x one by one (goal 1.8); load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after" >&2
  # The same outputs either way.
  cmp -s "$bwork/together/take001.wav" "$bwork/one-by-one/take001.wav" \
    || echo "batch output differs from the single run for take001.wav" >&2
fi
