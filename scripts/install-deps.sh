#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are not installed yet, and the
# browser test's npm packages pinned in tests/web/package-lock.json.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(sed -e 's/#.*//' -e '/^\s*$/d' "$here/packages.txt")
missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm keeps its own copy of the lock in node_modules: older than ours means not installed yet.
web=$here/../tests/web
if [ ! "$web/node_modules/.package-lock.json" -nt "$web/package-lock.json" ]; then
  echo "Installing the browser test's npm packages"
  npm ci --prefix "$web" --no-audit --no-fund
fi
