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

# CMake's default generator (Makefiles) and no build type, as a user builds from a clean folder:
# the default targets, without the tests and benchmarks the presets above have built already.
echo "=== default generator build"
rm -rf build/default
env -u CMAKE_GENERATOR -u CMAKE_BUILD_TYPE cmake -S . -B build/default -DVELARTO_BUILD_TESTS=OFF \
  -DVELARTO_BUILD_BENCH=OFF >/dev/null
grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' build/default/CMakeCache.txt ||
  { echo 'no build type given, and the build is not Release' >&2; exit 1; }
cmake --build build/default -j "$jobs"

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  scripts/fuzz.sh
fi

if [ "${CI:-}" = true ]; then
  echo "=== packages: build, install, smoke test, purge"
  scripts/package.sh
  scripts/smoke-packages.sh
fi
