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
#   PULSE_TEST_RESTART          a script that stops the server and starts a fresh one on the
#                               same socket, as a sound server restarting under a client would
#   PULSE_TEST_STOP             a script that stops the server
#   PULSE_TEST_START            a script that starts a fresh server and waits until it answers
# Exits with the command's status. Works as root and as a normal user.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/with-pulse.XXXXXX")
cleanup() {
  if [ -f "$dir/server.pid" ]; then "$dir/stop-server"; fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$dir/home" "$dir/runtime" "$dir/state"
chmod 700 "$dir/runtime"
sink=velarto_test_sink
socket=$dir/runtime/native

# The server keeps its state under HOME and XDG_RUNTIME_DIR: give it ours, not the caller's.
# Its PID goes to server.pid; stop-server stops exactly that process.
cat >"$dir/start-server" <<SCRIPT
#!/usr/bin/env bash
HOME=$dir/home XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/home/.config \\
  PULSE_RUNTIME_PATH=$dir/runtime PULSE_STATE_PATH=$dir/state \\
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \\
  --log-target="file:$dir/pulse.log" --log-level=notice \\
  -L "module-native-protocol-unix socket=$socket auth-anonymous=1" \\
  -L "module-null-sink sink_name=$sink rate=44100 channels=2 format=s16le norewinds=1" \\
  </dev/null >>"$dir/pulse.log" 2>&1 &
echo \$! >"$dir/server.pid"
SCRIPT
cat >"$dir/stop-server" <<SCRIPT
#!/usr/bin/env bash
pid=\$(cat "$dir/server.pid")
kill "\$pid" 2>/dev/null || exit 0
for _ in \$(seq 100); do kill -0 "\$pid" 2>/dev/null || exit 0; sleep 0.05; done
kill -9 "\$pid" 2>/dev/null || true
SCRIPT
cat >"$dir/wait-server" <<SCRIPT
#!/usr/bin/env bash
# Waits until the server answers (at most 10 s).
for _ in \$(seq 100); do
  if pactl info >/dev/null 2>&1; then exit 0; fi
  kill -0 "\$(cat "$dir/server.pid")" 2>/dev/null || break
  sleep 0.1
done
echo "with-pulse: the PulseAudio server does not answer on $socket:" >&2
cat "$dir/pulse.log" >&2
exit 1
SCRIPT
cat >"$dir/start-and-wait" <<SCRIPT
#!/usr/bin/env bash
set -e
"$dir/start-server"
"$dir/wait-server"
SCRIPT
cat >"$dir/restart-server" <<SCRIPT
#!/usr/bin/env bash
set -e
"$dir/stop-server"
"$dir/start-and-wait"
SCRIPT
chmod +x "$dir/start-server" "$dir/stop-server" "$dir/wait-server" "$dir/start-and-wait" \
  "$dir/restart-server"

export PULSE_SERVER=unix:$socket
export PULSE_COOKIE=$dir/home/.config/pulse/cookie
export PULSE_TEST_SINK=$sink
export PULSE_TEST_MONITOR=$sink.monitor
export PULSE_TEST_DIR=$dir
export PULSE_TEST_RESTART=$dir/restart-server
export PULSE_TEST_STOP=$dir/stop-server
export PULSE_TEST_START=$dir/start-and-wait

cat >"$dir/asound.conf" <<ALSA
</usr/share/alsa/alsa.conf>
pcm.!default { type pulse }
ctl.!default { type pulse }
ALSA
export ALSA_CONFIG_PATH=$dir/asound.conf

"$dir/start-server"
"$dir/wait-server"

status=0
"$@" || status=$?
exit "$status"
