# Loudness normalisation to -16 LUFS / -1 dBTP on speech-like recordings:
# tevo level --target -16 against ffmpeg loudnorm (two passes, linear mode)
# and ffmpeg dynaudnorm. Everything is measured by ffmpeg's ebur128 filter
# (peak=true): integrated loudness error, true peak, loudness range before
# and after, the worst section's short-term loudness against the target
# (bench/loudness/evaluate.py), the loudest pause, and the wall time (one
# run each; loudnorm's two passes together). A second table checks that
# `tevo stats` reads the same integrated loudness and true peak as ffmpeg.
# Sourced by bench/run.sh; prints its own tables.
if [ -z "$filter" ] || [[ "loudness" == *"$filter"* ]]; then
  lwork="$WORK/loudness"
  mkdir -p "$lwork/out"
  if [ ! -s "$lwork/long.wav" ]; then
    "$TEVO" demo --synth-only "$lwork/synth" >/dev/null
    /usr/bin/python3 "$here/loudness/make_recordings.py" "$lwork" "$lwork/synth/recording.wav"
    cp "$lwork/synth/recording.wav" "$lwork/demo.wav"
    # The demo's four sections, of a quarter of its length each.
    /usr/bin/python3 -c "q=50/4; print('0.3 %.3f speech' % q); [print('%.3f %.3f speech' % (k*q, (k+1)*q)) for k in (1, 2, 3)]" \
      > "$lwork/demo.sections"
  fi
  wall() { local t0 t1; t0=$(date +%s.%N); bash -c "$1" >/dev/null 2>"$lwork/last.err" || { echo "FAILED: $1" >&2; tail -3 "$lwork/last.err" >&2; }; t1=$(date +%s.%N); awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'; }
  lra_of() { ffmpeg -nostats -hide_banner -i "$1" -af ebur128 -f null - 2>&1 | awk '/LRA:/ {v=$2} END {print v}'; }
  loudness_rows=()
  agreement_rows=()
  for name in ${LOUDNESS_FILES:-demo talkers lecture music long}; do
    in="$lwork/$name.wav"; sections="$lwork/$name.sections"
    lra_in=$(lra_of "$in")
    # tevo
    t_tevo=$(wall "'$TEVO' level -y '$in' '$lwork/out/$name-tevo.wav' --target -16")
    # loudnorm, first pass: measure; second pass: apply linearly.
    t0=$(date +%s.%N)
    json=$(ffmpeg -nostats -hide_banner -i "$in" -af loudnorm=I=-16:TP=-1:LRA=50:print_format=json -f null - 2>&1 | sed -n '/^{/,/^}/p')
    get() { echo "$json" | sed -n "s/.*\"$1\" : \"\([^\"]*\)\".*/\1/p"; }
    ffmpeg -v error -y -i "$in" -af "loudnorm=I=-16:TP=-1:LRA=50:linear=true:measured_I=$(get input_i):measured_TP=$(get input_tp):measured_LRA=$(get input_lra):measured_thresh=$(get input_thresh):offset=$(get target_offset)" -ar "$(ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 "$in")" "$lwork/out/$name-loudnorm.wav"
    t1=$(date +%s.%N)
    t_loudnorm=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
    t_dyn=$(wall "ffmpeg -v error -y -i '$in' -af dynaudnorm '$lwork/out/$name-dynaudnorm.wav'")
    for method in tevo loudnorm dynaudnorm; do
      case $method in tevo) t=$t_tevo;; loudnorm) t=$t_loudnorm;; dynaudnorm) t=$t_dyn;; esac
      m=$(/usr/bin/python3 "$here/loudness/evaluate.py" "$lwork/out/$name-$method.wav" "$sections" -16)
      loudness_rows+=("$(echo "$m" | awk -v f="$name" -v meth="$method" -v lin="$lra_in" -v t="$t" '{
        for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
        printf "%-8s %-11s %+7.1f %7.1f %6.1f %6.1f %12s %7.1f %7.2f", f, meth, v["I"] + 16, v["TP"], lin, v["LRA"], v["worst"], v["pause"], t }')")
    done
    # tevo stats against ffmpeg ebur128 on the input and on tevo's output.
    for file in "$in" "$lwork/out/$name-tevo.wav"; do
      ours=$("$TEVO" stats "$file" 2>/dev/null)
      theirs=$(ffmpeg -nostats -hide_banner -i "$file" -af ebur128=peak=true -f null - 2>&1 | sed -n '/Summary/,$p')
      agreement_rows+=("$(printf '%-26s %8s %8s %8s %8s' "$(basename "$file")" \
        "$(echo "$ours" | awk '/^Integrated/ {print $2}')" "$(echo "$theirs" | awk '/I:/ {print $2}')" \
        "$(echo "$ours" | awk '/^True peak/ {print $3}')" "$(echo "$theirs" | awk '/True peak:/ {getline; print $2}')")")
    done
  done
  printf '\n%-8s %-11s %7s %7s %6s %6s %12s %7s %7s\n' file method "I err" "TP" "LRA in" "out" "worst sect." "pause" "wall s"
  printf '%s\n' "${loudness_rows[@]}"
  printf '\n%-26s %8s %8s %8s %8s\n' "file" "tevo I" "ffmpeg I" "tevo TP" "ffmpeg TP"
  printf '%s\n' "${agreement_rows[@]}"
fi
