# Look-ahead limiting and multiband levelling. `tevo level` analyses the file
# and levels it in a second run; the limiter and the bands add to the second
# run only. Goals: the limiter costs at most 0.5 s over plain levelling, the
# 3-band levelling at most 2 s in all.
measure "level (analysis + 1 band)" "'$TEVO' level -y '$IN' '$OUT/level.wav'"
compare "level --limit 0" "'$TEVO' level -y '$IN' '$OUT/level-limit.wav' --limit 0" \
  "ffmpeg alimiter" "ffmpeg -v error -y -i '$IN' -af alimiter=limit=0.98:attack=5:release=100:level=0 '$OUT/alimiter.wav'"

# Three bands split at 200 and 2000 Hz, each levelled and limited, summed and
# limited again; the peers compress three bands and sum them.
mcompand_band='0.005,0.1 -47,-40,-34,-34,-17,-33,0,0'
compare "level --multiband 200,2000" "'$TEVO' level -y '$IN' '$OUT/multiband.wav' --multiband 200,2000" \
  "sox mcompand" "sox -V1 '$IN' '$OUT/mcompand.wav' mcompand '$mcompand_band' 200 '$mcompand_band' 2000 '$mcompand_band'"
compare "level --multiband 200,2000 --fft" "'$TEVO' level -y '$IN' '$OUT/multiband-fft.wav' --multiband 200,2000 --fft" \
  "ffmpeg acrossover" "ffmpeg -v error -y -i '$IN' -filter_complex '[0:a]acrossover=split=200 2000[lo][mid][hi];[lo]acompressor[l];[mid]acompressor[m];[hi]acompressor[h];[l][m][h]amix=inputs=3:normalize=0,alimiter=limit=0.98' '$OUT/acrossover.wav'"
