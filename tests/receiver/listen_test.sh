#!/usr/bin/env bash
# `sonicsend listen` hears `sonicsend play` through a real sound server: play into its null
# sink, listen on its monitor. Run as: scripts/with-pulse.sh listen_test.sh SONICSEND
set -euo pipefail
cli=$1
export PULSE_SOURCE=${PULSE_TEST_MONITOR:?run under scripts/with-pulse.sh}

# Nothing heard in time is exit status 1.
status=0
"$cli" listen --seconds 2 || status=$?
[ "$status" -eq 1 ] || { echo "listen on silence: exit status $status, expected 1" >&2; exit 1; }

"$cli" play --ssid 'Café Wi-Fi' --key 'correct horse battery staple' --seconds 60 &
player=$!
trap 'kill "$player" 2>/dev/null || true; wait "$player" 2>/dev/null || true' EXIT

# The ALSA "default" device captures from the server's default source: its monitor.
heard=$("$cli" listen --seconds 40 --json)
echo "heard: $heard"
expected='{"ssid":"Café Wi-Fi","key":"correct horse battery staple","ssid_hex":"436166e92057692d4669",'
expected+='"key_hex":"636f727265637420686f727365206261747465727920737461706c65","layout":"framed","frames":6,'
[[ "$heard" == "$expected"* ]] || { echo "expected a message starting with: $expected" >&2; exit 1; }
