#!/usr/bin/env bash
# Installs the Debian packages of the named sections of scripts/packages.txt that are not
# installed yet; with no section named, every section's, and then the browser test's npm
# packages pinned in tests/web/package-lock.json.
#   scripts/install-deps.sh [SECTION...]    e.g. build run
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sections=("$@")

# The packages of the sections asked for ("[name]" starts a section; # starts a comment).
wanted=$(awk -v asked=" ${sections[*]} " '
  { sub(/#.*/, "") }
  /^\[.*\]$/ { name = substr($0, 2, length($0) - 2); known[name] = 1; next }
  NF && (asked == "  " || index(asked, " " name " ")) { print $1 }
  END { n = split(asked, names, " ")
        for (i = 1; i <= n; i++) if (!(names[i] in known)) {
          print "install-deps: no section [" names[i] "] in packages.txt" > "/dev/stderr"; exit 1 } }
' "$here/packages.txt")
missing=()
for pkg in $wanted; do
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
[ ${#sections[@]} -eq 0 ] || exit 0

# npm keeps its own copy of the lock in node_modules: older than ours means not installed yet.
web=$here/../tests/web
if [ ! "$web/node_modules/.package-lock.json" -nt "$web/package-lock.json" ]; then
  echo "Installing the browser test's npm packages"
  npm ci --prefix "$web" --no-audit --no-fund
fi
