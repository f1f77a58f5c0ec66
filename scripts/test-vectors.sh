#!/usr/bin/env bash
# Writes recordings a listening device must hear, each beside the JSON it must report: both
# layouts, 1 to 12 frames (the 93- and 95-unit limits), Latin-1 bytes, at 8, 16, 44.1 and
# 48 kHz, clean and through a reverberant room (sox's reverb), three passes each, mono 16-bit WAV.
#   scripts/test-vectors.sh DIR [--sonicsend PATH]
# NAME-RATE-CHANNEL.wav beside NAME-RATE-CHANNEL.json: {"ssid","key" (the bytes as characters
# U+0000 ... U+00FF, as `sonicsend decode --json` writes them), "ssid_hex","key_hex","layout",
# "frames" (per pass)}. Not given: "passes", the passes a message was read from, which depends
# on the receiver (in a room, on its model of the room). A device feeds each file at its rate to
# a listener (listener.h: a state of sonicsendListenerStateSize bytes, 8-byte aligned, or a
# static array of SONICSEND_LISTENER_STATE_SIZE(rate); when Init refuses it,
# sonicsendListenerCheck says why) and compares SonicsendHeard with the JSON.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?usage: test-vectors.sh DIR [--sonicsend PATH]}
sonicsend=${SONICSEND:-}
[ "${2:-}" = --sonicsend ] && sonicsend=${3:?--sonicsend needs a path}
if [ -z "$sonicsend" ]; then
  sonicsend=$(command -v sonicsend || echo "$repo/build/release/tools/sonicsend")
fi
[ -x "$sonicsend" ] || { echo "test-vectors: no sonicsend at $sonicsend (build it, or --sonicsend)" >&2; exit 2; }
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

long32=HomeNetwork-Upstairs-5GHz-Guest1
long61=correct-horse-battery-staple-and-a-long-passphrase-of-61-char
long63=correct-horse-battery-staple-and-a-long-passphrase-of-63-chars
# name, layout, SSID, key (UTF-8 here; each character U+0001 ... U+00FF is one byte on air)
vectors=(
  "framed-4-frames|framed|HomeNet|correct horse battery"
  "bare-4-frames|bare|HomeNet|correct horse battery"
  "framed-1-frame|framed|ab|c"
  "bare-1-frame|bare|ab|cde"
  "framed-93-units|framed|$long32|$long61"
  "bare-95-units|bare|$long32|$long63"
  "framed-latin1|framed|Café Wi-Fi|clé-ñ-ü-ß"
  "bare-latin1|bare|Straße|Grüße"
)

# The JSON a receiver must report for one message.
expected() {
  python3 - "$1" "$2" "$3" <<'PY'
import json, sys
layout, ssid, key = sys.argv[1], sys.argv[2].encode('latin-1'), sys.argv[3].encode('latin-1')
length = len(ssid) + len(key) + (3 if layout == 'framed' else 1)
print(json.dumps({'ssid': ssid.decode('latin-1'), 'key': key.decode('latin-1'),
                  'ssid_hex': ssid.hex(), 'key_hex': key.hex(), 'layout': layout,
                  'frames': (length + 7) // 8}, ensure_ascii=False))
PY
}

for vector in "${vectors[@]}"; do
  IFS='|' read -r name layout ssid key <<<"$vector"
  flags=()
  [ "$layout" = bare ] && flags=(--bare)
  "$sonicsend" encode --ssid "$ssid" --key "$key" "${flags[@]}" --passes 3 -o "$work/$name.wav"
  for rate in 8000 16000 44100 48000; do
    for channel in clean room; do
      base=$dir/$name-$rate-$channel
      effect=()
      [ "$channel" = room ] && effect=(reverb 40 50 60 gain -3)
      sox -D "$work/$name.wav" -r "$rate" -c 1 -b 16 "$base.wav" "${effect[@]}"
      expected "$layout" "$ssid" "$key" >"$base.json"
    done
  done
done
echo "test-vectors: $(ls "$dir"/*.wav | wc -l) recordings in $dir"
