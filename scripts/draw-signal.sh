#!/usr/bin/env bash
# Redraws docs/signal.png from our own WAV output (needs a release build and sox).
set -euo pipefail
cd "$(dirname "$0")/.."
wav=$(mktemp --suffix=.wav)
trap 'rm -f "$wav"' EXIT
build/release/tools/sonicsend encode --ssid HomeNet --key "correct horse" -o "$wav"
# Two of the three frames (1.16 s), down to 8 kHz so that the 1.4-3.1 kHz tones fill the picture.
sox "$wav" -n remix 1 rate 8k trim 0 1.161 spectrogram -x 1000 -y 257 -z 70 -c "" \
  -t "sonicsend: SSID HomeNet, key 'correct horse' (first 2 of 3 frames)" -o docs/signal.png
