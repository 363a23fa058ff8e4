# File copies and a gain: the loop, the reader and the writer.
compare "copy WAV->WAV" "'$TEVO' process -y '$IN' '$OUT/copy.wav'" "sox" "sox -V1 '$IN' '$OUT/copy-sox.wav'"
compare "WAV->FLAC" "'$TEVO' process -y '$IN' '$OUT/copy.flac'" "sox" "sox -V1 '$IN' '$OUT/copy-sox.flac'"
compare "FLAC->WAV" "'$TEVO' process -y '$IN_FLAC' '$OUT/from-flac.wav'" "sox" "sox -V1 '$IN_FLAC' '$OUT/from-flac-sox.wav'"
compare "gain -6 dB" "'$TEVO' process -y '$IN' '$OUT/gain.wav' --gain -6" "sox gain -6" "sox -V1 '$IN' '$OUT/gain-sox.wav' gain -6"
# Reading a header only: what the process holds before it processes anything.
compare "info" "'$TEVO' info '$IN'" "soxi" "soxi '$IN'"
# Every job on the demo's own 50 s recording: its peak memory is that of its
# largest step (the band report, the level chain), to set beside info's.
measure "demo (all jobs, 50 s)" "'$TEVO' demo '$WORK/demo'"
