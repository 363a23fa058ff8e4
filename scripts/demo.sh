#!/usr/bin/env bash
# Sets everything up, builds, and runs `tevo demo` on its built-in recording.
#   bash scripts/demo.sh [DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" "$root/build" -DTEVO_PYTHON=ON
# Live playback in the demo needs a sound server; start a silent one when none runs.
bash "$root/tests/playback/start-pulseaudio.sh" >/dev/null 2>&1 || true
"$root/build/tevo" demo "${1:-$root/tevo-demo}"
