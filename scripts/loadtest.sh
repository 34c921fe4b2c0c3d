#!/usr/bin/env bash
# Load test on loopback with wrk, in one run against one private Apache (release build):
#   gate  - a small protected static page through mod_tokengate with a valid token cookie
#   off   - the same page on a host with TokenGate Off
#   basic - the same page on that host behind mod_auth_basic
# and, to tell the module's own cost from the broker call's, an unprotected page on both hosts:
#   gate-open - /public/index.html through mod_tokengate (tagged, pattern lists tested, passed on)
#   off-open  - the same page with TokenGate Off
# Prints requests per second, latency percentiles and the ratios to "off" ("off-open").
#   DURATION=15s CONNECTIONS=32 THREADS=2 MPM=event BROKER_RESTARTS=0 (see the end)
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

bash scripts/deps.sh build test apache || true
if ! command -v wrk >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wrk >/dev/null
fi

build="$repo/build/release"
cmake --preset release >/dev/null
cmake --build --preset release --target mod_tokengate logon-broker tokengate -j 2

work="$(mktemp -d /tmp/tokengate-load.XXXXXX)"
export TG_BUILD="$build" TG_WORK="$work" TG_MPM="${MPM:-event}" TG_MULTI_PROCESS=1
# Tokens outlive the run and are not re-issued during it; the gate logs at warn, as in production.
export TG_TOKEN_LIFETIME=3600 TG_UPDATE_WINDOW=3600 TG_GATE_LOG_LEVEL=warn
harness="$repo/gate/apache/tests/harness/private-apache.sh"
cleanup() {
  bash "$harness" down || true
  rm -rf "$work"
}
trap cleanup EXIT
bash "$harness" up
# shellcheck disable=SC1091
. "$work/env"

token="$(bash "$harness" token subject=loaduser mail=load@example.test role=staff)"
gate_url="http://127.0.0.1:$PORT/app/static.html"
off_url="http://127.0.0.1:$OFF_PORT/app/static.html"
basic_url="http://127.0.0.1:$OFF_PORT/basic/static.html"
gate_open_url="http://127.0.0.1:$PORT/public/index.html"
off_open_url="http://127.0.0.1:$OFF_PORT/public/index.html"

# Each route must answer 200 with the page before it is measured.
check() {
  local body
  body="$(curl -sf "$@")" || { echo "loadtest: $* did not answer 200" >&2; exit 1; }
  grep -q PROTECTED-CONTENT <<<"$body" || { echo "loadtest: $* gave the wrong page" >&2; exit 1; }
}
check -H "Cookie: TesseraToken=$token" "$gate_url"
check "$off_url"
check -u load:load "$basic_url"

duration="${DURATION:-15s}" connections="${CONNECTIONS:-32}" threads="${THREADS:-2}"
run() {  # run NAME wrk-arguments...
  local name="$1"
  shift
  wrk -t"$threads" -c"$connections" -d"$duration" --latency "$@" >"$work/wrk-$name.txt"
  /usr/bin/python3 - "$name" "$work/wrk-$name.txt" <<'PY'
import re, sys
name, path = sys.argv[1], sys.argv[2]
text = open(path).read()
rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
def pct(p):
    m = re.search(r"^\s+%s%%\s+([\d.]+)(us|ms|s)\s*$" % p, text, re.M)
    v, unit = float(m.group(1)), m.group(2)
    return v * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
errors = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
print(f"{name} {rps:.1f} {pct(50):.3f} {pct(90):.3f} {pct(99):.3f} {errors.group(1) if errors else 0}")
PY
}

warm="-d3s"
wrk -t1 -c4 $warm -H "Cookie: TesseraToken=$token" "$gate_url" >/dev/null
wrk -t1 -c4 $warm "$off_url" >/dev/null

results="$work/results.txt"
{
  run gate -H "Cookie: TesseraToken=$token" "$gate_url"
  run off "$off_url"
  run basic -H "Authorization: Basic $(printf load:load | base64)" "$basic_url"
  run gate-open "$gate_open_url"
  run off-open "$off_open_url"
} >"$results"

/usr/bin/python3 - "$results" "$duration" "$connections" "$threads" <<'PY'
import sys
rows = {}
for line in open(sys.argv[1]):
    name, rps, p50, p90, p99, errors = line.split()
    rows[name] = (float(rps), float(p50), float(p90), float(p99), int(errors))
print(f"\nwrk {sys.argv[4]} threads, {sys.argv[3]} connections, {sys.argv[2]} per route, loopback")
print(f"{'route':<10}{'req/s':>10}{'p50 ms':>9}{'p90 ms':>9}{'p99 ms':>9}{'non-2xx':>9}{'vs off':>8}")
for name, base in (("gate", "off"), ("off", "off"), ("basic", "off"),
                   ("gate-open", "off-open"), ("off-open", "off-open")):
    rps, p50, p90, p99, errors = rows[name]
    ratio = rps / rows[base][0]
    print(f"{name:<10}{rps:>10.1f}{p50:>9.3f}{p90:>9.3f}{p99:>9.3f}{errors:>9}{ratio:>8.1%}")
PY

# BROKER_RESTARTS=N (default 0): the gate route once more while the harness replaces the broker
# process N times, evenly spread over the run, the way an upgrade does (the socket stays). Every
# request must still succeed; the table shows what the restarts cost in latency.
restarts="${BROKER_RESTARTS:-0}"
if ((restarts > 0)); then
  seconds="${duration%s}"
  pause="$(/usr/bin/python3 -c "print($seconds / ($restarts + 1))")"
  (
    for ((i = 0; i < restarts; i++)); do
      sleep "$pause"
      bash "$harness" broker-restart
    done
  ) &
  restarter=$!
  wrk -t"$threads" -c"$connections" -d"$duration" --latency -H "Cookie: TesseraToken=$token" \
    "$gate_url" >"$work/wrk-gate-restart.txt"
  wait "$restarter"
  /usr/bin/python3 - "$work/wrk-gate.txt" "$work/wrk-gate-restart.txt" "$restarts" <<'PY'
import re, sys
def read(path):
    text = open(path).read()
    def ms(v, unit):
        return float(v) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
    row = {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1)),
           "requests": int(re.search(r"(\d+) requests in", text).group(1))}
    for p in (50, 90, 99):
        m = re.search(r"^\s+%s%%\s+([\d.]+)(us|ms|s)\s*$" % p, text, re.M)
        row[p] = ms(*m.groups())
    m = re.search(r"Latency\s+\S+\s+\S+\s+([\d.]+)(us|ms|s)", text)
    row["max"] = ms(*m.groups())
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    row["non2xx"] = int(m.group(1)) if m else 0
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    row["socket"] = sum(int(g) for g in m.groups()) if m else 0
    return row
base, restarted = read(sys.argv[1]), read(sys.argv[2])
print(f"\nbroker restarted {sys.argv[3]} times during the second run (socket kept, process replaced)")
print(f"{'run':<14}{'requests':>10}{'req/s':>10}{'p50 ms':>9}{'p90 ms':>9}{'p99 ms':>9}"
      f"{'max ms':>9}{'non-2xx':>9}{'sock err':>9}")
for name, r in (("gate", base), ("gate+restart", restarted)):
    print(f"{name:<14}{r['requests']:>10}{r['rps']:>10.1f}{r[50]:>9.3f}{r[90]:>9.3f}{r[99]:>9.3f}"
          f"{r['max']:>9.1f}{r['non2xx']:>9}{r['socket']:>9}")
PY
fi
