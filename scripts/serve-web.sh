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
bind=${bind#[} bind=${bind%]}  # an IPv6 address may come in brackets, as in a URL
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
  0.0.0.0 | ::) hosts=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -v ':' || true) ;;
  *:*) hosts="[$bind]" ;;
  *) hosts=$bind ;;
esac
banner=""
for host in ${hosts:-$bind}; do
  case $host in
    127.* | localhost | '[::1]') banner+="velarto on http://localhost:$port/"$'\n' ;;
    *) banner+="velarto on http://$host:$port/ (plain http: no offline use, install or wake lock)"$'\n' ;;
  esac
done

# Python's http.server, bound here so that a wrong address or a busy port is one line (exit 2)
# and the addresses are printed only once the server listens.
exec python3 - "$bind" "$port" "$site" "${banner}Ctrl-C stops" <<'PY'
import errno, functools, http.server, socket, socketserver, sys

bind, port, site, banner = sys.argv[1], int(sys.argv[2]), *sys.argv[3:]
def fail(message):
    print(f'serve-web: {message}', file=sys.stderr)
    sys.exit(2)

try:  # a number only, never a name looked up on the network
    family, _, _, _, address = socket.getaddrinfo(
        bind, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE | socket.AI_NUMERICHOST)[0]
except socket.gaierror:
    fail(f"--bind takes an IPv4 or IPv6 address such as 127.0.0.1 or 0.0.0.0, not '{bind}'")

class Server(http.server.ThreadingHTTPServer):
    address_family = family
    def server_bind(self):  # no reverse lookup of the address, which may wait on the network
        if family == socket.AF_INET6:  # :: serves IPv4 too
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = bind, port

handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=site)
try:
    server = Server(address, handler)
except OSError as error:
    fail({errno.EADDRINUSE: f'port {port} of {bind} is in use: stop what serves on it or choose '
                            'another PORT',
          errno.EADDRNOTAVAIL: f'{bind} is not an address of this computer',
          errno.EACCES: f'port {port} is reserved for the system here: choose one from 1024'}
         .get(error.errno, f'cannot listen on {bind} port {port}: {error.strerror}'))
print(banner, flush=True)
try:
    server.serve_forever()
except KeyboardInterrupt:
    pass
PY
