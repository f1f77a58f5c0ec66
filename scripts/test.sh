#!/usr/bin/env bash
# Installs what is missing (every section of scripts/packages.txt), builds the release, sanitizer
# and fuzz builds, and runs every test. In CI (CI=true) it also builds the Debian packages and
# installs, tries and purges them (scripts/smoke-packages.sh), which changes the system.
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

if [ "${CI:-}" = true ]; then
  echo "=== packages: build, install, smoke test, purge"
  scripts/package.sh
  scripts/smoke-packages.sh
fi
