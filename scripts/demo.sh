#!/usr/bin/env bash
# The LogonBroker demo: builds the broker and the admin tool, starts `logon-broker -console` on a
# private socket, issues Tessera tokens and decodes them through the broker, shows an expired and
# a tampered token failing, then stops the broker and removes everything it made.
#
# Environment: TG_DEMO_BIN=<dir> uses logon-broker and tokengate from <dir> instead of building
# the release preset.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==== %s\n' "$*"; }

# The build packages; should scripts/deps.sh itself fail, install them directly.
BUILD_PACKAGES="cmake ninja-build g++ pkg-config libssl-dev libgtest-dev libgmock-dev libbenchmark-dev"
if ! bash scripts/deps.sh build; then
  echo "scripts/deps.sh failed; checking the build packages directly" >&2
  missing=()
  for pkg in $BUILD_PACKAGES; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    SUDO=""
    [[ $(id -u) -eq 0 ]] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

if [[ -n "${TG_DEMO_BIN:-}" ]]; then
  BIN=$TG_DEMO_BIN
else
  step "building logon-broker and tokengate (release preset)"
  cmake --preset release >/dev/null
  cmake --build --preset release --target logon-broker tokengate
  BIN=build/release/bin
fi
BIN=$(cd "$BIN" && pwd)
tg() { "$BIN/tokengate" "$@"; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tokengate-demo.XXXXXX")
chmod 700 "$WORK"
BROKER_PID=""
cleanup() {
  if [[ -n "$BROKER_PID" ]] && kill -0 "$BROKER_PID" 2>/dev/null; then
    kill -TERM "$BROKER_PID" 2>/dev/null || true
    wait "$BROKER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PROPS="$WORK/tessera.properties"
step "demo key and codec properties in $WORK"
tg token keygen "$PROPS" --lifetime 300

step "starting logon-broker -console on a private socket"
export TOKENGATE_RUNTIME_DIR="$WORK/run/"
# No Kerberos realm in this demo: IWA is switched off and its calls are refused.
export TOKENGATE_S4U_PROVIDER=none
"$BIN/logon-broker" -console >"$WORK/broker.log" 2>&1 &
BROKER_PID=$!
for _ in $(seq 100); do
  [[ -S "${TOKENGATE_RUNTIME_DIR}TarvexWebLogonBroker" ]] && break
  kill -0 "$BROKER_PID" 2>/dev/null || { cat "$WORK/broker.log"; echo "broker exited" >&2; exit 1; }
  sleep 0.1
done
[[ -S "${TOKENGATE_RUNTIME_DIR}TarvexWebLogonBroker" ]] || { echo "broker did not start" >&2; exit 1; }
echo "broker pid $BROKER_PID, socket ${TOKENGATE_RUNTIME_DIR}TarvexWebLogonBroker"

step "issuing a token for jdoe"
TOKEN=$(tg token issue --config "$PROPS" subject=jdoe@EXAMPLE.ORG realm=EXAMPLE.ORG \
  cv_attribute_list=subject,mail,groups mail=jdoe@example.org groups=staff groups=admins)
echo "$TOKEN"

step "decoding it through the broker (prefix X-Corvane-, re-issue window 60 s)"
tg broker call --config "$PROPS" --prefix X-Corvane- --window 60 "$TOKEN"

step "the same token with window 0: the broker re-issues it"
sleep 1
tg broker call --config "$PROPS" --window 0 "$TOKEN" | head -2

step "an expired token (lifetime 1 s, no clock skew allowance)"
sed -e 's/^TokenLifetime=.*/TokenLifetime=1/' -e '/^ClockSkew=/d' "$PROPS" >"$WORK/short.properties"
echo "ClockSkew=0" >>"$WORK/short.properties"
# The broker reads only properties files nobody but root (or its own account) could have written.
chmod 600 "$WORK/short.properties"
SHORT=$(tg token issue --config "$WORK/short.properties" subject=jdoe@EXAMPLE.ORG)
sleep 2
rc=0
tg broker call --config "$WORK/short.properties" "$SHORT" || rc=$?
echo "exit code $rc"

step "a tampered token"
mid=$((${#TOKEN} / 2))
if [[ "${TOKEN:$mid:1}" == "A" ]]; then c=B; else c=A; fi
TAMPERED="${TOKEN:0:$mid}$c${TOKEN:$((mid + 1))}"
rc=0
tg broker call --config "$PROPS" "$TAMPERED" || rc=$?
echo "exit code $rc"

step "an empty token"
rc=0
tg broker call --config "$PROPS" "" || rc=$?
echo "exit code $rc"

step "IWA (S4U logon switched off for this demo: refused with 0x8001011B)"
rc=0
tg broker call --config "$PROPS" --iwa "$TOKEN" || rc=$?
echo "exit code $rc"

step "the broker's console log"
cat "$WORK/broker.log"

step "stopping the broker"
kill -TERM "$BROKER_PID"
wait "$BROKER_PID" 2>/dev/null || true
BROKER_PID=""
echo "done"
