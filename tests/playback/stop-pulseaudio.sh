#!/usr/bin/env bash
# Stops the PulseAudio server that start-pulseaudio.sh started; a server that
# was already running before it is left alone.
set -u
state=${TEVO_PULSE_STATE:-${TMPDIR:-/tmp}/tevo-pulseaudio.pid}
[ -r "$state" ] || exit 0
read -r pid socket <"$state" || true
rm -f "$state"

if [ -n "${pid:-}" ] && [ "$pid" != unknown ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pulseaudio ]; then
  kill "$pid"
  for _ in $(seq 1 50); do
    [ -e "/proc/$pid" ] || break
    sleep 0.1
  done
else
  # No usable pid: ask the server behind the recorded socket to leave.
  PULSE_SERVER="unix:${socket:-}" pactl exit >/dev/null 2>&1 || true
fi
echo "stop-pulseaudio: PulseAudio stopped" >&2
