# Recursive filters: a three-band peaking equaliser and a biquad high-pass,
# the same designs (cookbook biquads, widths in octaves) in every tool.
EQ3_TEVO="--eq peak:100:1:3 --eq peak:1000:1:-3 --eq peak:8000:2:4"
EQ3_SOX="equalizer 100 1o 3 equalizer 1000 1o -3 equalizer 8000 2o 4"
EQ3_FF="equalizer=f=100:t=o:w=1:g=3,equalizer=f=1000:t=o:w=1:g=-3,equalizer=f=8000:t=o:w=2:g=4"
compare "filters: 3 peaking EQ" "'$TEVO' process -y '$IN' '$OUT/eq3.wav' $EQ3_TEVO" \
  "sox equalizer x3" "sox -V1 '$IN' '$OUT/eq3-sox.wav' $EQ3_SOX"
compare "filters: 3 peaking EQ (ffmpeg)" "'$TEVO' process -y '$IN' '$OUT/eq3.wav' $EQ3_TEVO" \
  "ffmpeg equalizer x3" "ffmpeg -v error -y -filter_threads 1 -i '$IN' -af '$EQ3_FF' '$OUT/eq3-ff.wav'"
compare "filters: biquad high-pass" "'$TEVO' process -y '$IN' '$OUT/hp.wav' --eq highpass:100:1.9:0" \
  "sox highpass" "sox -V1 '$IN' '$OUT/hp-sox.wav' highpass 100 1.9o"
compare "filters: biquad high-pass (ffmpeg)" "'$TEVO' process -y '$IN' '$OUT/hp.wav' --eq highpass:100:1.9:0" \
  "ffmpeg highpass" "ffmpeg -v error -y -filter_threads 1 -i '$IN' -af 'highpass=f=100:t=o:w=1.9' '$OUT/hp-ff.wav'"
