#!/usr/bin/env bash
# Installs what is missing, builds the release build and launches velarto. Without a display
# it says so and writes the signal of an example network to example.wav instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/release/app/velarto
fi

out="$PWD/example.wav"
echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): velarto needs one to show its screen."
build/release/tools/sonicsend encode --ssid HomeNet --key "correct horse" -o "$out"
echo "Wrote the signal for SSID \"HomeNet\", key \"correct horse\" to $out instead."
