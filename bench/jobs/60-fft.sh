# FIR filters (a short one by direct convolution; long ones, which the node
# convolves by FFT, the 1363-tap one also on one and on two threads) and the
# FFT equaliser, against sox's sinc with the same number of taps (sox filters
# by FFT whatever the length). The tevo times include designing the filter.
compare "fir lowpass:1000 (35 taps)" "'$TEVO' process -y '$IN' '$OUT/fir-lp.wav' --fir lowpass:1000" \
  "sox sinc -n 35 -1000" "sox -V1 '$IN' '$OUT/fir-lp-sox.wav' sinc -n 35 -1000"
compare "fir highpass:100 (1363 taps)" "'$TEVO' process -y '$IN' '$OUT/fir-hp.wav' --fir highpass:100" \
  "sox sinc -n 1363 100" "sox -V1 '$IN' '$OUT/fir-hp-sox.wav' sinc -n 1363 100"
compare "fir highpass:50 (2723 taps)" "'$TEVO' process -y '$IN' '$OUT/fir-hp50.wav' --fir highpass:50" \
  "sox sinc -n 2723 50" "sox -V1 '$IN' '$OUT/fir-hp50-sox.wav' sinc -n 2723 50"
compare "fft-eq lowpass:1000 (447 taps)" "'$TEVO' process -y '$IN' '$OUT/fft-lp.wav' --fft-eq lowpass:1000" \
  "sox sinc -n 447 -1000" "sox -V1 '$IN' '$OUT/fft-lp-sox.wav' sinc -n 447 -1000"
measure "fir highpass:100, 1 thread" "OMP_NUM_THREADS=1 '$TEVO' process -y '$IN' '$OUT/fir-hp1.wav' --fir highpass:100"
measure "fir highpass:100, 2 threads" "OMP_NUM_THREADS=2 '$TEVO' process -y '$IN' '$OUT/fir-hp2.wav' --fir highpass:100"
# Band levels: three bands split by FFT filters of 447 taps, RMS and peak of
# each; sox filters the file once per band and measures it with stats.
compare "bands 250,2000 (447 taps)" "'$TEVO' bands '$IN' --crossovers 250,2000" \
  "sox sinc -n 447 x3, stats" "for f in -250 250-2000 2000; do sox -V1 '$IN' -n sinc -n 447 \$f stats; done"
