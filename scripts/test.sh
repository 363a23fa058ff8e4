#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite. Live playback
# tests play through a PulseAudio server with a null sink started here.
#   bash scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
bash "$root/scripts/setup.sh" "$build" -DTEVO_PYTHON=ON "$@"

started=0
if bash "$root/tests/playback/start-pulseaudio.sh"; then started=1; fi
cleanup() { [ "$started" = 1 ] && bash "$root/tests/playback/stop-pulseaudio.sh" || true; }
trap cleanup EXIT

ctest --test-dir "$build" -j2 --output-on-failure --timeout 600
