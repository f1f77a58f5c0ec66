#!/usr/bin/env bash
# Runs a command against a private PulseAudio server with one null sink, then stops the server.
#   scripts/with-pulse.sh COMMAND [ARGS...]
# The server lives in a temporary directory and knows nothing of the user's own sound setup.
# The command sees:
#   PULSE_SERVER, PULSE_COOKIE  the private server
#   ALSA_CONFIG_PATH            ALSA's configuration, its "default" PCM and control on that server
#   PULSE_TEST_SINK, PULSE_TEST_MONITOR  the null sink (44 100 Hz, 2 channels, s16le), its monitor
#   PULSE_TEST_DIR              the temporary directory, for the command's own files
#   PULSE_TEST_STOP, PULSE_TEST_START, PULSE_TEST_RESTART  scripts that stop the server, start a
#                               fresh one on the same socket and wait until it answers, or both
# Exits with the command's status. Works as root and as a normal user.
set -euo pipefail

# The server keeps its state under HOME and XDG_RUNTIME_DIR: give it ours, not the caller's.
start() {
  HOME=$dir/home XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/home/.config \
    PULSE_RUNTIME_PATH=$dir/runtime PULSE_STATE_PATH=$dir/state \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target="file:$dir/pulse.log" --log-level=notice \
    -L "module-native-protocol-unix socket=$dir/runtime/native auth-anonymous=1" \
    -L "module-null-sink sink_name=velarto_test_sink rate=44100 channels=2 format=s16le norewinds=1" \
    </dev/null >>"$dir/pulse.log" 2>&1 &
  echo $! >"$dir/server.pid"
  for _ in $(seq 100); do  # at most 10 s
    if PULSE_SERVER=unix:$dir/runtime/native pactl info >/dev/null 2>&1; then return 0; fi
    kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "with-pulse: the PulseAudio server does not answer:" >&2
  cat "$dir/pulse.log" >&2
  return 1
}
# Stops exactly the server this script started.
stop() {
  local pid
  pid=$(cat "$dir/server.pid")
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.05; done
  kill -9 "$pid" 2>/dev/null || true
}

# Called through one of the links in the server's directory.
case ${0##*/} in
  start | stop) dir=$(dirname "$0"); "${0##*/}"; exit ;;
  restart) dir=$(dirname "$0"); stop; start; exit ;;
esac
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/with-pulse.XXXXXX")
trap 'if [ -f "$dir/server.pid" ]; then stop; fi; rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$dir/home" "$dir/runtime" "$dir/state"
chmod 700 "$dir/runtime"
for action in start stop restart; do ln -s "$(readlink -f "$0")" "$dir/$action"; done
printf '</usr/share/alsa/alsa.conf>\npcm.!default { type pulse }\nctl.!default { type pulse }\n' \
  >"$dir/asound.conf"

export PULSE_SERVER=unix:$dir/runtime/native PULSE_COOKIE=$dir/home/.config/pulse/cookie
export PULSE_TEST_SINK=velarto_test_sink PULSE_TEST_MONITOR=velarto_test_sink.monitor
export PULSE_TEST_DIR=$dir PULSE_TEST_STOP=$dir/stop PULSE_TEST_START=$dir/start
export PULSE_TEST_RESTART=$dir/restart ALSA_CONFIG_PATH=$dir/asound.conf
start
status=0
"$@" || status=$?
exit "$status"
