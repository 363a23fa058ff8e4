#!/usr/bin/env bash
# Builds the reader fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and makes their seed corpora with sox and lame.
#   bash fuzz/build.sh [OUT_DIR]      (default: build-fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-fuzz}
mkdir -p "$out/obj"
CXX=${CXX_FUZZ:-clang++}
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -DTEVO_BUILDING_LIBRARY -I"$root/core" -I"$root/graph" -I"$root/io" $(pkg-config --cflags Qt5Core sndfile libmpg123 fftw3) -fPIC)
libs=($(pkg-config --libs Qt5Core sndfile libmpg123 fftw3) -ldl)

# The readers and what they stand on.
objs=()
for src in "$root"/core/*.cpp "$root"/graph/SoundReader.cpp "$root"/io/SoundReader*.cpp "$root"/io/SoundTag*.cpp "$root"/io/SoundSndfileTags.cpp; do
  obj="$out/obj/$(basename "${src%.cpp}").o"
  if [ ! -s "$obj" ] || [ "$src" -nt "$obj" ]; then
    "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  fi
  objs+=("$obj")
done

for type in wav flac ogg opus aiff mp3; do
  "$CXX" "${flags[@]}" -fsanitize=fuzzer -DFUZZ_EXTENSION="\".$type\"" "$root/fuzz/fuzz_reader.cpp" \
    "${objs[@]}" "${libs[@]}" -o "$out/fuzz_$type"
done

# Seeds: short files of each type, mono and stereo, with and without tags.
seeds="$out/seeds"
mkdir -p "$seeds"/{wav,flac,ogg,opus,aiff,mp3}
s() { sox -V1 -n "$@"; }
for c in 1 2; do
  s -r 8000 -c $c -b 16 "$seeds/wav/s16-$c.wav" synth 0.05 sine 440
  s -r 8000 -c $c -b 24 "$seeds/wav/s24-$c.wav" synth 0.05 sine 440
  s -r 8000 -c $c -e floating-point -b 32 "$seeds/wav/f32-$c.wav" synth 0.05 sine 440
  s -r 8000 -c $c -b 8 -e unsigned "$seeds/wav/u8-$c.wav" synth 0.05 sine 440
  s -r 8000 -c $c -b 16 "$seeds/flac/s16-$c.flac" synth 0.05 sine 440
  s -r 8000 -c $c -b 24 "$seeds/flac/s24-$c.flac" synth 0.05 sine 440
  s -r 8000 -c $c "$seeds/ogg/v-$c.ogg" synth 0.1 sine 440
  s -r 8000 -c $c -b 16 "$seeds/aiff/s16-$c.aiff" synth 0.05 sine 440
  s -r 8000 -c $c -b 24 "$seeds/aiff/s24-$c.aiff" synth 0.05 sine 440
done
s -r 8000 -c 6 -b 16 "$seeds/wav/six.wav" synth 0.02 sine 440
# Opus: sox reads it but may not write it; ffmpeg's encoder makes the seeds.
for c in 1 2; do
  ffmpeg -v error -y -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=0.05" -ac $c -c:a libopus \
    "$seeds/opus/o-$c.opus"
done
tmp="$out/seed-src.wav"
s -r 8000 -c 2 -b 16 "$tmp" synth 0.1 sine 440
s -r 8000 -c 1 -b 16 "$out/seed-mono.wav" synth 0.1 sine 440
lame --quiet -b 32 "$tmp" "$seeds/mp3/plain.mp3"
lame --quiet -b 32 --id3v1-only --tt title --ta artist --tg Rock --tn 3 "$tmp" "$seeds/mp3/id3v1.mp3"
lame --quiet -b 32 --id3v2-only --tt title --ta artist --tl album --ty 2020 --tc note --tn 3 "$tmp" "$seeds/mp3/id3v2.mp3"
lame --quiet -b 32 --add-id3v2 --tt title "$out/seed-mono.wav" "$seeds/mp3/mono-both.mp3"
rm -f "$tmp" "$out/seed-mono.wav"
echo "fuzz targets in $out"
