#!/usr/bin/env bash
# Builds the Debian packages velarto, sonicsend and libsonicsend-dev into build/packages/, from
# the application's release build (build/app/), after installing what building them needs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build package
cmake --preset app >/dev/null
cmake --build --preset app -j "$(nproc)" --target all
rm -rf build/packages
cpack --config build/app/CPackConfig.cmake -B build/packages
rm -rf build/packages/_CPack_Packages
ls -l build/packages/*.deb
