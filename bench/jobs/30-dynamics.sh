# Level analysis and dynamics: whole-file statistics, region detection, and
# levelling (detector run + amplifier run) against a loudness normaliser.
compare "stats" "'$TEVO' stats '$IN'" "sox stats" "sox -V1 '$IN' -n stats"
measure "regions" "'$TEVO' regions '$IN'"
compare "level (two runs)" "'$TEVO' level -y '$IN' '$OUT/level.wav'" "ffmpeg dynaudnorm" \
  "ffmpeg -v error -y -i '$IN' -af dynaudnorm '$OUT/level-ffmpeg.wav'"
