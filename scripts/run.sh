#!/usr/bin/env bash
# Installs what is missing, builds the release build and runs the main job: writes the
# signal of an example network to a WAV file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
out="$PWD/example.wav"
build/release/tools/sonicsend encode --ssid "HomeNet" --key "correct horse" -o "$out"
echo "Wrote the signal for SSID \"HomeNet\", key \"correct horse\" to $out"
