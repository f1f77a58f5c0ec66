#!/usr/bin/env bash
# Installs the packages in build/packages/ with apt (which pulls in their dependencies), checks
# that they work as installed, and purges them again. It changes the system, so it runs only
# when CI=true (scripts/test.sh calls it there, after scripts/package.sh and the release build).
#   - the installed `sonicsend encode` writes the same bytes as the release build's
#   - the installed velarto opens its window offscreen and quits on SIGTERM
#   - `man sonicsend` renders
#   - purged, the packages leave none of their files behind
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${CI:-}" != true ]; then
  echo "smoke-packages: installs and purges system packages; runs only when CI=true" >&2
  exit 2
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
debs=(build/packages/*.deb)
work=$(mktemp -d)
installed() { dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" { print $2 }' | sort; }
installed >"$work/before"
# Purges what the install added: our packages and the dependencies apt pulled in for them
# (marked automatic, unlike anything installed by name meanwhile).
purge() {
  local added
  added=$(installed | comm -13 "$work/before" - |
    grep -Fx -f <(apt-mark showauto; printf '%s\n' velarto sonicsend libsonicsend-dev) || true)
  [ -z "$added" ] || $sudo apt-get purge -y -qq $added >/dev/null
}
trap 'purge || true; rm -rf "$work"' EXIT

$sudo apt-get install -y -qq --no-install-recommends "${debs[@]/#/./}"
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' >>"$work/files"
done

echo "--- sonicsend encode: installed and built write the same bytes"
/usr/bin/sonicsend encode --ssid HomeNet --key "correct horse" --passes 2 -o "$work/installed.wav"
build/release/tools/sonicsend encode --ssid HomeNet --key "correct horse" --passes 2 \
  -o "$work/built.wav"
cmp "$work/installed.wav" "$work/built.wav"

echo "--- velarto opens its window offscreen"
XDG_DATA_HOME=$work/data QT_QPA_PLATFORM=offscreen /usr/bin/velarto 2>"$work/velarto.log" &
velarto=$!
# The screen logs the network interfaces once it is shown.
for _ in $(seq 300); do
  grep -q "Supported interfaces" "$work/velarto.log" && break
  kill -0 "$velarto" 2>/dev/null || break
  sleep 0.1
done
shown=$(grep -c "Supported interfaces" "$work/velarto.log" || true)
kill -TERM "$velarto" 2>/dev/null || true
status=0
wait "$velarto" || status=$?
if [ "$shown" -eq 0 ] || [ "$status" -ne 0 ]; then
  echo "velarto did not show its window and quit cleanly (exit status $status):" >&2
  cat "$work/velarto.log" >&2
  exit 1
fi

echo "--- man sonicsend renders"
if [ -f /usr/share/man/man1/sonicsend.1.gz ]; then
  MANWIDTH=80 man sonicsend >"$work/man.txt" 2>&1
else  # dpkg may be set to leave out man pages (as in container images): read it from the package
  dpkg-deb --fsys-tarfile build/packages/sonicsend_*.deb |
    tar -xO ./usr/share/man/man1/sonicsend.1.gz >"$work/sonicsend.1.gz"
  MANWIDTH=80 man -l "$work/sonicsend.1.gz" >"$work/man.txt" 2>&1
fi
head -4 "$work/man.txt"
grep -q "sonicsend encode" "$work/man.txt"

echo "--- purged, nothing is left"
purge
if ! installed | cmp -s "$work/before" -; then
  echo "purged, the system's packages differ from before the install:" >&2
  installed | diff "$work/before" - >&2 || true
  exit 1
fi
left=$(while read -r file; do [ ! -e "$file" ] || echo "$file"; done <"$work/files" || true)
if [ -n "$left" ]; then
  echo "left behind after purge:" >&2
  echo "$left" >&2
  exit 1
fi
echo "packages installed, worked and purged cleanly"
