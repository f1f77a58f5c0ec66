#!/usr/bin/env bash
# Makes the Debian packages of a build and checks them as Debian does: lintian finds no error,
# the desktop entry and the AppStream metainfo are valid, and each package carries its pages.
#   packages_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1 work=$2
rm -rf "$work"
mkdir -p "$work/tree"
if ! cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
debs=("$work"/*.deb)
ls -l "${debs[@]}"
# Errors fail; warnings and notes are shown for the record.
lintian --fail-on error "${debs[@]}"

for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/tree"; done
tree=$work/tree/usr/share
desktop-file-validate "$tree/applications/velarto.desktop"
appstreamcli validate --no-net "$tree"/metainfo/*.metainfo.xml

status=0
for file in man/man1/sonicsend.1.gz man/man1/velarto.1.gz bash-completion/completions/sonicsend \
  icons/hicolor/scalable/apps/velarto.svg icons/hicolor/{48x48,128x128,256x256}/apps/velarto.png \
  doc/{velarto,sonicsend,libsonicsend-dev}/copyright; do
  [ -s "$tree/$file" ] || { echo "missing from the packages: /usr/share/$file"; status=1; }
done
exit "$status"
