#!/usr/bin/env bash
# Serves the built web page with Python's http.server on http://localhost:8080/.
#
#   scripts/serve-web.sh [PORT] [SITE_DIR]
#
# SITE_DIR defaults to the release build's page (cmake --build --preset release builds it when
# emscripten is installed). A page with WebAssembly and a service worker needs http, not file://;
# browsers treat localhost as a secure origin, so it installs and works offline from here too.
set -euo pipefail
port=${1:-8080}
site=${2:-$(dirname "$0")/../build/release/web/site}
if [ ! -f "$site/index.html" ]; then
  echo "serve-web: no page in $site: build it first (cmake --preset release &&" \
    "cmake --build --preset release; needs the emscripten package)" >&2
  exit 1
fi
echo "velarto on http://localhost:$port/ (Ctrl-C stops)"
exec python3 -m http.server "$port" --bind 127.0.0.1 --directory "$site"
