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
# A package counts as installed when an installed one provides it (another vendor's nodejs
# provides npm, and conflicts with Debian's).
provided=" $(dpkg-query -W -f='${db:Status-Abbrev}${Provides}\n' 2>/dev/null | sed -n 's/^ii *//p' |
  tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | tr '\n' ' ') "
missing=()
for pkg in $wanted; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
    [[ $provided == *" $pkg "* ]] || missing+=("$pkg")
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
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if [ "$node_major" -lt 18 ] || ! command -v npm >/dev/null; then
  echo "The browser test needs Node.js 18 or later and npm (found node $(node --version 2>/dev/null ||
    echo none), npm $(npm --version 2>/dev/null || echo none)): install the nodejs and npm packages" >&2
  exit 1
fi
if [ ! "$web/node_modules/.package-lock.json" -nt "$web/package-lock.json" ]; then
  echo "Installing the browser test's npm packages"
  npm ci --prefix "$web" --no-audit --no-fund
fi
