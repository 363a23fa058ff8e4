#!/usr/bin/env bash
# Starts a PulseAudio server with a null sink ("null", the default sink) for
# the live playback tests, unless a server already answers. The null sink
# consumes sound in real time and plays nothing.
#
#   bash tests/playback/start-pulseaudio.sh     # exit 0: a server answers
#   bash tests/playback/stop-pulseaudio.sh      # stops it if started here
#
# Run as root, the server warns that it is not meant for root; that is fine
# for tests. Clients find it through the runtime directory it announces; the
# line "PULSE_SERVER=..." printed at the end names its socket for clients
# whose environment differs (another HOME or XDG_RUNTIME_DIR).
set -u
state=${TEVO_PULSE_STATE:-${TMPDIR:-/tmp}/tevo-pulseaudio.pid}

server_string() { pactl info 2>/dev/null | sed -n 's/^Server String: //p'; }

if pactl info >/dev/null 2>&1; then
  echo "start-pulseaudio: a PulseAudio server already answers ($(server_string)); leaving it alone" >&2
  exit 0
fi
if ! command -v pulseaudio >/dev/null 2>&1 || ! command -v pactl >/dev/null 2>&1; then
  echo "start-pulseaudio: pulseaudio and pactl are needed (Debian: pulseaudio pulseaudio-utils)" >&2
  exit 1
fi

log=$(mktemp)
if ! pulseaudio --daemonize=yes --exit-idle-time=-1 -n \
    --load="module-null-sink sink_name=null" --load=module-native-protocol-unix >"$log" 2>&1; then
  echo "start-pulseaudio: pulseaudio did not start:" >&2
  sed 's/^/  /' "$log" >&2
  rm -f "$log"
  exit 1
fi

for _ in $(seq 1 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
if ! pactl info >/dev/null 2>&1; then
  echo "start-pulseaudio: the server started but pactl cannot reach it:" >&2
  sed 's/^/  /' "$log" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"
pactl set-default-sink null >/dev/null 2>&1 || true

# Remember the server started here (its runtime directory holds its pid), so
# that the stop script ends this one and nothing else.
socket=$(server_string)
pid=""
[ -n "$socket" ] && [ -r "$(dirname "$socket")/pid" ] && pid=$(tr -dc '0-9' <"$(dirname "$socket")/pid")
echo "${pid:-unknown} $socket" >"$state"
echo "start-pulseaudio: PulseAudio running with a null sink (pid ${pid:-unknown})" >&2
echo "PULSE_SERVER=unix:$socket"
