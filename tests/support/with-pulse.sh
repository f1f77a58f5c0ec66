#!/usr/bin/env bash
# Runs a command against a private PulseAudio server with one null sink, then stops the server.
#
#   tests/support/with-pulse.sh COMMAND [ARGS...]
#
# The server lives in a temporary directory (socket, cookie, state, log) and knows nothing of
# the user's own sound setup. The command sees:
#   PULSE_SERVER, PULSE_COOKIE  the private server
#   ALSA_CONFIG_PATH            ALSA's configuration plus "default" PCM and control -> that server
#   PULSE_TEST_SINK             name of the null sink (44 100 Hz, 2 channels, s16le)
#   PULSE_TEST_MONITOR          name of its monitor source, to record what was played
#   PULSE_TEST_DIR              the temporary directory, for the command's own files
# Exits with the command's status. Works as root and as a normal user.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/with-pulse.XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$dir/home" "$dir/runtime" "$dir/state"
chmod 700 "$dir/runtime"
sink=velarto_test_sink
socket=$dir/runtime/native

# The server keeps its state under HOME and XDG_RUNTIME_DIR: give it ours, not the caller's.
HOME=$dir/home XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/home/.config \
  PULSE_RUNTIME_PATH=$dir/runtime PULSE_STATE_PATH=$dir/state \
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  --log-target="file:$dir/pulse.log" --log-level=notice \
  -L "module-native-protocol-unix socket=$socket auth-anonymous=1" \
  -L "module-null-sink sink_name=$sink rate=44100 channels=2 format=s16le norewinds=1" \
  </dev/null >>"$dir/pulse.log" 2>&1 &
pid=$!

export PULSE_SERVER=unix:$socket
export PULSE_COOKIE=$dir/home/.config/pulse/cookie
export PULSE_TEST_SINK=$sink
export PULSE_TEST_MONITOR=$sink.monitor
export PULSE_TEST_DIR=$dir

cat >"$dir/asound.conf" <<ALSA
</usr/share/alsa/alsa.conf>
pcm.!default { type pulse }
ctl.!default { type pulse }
ALSA
export ALSA_CONFIG_PATH=$dir/asound.conf

# Wait until the server answers (at most 10 s).
for _ in $(seq 100); do
  if pactl info >/dev/null 2>&1; then break; fi
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "with-pulse: the PulseAudio server did not start:" >&2
    cat "$dir/pulse.log" >&2
    exit 1
  fi
  sleep 0.1
done
if ! pactl info >/dev/null 2>&1; then
  echo "with-pulse: the PulseAudio server does not answer on $socket" >&2
  cat "$dir/pulse.log" >&2
  exit 1
fi

status=0
"$@" || status=$?
exit "$status"
