#!/usr/bin/env bash
# Load test on loopback with wrk against one private Apache (release build) and its broker:
#   gate  - a small protected static page through mod_tokengate with a valid token cookie
#   off   - the same page on a host with TokenGate Off
#   basic - the same page on that host behind mod_auth_basic
# The routes run in interleaved rounds (gate and off alternate which goes first), so that load
# from other work on the machine falls on all of them alike. Every round is printed, then the
# median of the per-round gate/off ratios, the latency percentiles and the CPU per request of
# the Apache processes and of the broker, from their process CPU accounting (utime + stime in
# /proc/<pid>/stat before and after each round, divided by the round's requests).
#
# Usage: scripts/loadtest.sh [--rounds N] [--duration D] [--open] [--soak D] [--keep]
#   --rounds N     rounds of every route (default 5, at least 5 for a published ratio)
#   --duration D   wrk duration of one route in one round (default 5s)
#   --open         also run the unprotected page on both hosts (gate-open / off-open): the
#                  module's cost on a request it only tags and passes on
#   --soak D       after the rounds, the protected page for D more (e.g. 150s, about a million
#                  requests), printing the resident memory of the broker and of the Apache
#                  processes every 10 seconds: it must stay flat
#   --keep         leave the working directory (wrk outputs, logs) in place
#   --broker-restarts N
#                  during every gate round, replace the broker process N times, evenly spread,
#                  the way an upgrade does (the harness keeps the socket): the "failed" column
#                  must stay 0; compare the latency with a run without restarts
# Environment: CONNECTIONS=32 THREADS=2 MPM=event, and ROUNDS / DURATION as the options.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

rounds="${ROUNDS:-5}" duration="${DURATION:-5s}"
connections="${CONNECTIONS:-32}" threads="${THREADS:-2}"
open=0 keep=0 soak="" restarts=0
# What happens while a gate round runs; "none" leaves the instance alone. A mode that acts on
# the instance during the run (for example restarting the broker) adds its option below and a
# branch to during_round.
mode=none
while [[ $# -gt 0 ]]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --duration) duration="$2"; shift 2 ;;
    --open) open=1; shift ;;
    --soak) soak="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --broker-restarts) mode=restart; restarts="$2"; shift 2 ;;
    -h | --help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "loadtest: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ "$rounds" =~ ^[0-9]+$ && "$rounds" -ge 1 ]] || { echo "loadtest: --rounds needs a number" >&2; exit 2; }

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
  if [[ "$keep" == 1 ]]; then
    echo "loadtest: working directory kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
bash "$harness" up
# shellcheck disable=SC1091
. "$work/env"

# Ten attributes (eight from the sign-on, the codec's renew-until and not-on-or-after), 539
# characters: the size of a typical federation token.
token="$(bash "$harness" token subject=loaduser realm=EXAMPLE.TEST mail=loaduser@example.test \
  displayName="Load Test User" groups=staff groups=finance groups=vpn-users \
  department="Finance and Planning, Building 7, Floor 3, Room 3012, East Wing, Desk 14" \
  title="Senior Financial Analyst" employeeNumber=104233)"
gate_url="http://127.0.0.1:$PORT/app/static.html"
off_url="http://127.0.0.1:$OFF_PORT/app/static.html"
basic_url="http://127.0.0.1:$OFF_PORT/basic/static.html"
gate_open_url="http://127.0.0.1:$PORT/public/index.html"
off_open_url="http://127.0.0.1:$OFF_PORT/public/index.html"
cookie="Cookie: TesseraToken=$token"
basic_auth="Authorization: Basic $(printf load:load | base64)"

# Each route must answer 200 with the page before it is measured.
check() {
  local body
  body="$(curl -sf "$@")" || { echo "loadtest: $* did not answer 200" >&2; exit 1; }
  grep -q PROTECTED-CONTENT <<<"$body" || { echo "loadtest: $* gave the wrong page" >&2; exit 1; }
}
check -H "$cookie" "$gate_url"
check "$off_url"
check -u load:load "$basic_url"

httpd_pid="$(cat "$work/httpd/httpd.pid")"
broker_pid="$(cat "$work/broker.pid")"
ticks="$(getconf CLK_TCK)"

# CPU ticks of a process: its own utime + stime, and with "reaped" also cutime + cstime (the
# children it has already waited for, so an Apache child that exits during a round still counts).
proc_ticks() {  # proc_ticks PID [reaped]
  local stat
  stat="$(cat "/proc/$1/stat" 2>/dev/null)" || { echo 0; return; }
  stat="${stat##*) }"  # the fields after the command name, starting with the state (field 3)
  # shellcheck disable=SC2086
  set -- $stat "${2:-}"
  local own=$((${12} + ${13}))
  if [[ "${!#}" == reaped ]]; then own=$((own + ${14} + ${15})); fi
  echo "$own"
}
apache_ticks() {  # the main process, its live children and the children it has reaped
  local total pid
  total="$(proc_ticks "$httpd_pid" reaped)"
  for pid in $(pgrep -P "$httpd_pid" || true); do
    total=$((total + $(proc_ticks "$pid")))
  done
  echo "$total"
}
broker_ticks() {
  proc_ticks "$(cat "$work/broker.pid")"
}

during_round() {  # during_round NAME: runs in the background while the round NAME is measured
  case "$mode" in
    none) ;;
    restart)
      [[ "$1" == gate ]] || return 0
      local pause i
      pause="$(/usr/bin/python3 -c "print(float('${duration%s}') / ($restarts + 1))")"
      for ((i = 0; i < restarts; i++)); do
        sleep "$pause"
        bash "$harness" broker-restart >/dev/null
      done
      ;;
  esac
}

results="$work/rounds.txt"
: >"$results"
run() {  # run ROUND NAME wrk-arguments...
  local round="$1" name="$2"
  shift 2
  local out="$work/wrk-$name-$round.txt" a0 b0 a1 b1 hook=""
  a0="$(apache_ticks)" b0="$(broker_ticks)"
  if [[ "$mode" != none ]]; then
    during_round "$name" &
    hook=$!
  fi
  wrk -t"$threads" -c"$connections" -d"$duration" --latency "$@" >"$out"
  if [[ -n "$hook" ]]; then wait "$hook" || true; fi
  a1="$(apache_ticks)" b1="$(broker_ticks)"
  local broker_delta=$((b1 - b0))
  # A broker replaced during the round takes its CPU time with it: nothing to report.
  if [[ "$mode" == restart && "$name" == gate ]]; then broker_delta=nan; fi
  /usr/bin/python3 "$repo/scripts/wrk-round.py" "$round" "$name" "$out" "$((a1 - a0))" \
    "$broker_delta" "$ticks" >>"$results"
  tail -n 1 "$results" | awk '{printf "  round %s %-9s %9s req/s  p50 %6s ms  p99 %6s ms  failed %s  apache %6s us/req  broker %5s us/req\n", $1, $2, $3, $5, $7, $8, $9, ($10 == "nan" ? "n/a" : $10)}'
}

echo "loadtest: token of ${#token} characters; wrk $threads threads, $connections connections," \
  "$duration per route and round, $rounds rounds, mode $mode"
wrk -t1 -c4 -d3s -H "$cookie" "$gate_url" >/dev/null
wrk -t1 -c4 -d3s "$off_url" >/dev/null

for ((i = 1; i <= rounds; i++)); do
  # Gate and off take turns at going first; basic follows them.
  if ((i % 2 == 1)); then
    run "$i" gate -H "$cookie" "$gate_url"
    run "$i" off "$off_url"
  else
    run "$i" off "$off_url"
    run "$i" gate -H "$cookie" "$gate_url"
  fi
  run "$i" basic -H "$basic_auth" "$basic_url"
  if [[ "$open" == 1 ]]; then
    run "$i" gate-open "$gate_open_url"
    run "$i" off-open "$off_open_url"
  fi
done

rss_kib() {  # rss_kib PID...: resident set sizes added up, in KiB
  local total=0 pid kib
  for pid in "$@"; do
    kib="$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)"
    total=$((total + ${kib:-0}))
  done
  echo "$total"
}
soak_run() {
  echo "loadtest: soak, the protected page for $soak; resident memory every 10 s"
  wrk -t"$threads" -c"$connections" -d"$soak" -H "$cookie" "$gate_url" >"$work/wrk-soak.txt" &
  local wrk_pid=$! t=0
  while kill -0 "$wrk_pid" 2>/dev/null; do
    # shellcheck disable=SC2046
    printf '  t=%4ss  broker %8s KiB  apache %8s KiB\n' "$t" "$(rss_kib "$(cat "$work/broker.pid")")" \
      "$(rss_kib "$httpd_pid" $(pgrep -P "$httpd_pid" || true))"
    sleep 10
    t=$((t + 10))
  done
  wait "$wrk_pid" || true
  grep -E "requests in|Non-2xx|Socket errors" "$work/wrk-soak.txt" | sed 's/^/  /'
}

/usr/bin/python3 - "$results" "$duration" "$connections" "$threads" "$rounds" <<'PY'
import math, statistics, sys
from collections import defaultdict
rows = defaultdict(dict)
for line in open(sys.argv[1]):
    r, name, rps, requests, p50, p90, p99, failed, apache, broker = line.split()
    rows[name][int(r)] = dict(rps=float(rps), requests=int(requests), p50=float(p50),
                              p90=float(p90), p99=float(p99), failed=int(failed),
                              apache=float(apache), broker=float(broker))
med = lambda name, key: statistics.median(v[key] for v in rows[name].values())
shown = lambda us: "n/a" if math.isnan(us) else f"{us:.1f}"
duration, connections, threads, rounds = sys.argv[2:]
print(f"\nwrk {threads} threads, {connections} connections, {duration} per route and round, "
      f"{rounds} interleaved rounds, loopback; medians over the rounds")
print(f"{'route':<10}{'req/s':>10}{'p50 ms':>9}{'p90 ms':>9}{'p99 ms':>9}{'failed':>8}"
      f"{'vs off':>8}{'apache us':>11}{'broker us':>11}")
for name, base in (("gate", "off"), ("off", "off"), ("basic", "off"),
                   ("gate-open", "off-open"), ("off-open", "off-open")):
    if name not in rows:
        continue
    ratios = [rows[name][r]["rps"] / rows[base][r]["rps"] for r in rows[name]]
    failed = sum(v["failed"] for v in rows[name].values())
    print(f"{name:<10}{med(name, 'rps'):>10.1f}{med(name, 'p50'):>9.3f}{med(name, 'p90'):>9.3f}"
          f"{med(name, 'p99'):>9.3f}{failed:>8}{statistics.median(ratios):>8.1%}"
          f"{med(name, 'apache'):>11.1f}{shown(med(name, 'broker')):>11}")
ratios = sorted(rows["gate"][r]["rps"] / rows["off"][r]["rps"] for r in rows["gate"])
print(f"\ngate/off per round: {' '.join(f'{x:.3f}' for x in ratios)}")
print(f"median gate/off ratio: {statistics.median(ratios):.3f}")
extra = [rows["gate"][r]["apache"] - rows["off"][r]["apache"] for r in rows["gate"]]
print(f"Apache CPU per protected request above TokenGate Off: {statistics.median(extra):.1f} us "
      f"(median of the rounds; per round {' '.join(f'{x:.1f}' for x in extra)})")
broker_us = med('gate', 'broker')
print("broker CPU per protected request: " +
      ("n/a (the broker process was replaced during the round)" if math.isnan(broker_us)
       else f"{broker_us:.1f} us"))
PY

if [[ -n "$soak" ]]; then
  soak_run
fi
