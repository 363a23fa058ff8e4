#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then configures and builds
# a consumer with find_package and with pkg-config, and runs both.
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib/x86_64-linux-gnu" "$work/consumer/consumer"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
flags=$(pkg-config --cflags --libs tevo_fftw_win32 Qt5Core)
# shellcheck disable=SC2086
g++ -std=c++17 -fPIC "$source_dir/consumer/main.cpp" -o "$work/pc-consumer" $flags
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib/x86_64-linux-gnu" "$work/pc-consumer"
