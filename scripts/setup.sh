#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root or through sudo), then
# configures and builds into BUILD_DIR (default ./build).
#   bash scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true

packages=(build-essential cmake pkg-config
  qtbase5-dev qtmultimedia5-dev libqt5svg5-dev libqt5multimedia5-plugins
  libsndfile1-dev libmpg123-dev libmp3lame-dev libmp3lame0 libfftw3-dev libebur128-dev libboost-dev libgtest-dev googletest
  sox libsox-fmt-all ffmpeg lame mpg123 pulseaudio pulseaudio-utils
  python3 python3-numpy python3-scipy python3-soundfile pybind11-dev python3-pybind11 python3-dask python3-distributed
  clang libclang-rt-14-dev clang-format-14)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
