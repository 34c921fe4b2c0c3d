#!/usr/bin/env bash
# The TokenGate web demo on a fresh Debian 12 machine: installs what is missing, builds (release),
# then runs LogonBroker on a private socket and a private Apache with mod_tokengate on 127.0.0.1,
# a protected sample application, an unprotected page and a development sign-on page. Prints the
# URL; Ctrl-C stops everything it started.
#   PORT=8080 (default; a free port is picked when 8080 is taken)   MPM=event|worker|prefork
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

bash scripts/deps.sh build test apache

build="$repo/build/release"
cmake --preset release >/dev/null
cmake --build --preset release --target mod_tokengate logon-broker tokengate -j "$(nproc)"

work="$(mktemp -d /tmp/tokengate-demo.XXXXXX)"
export TG_BUILD="$build" TG_WORK="$work" TG_MPM="${MPM:-event}" TG_UPDATE_WINDOW="${UPDATE_WINDOW:-60}"
export TG_TOKEN_LIFETIME="${TOKEN_LIFETIME:-300}"
harness="$repo/gate/apache/tests/harness/private-apache.sh"

port="${PORT:-8080}"
if ! /usr/bin/python3 -c 'import socket,sys; socket.socket().bind(("127.0.0.1", int(sys.argv[1])))' "$port" 2>/dev/null; then
  echo "port $port is taken; using a free one"
  port=""
fi
export TG_PORT="$port"

sleeper=""
stop() {
  local code="$1"
  trap - INT TERM EXIT
  # The terminal (or a pipe reader) may be gone already: a failed write must not stop the cleanup.
  trap '' PIPE
  [[ -n "$sleeper" ]] && kill "$sleeper" 2>/dev/null
  { echo; echo "stopping the demo"; } 2>/dev/null || true
  bash "$harness" down || true
  rm -rf "$work"
  exit "$code"
}
trap 'stop 0' INT
trap 'stop 143' TERM
trap 'stop $?' EXIT

bash "$harness" up
# shellcheck disable=SC1091
. "$work/env"

cat <<MSG

TokenGate demo is running:

    http://127.0.0.1:$PORT/          start page (not protected)
    http://127.0.0.1:$PORT/app/      the protected application (sign-on first)

Tokens live ${TG_TOKEN_LIFETIME}s; a request with a token older than ${TG_UPDATE_WINDOW}s gets a
renewed token cookie. Logs: $ERROR_LOG (gate events, tag [tokengate:...]),
$BROKER_LOG (broker). Press Ctrl-C to stop.
MSG

while true; do
  sleep 3600 &
  sleeper=$!
  wait "$sleeper" || true
done
