#!/usr/bin/env bash
# Installs what is missing, builds the release, sanitizer and fuzz builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
for preset in release asan tsan; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  scripts/fuzz.sh
fi
