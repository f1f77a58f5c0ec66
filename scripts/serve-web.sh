#!/usr/bin/env bash
# Serves the built web page with Python's http.server; --help says how.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/serve-web.sh [--bind ADDRESS] [PORT] [SITE_DIR]

Serves the web page in SITE_DIR (default: the release build's, build/release/web/site) over
plain http on PORT (default 8080) of ADDRESS (default 127.0.0.1: this computer only).

  --bind ADDRESS  listen on ADDRESS instead; 0.0.0.0 is every network of this computer, so that
                  a phone on the same network can open http://<this computer's address>:PORT/.
                  Over plain http only localhost is a secure origin: from another device the page
                  sends, but cannot work offline, be installed or keep the screen on.
  -h, --help      print this help and exit

A page with WebAssembly and a service worker needs http, not file://.
EOF
}

fail() {
  echo "serve-web: $1" >&2
  echo "Try 'scripts/serve-web.sh --help'." >&2
  exit 2
}

bind=127.0.0.1
arguments=()
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --bind) [ $# -ge 2 ] || fail "--bind needs an address"; bind=$2; shift 2 ;;
    --bind=*) bind=${1#*=}; shift ;;
    --) shift; arguments+=("$@"); break ;;
    -*) fail "unknown option $1" ;;
    *) arguments+=("$1"); shift ;;
  esac
done
[ ${#arguments[@]} -le 2 ] || fail "too many arguments: ${arguments[*]}"
[ -n "$bind" ] || fail "--bind needs an address"
port=${arguments[0]:-8080}
site=${arguments[1]:-$(dirname "$0")/../build/release/web/site}
[[ $port =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] ||
  fail "PORT must be a number from 1 to 65535, not '$port'"
if [ ! -f "$site/index.html" ]; then
  echo "serve-web: no page in $site: build it first (cmake --preset release &&" \
    "cmake --build --preset release; needs the emscripten and librsvg2-bin packages)" >&2
  exit 1
fi

# The addresses to open: this computer's own ones when it listens on all of them.
case $bind in
  0.0.0.0 | :: | '[::]') hosts=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -v ':' || true) ;;
  *:*) hosts="[$bind]" ;;
  *) hosts=$bind ;;
esac
for host in ${hosts:-$bind}; do
  case $host in
    127.* | localhost | '[::1]') echo "velarto on http://localhost:$port/" ;;
    *) echo "velarto on http://$host:$port/ (plain http: no offline use, install or wake lock)" ;;
  esac
done
echo "Ctrl-C stops"
exec python3 -m http.server "$port" --bind "$bind" --directory "$site"
