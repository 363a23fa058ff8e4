# Level analysis and dynamics: whole-file statistics, region detection, and
# levelling (detector run + amplifier run) against a loudness normaliser.
compare "stats" "'$TEVO' stats '$IN'" "sox stats" "sox -V1 '$IN' -n stats"
# sox does not measure loudness; ffmpeg's meter does the same work as tevo's.
compare "stats (ffmpeg ebur128)" "'$TEVO' stats '$IN'" "ffmpeg ebur128" \
  "ffmpeg -v error -nostats -i '$IN' -af ebur128=peak=true -f null -"
measure "regions" "'$TEVO' regions '$IN'"
compare "level (two runs)" "'$TEVO' level -y '$IN' '$OUT/level.wav'" "ffmpeg dynaudnorm" \
  "ffmpeg -v error -y -i '$IN' -af dynaudnorm '$OUT/level-ffmpeg.wav'"
# Loudness normalisation to -16 LUFS under a -1 dBTP ceiling, as both do it.
compare "level --target -16" "'$TEVO' level -y '$IN' '$OUT/level-target.wav' --target -16" "ffmpeg loudnorm" \
  "ffmpeg -v error -y -i '$IN' -af loudnorm=I=-16:TP=-1 -ar 44100 '$OUT/loudnorm.wav'"
