#!/usr/bin/env bash
# Installs what building and running need (scripts/packages.txt, sections build and run), builds
# the application and the command line in build/app/ (no tests, benchmarks or web page) and
# launches velarto. Without a display it says so and writes the signal of an example network to
# example.wav instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build run
cmake --preset app >/dev/null
cmake --build --preset app -j "$(nproc)"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/app/app/velarto
fi

out="$PWD/example.wav"
echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): velarto needs one to show its screen."
build/app/tools/sonicsend encode --ssid HomeNet --key "correct horse" -o "$out"
echo "Wrote the signal for SSID \"HomeNet\", key \"correct horse\" to $out instead."
