# MP3 decoding and encoding, and cutting the recording into passages.
IN_MP3="${IN%.wav}.mp3"
if [ ! -s "$IN_MP3" ] && command -v lame >/dev/null; then
  lame --quiet --noreplaygain -b 192 "$IN" "$IN_MP3"
fi

compare "mp3 decode -> WAV" "'$TEVO' process -y '$IN_MP3' '$OUT/dec.wav'" \
  "mpg123" "mpg123 -q -w '$OUT/dec-mpg123.wav' '$IN_MP3'"
compare "mp3 decode -> WAV (ffmpeg)" "'$TEVO' process -y '$IN_MP3' '$OUT/dec.wav'" \
  "ffmpeg" "ffmpeg -v error -y -i '$IN_MP3' '$OUT/dec-ffmpeg.wav'"
compare "mp3 encode 192 kbit/s" "'$TEVO' process -y '$IN' '$OUT/enc.mp3' --bitrate 192" \
  "lame -b 192" "lame --quiet --noreplaygain -b 192 '$IN' '$OUT/enc-lame.mp3'"
# Like with like: the same algorithm quality on both sides (tevo's default is
# 2, the lame command's 3; 7 is a fast setting where the encoder's own work
# weighs least against the rest of the run).
for q in 2 3 7; do
  compare "mp3 encode 192 kbit/s -q $q" "'$TEVO' process -y '$IN' '$OUT/enc.mp3' --bitrate 192 --quality $q" \
    "lame -q $q -b 192" "lame --quiet --noreplaygain -q $q -b 192 '$IN' '$OUT/enc-lame.mp3'"
done
# Both tevo runs (detector, then the cut) against sox's silence effect
# starting a new file after each pause of a second (about 60 files here, as tevo).
compare "split into passages" \
  "rm -rf '$OUT/split' && mkdir '$OUT/split' && '$TEVO' split -y '$IN' '$OUT/split/part.wav'" \
  "sox silence+newfile" \
  "rm -rf '$OUT/split-sox' && mkdir '$OUT/split-sox' && sox -V1 '$IN' '$OUT/split-sox/part.wav' silence 1 0.1 2% 1 1.0 2% : newfile : restart"
