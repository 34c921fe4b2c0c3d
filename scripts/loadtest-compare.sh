#!/usr/bin/env bash
# Before/after load test of two source trees in one run: each tree's own release build and test
# harness bring up a private Apache and broker (own ports and directories), and wrk runs the
# protected static page of each in interleaved rounds (the two take turns at going first), so
# that load from other work on the machine falls on both alike. Prints every round, the medians,
# and the median of the per-round after/before ratios of requests per second, with the CPU per
# request of the Apache processes and of the broker (process CPU accounting, as scripts/loadtest.sh).
#
# Usage: scripts/loadtest-compare.sh BEFORE_TREE AFTER_TREE [--rounds N] [--duration D]
#   A tree is a checkout of this project; its build/release must hold modules/mod_tokengate.so,
#   bin/logon-broker and bin/tokengate (cmake --preset release; cmake --build --preset release
#   --target mod_tokengate logon-broker tokengate). An older checkout can be made with
#   `git worktree add /tmp/before <commit>`.
# Environment: CONNECTIONS=32 THREADS=2 MPM=event.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

[[ $# -ge 2 ]] || { sed -n '2,14p' "$0"; exit 2; }
trees=("$(cd "$1" && pwd)" "$(cd "$2" && pwd)")
shift 2
rounds=5 duration=5s
while [[ $# -gt 0 ]]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --duration) duration="$2"; shift 2 ;;
    *) echo "loadtest-compare: unknown option $1" >&2; exit 2 ;;
  esac
done
connections="${CONNECTIONS:-32}" threads="${THREADS:-2}"
names=(before after)
for t in "${trees[@]}"; do
  for f in modules/mod_tokengate.so bin/logon-broker bin/tokengate; do
    [[ -x "$t/build/release/$f" || -f "$t/build/release/$f" ]] ||
      { echo "loadtest-compare: $t/build/release/$f is missing (build the release preset)" >&2; exit 2; }
  done
done
command -v wrk >/dev/null || { echo "loadtest-compare: wrk is not installed" >&2; exit 2; }

# Short: the broker socket lives below it, and socket paths are limited to 107 bytes.
work="$(mktemp -d /tmp/tgc.XXXXXX)"
chmod 0755 "$work"  # the web server's user reads the sites below it
export TG_MPM="${MPM:-event}" TG_MULTI_PROCESS=1
export TG_TOKEN_LIFETIME=3600 TG_UPDATE_WINDOW=3600 TG_GATE_LOG_LEVEL=warn
harness() {  # harness INDEX args...
  local i="$1"
  shift
  TG_BUILD="${trees[$i]}/build/release" TG_WORK="$work/${names[$i]}" \
    bash "${trees[$i]}/gate/apache/tests/harness/private-apache.sh" "$@"
}
cleanup() {
  harness 0 down >/dev/null 2>&1 || true
  harness 1 down >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

ticks="$(getconf CLK_TCK)"
proc_ticks() {  # utime + stime + cutime + cstime of PID
  local stat
  stat="$(cat "/proc/$1/stat" 2>/dev/null)" || { echo 0; return; }
  stat="${stat##*) }"
  # shellcheck disable=SC2086
  set -- $stat
  echo $((${12} + ${13} + ${14} + ${15}))
}
apache_ticks() {  # the main process and its live children
  local total pid
  total="$(proc_ticks "$1")"
  for pid in $(pgrep -P "$1" || true); do total=$((total + $(proc_ticks "$pid"))); done
  echo "$total"
}

declare -a url cookie
for i in 0 1; do
  harness "$i" up >/dev/null
  port="$(grep '^PORT=' "$work/${names[$i]}/env" | cut -d= -f2)"
  url[$i]="http://127.0.0.1:$port/app/static.html"
  token="$(harness "$i" token subject=loaduser realm=EXAMPLE.TEST mail=loaduser@example.test \
    displayName="Load Test User" groups=staff groups=finance groups=vpn-users \
    department="Finance and Planning, Building 7, Floor 3, Room 3012, East Wing, Desk 14" \
    title="Senior Financial Analyst" employeeNumber=104233)"
  cookie[$i]="Cookie: TesseraToken=$token"
  body="$(curl -s -H "${cookie[$i]}" "${url[$i]}")" || body=""
  grep -q PROTECTED-CONTENT <<<"$body" ||
    { echo "loadtest-compare: the ${names[$i]} site does not serve the protected page" >&2; exit 1; }
  wrk -t1 -c4 -d2s -H "${cookie[$i]}" "${url[$i]}" >/dev/null
done

results="$work/rounds.txt"
run() {  # run ROUND INDEX
  local i="$2" dir="$work/${names[$2]}" out a0 b0 a1 b1 hp bp
  hp="$(cat "$dir/httpd/httpd.pid")" bp="$(cat "$dir/broker.pid")"
  out="$dir/wrk-$1.txt"
  a0="$(apache_ticks "$hp")" b0="$(proc_ticks "$bp")"
  wrk -t"$threads" -c"$connections" -d"$duration" --latency -H "${cookie[$i]}" "${url[$i]}" >"$out"
  a1="$(apache_ticks "$hp")" b1="$(proc_ticks "$bp")"
  /usr/bin/python3 "$repo/scripts/wrk-round.py" "$1" "${names[$i]}" "$out" "$((a1 - a0))" \
    "$((b1 - b0))" "$ticks" >>"$results"
  tail -n 1 "$results" | awk '{printf "  round %s %-7s %9s req/s  p50 %6s ms  p99 %7s ms  failed %s  apache %6s us/req  broker %5s us/req\n", $1, $2, $3, $5, $7, $8, $9, $10}'
}

echo "loadtest-compare: before ${trees[0]}, after ${trees[1]}; wrk $threads threads," \
  "$connections connections, $duration per tree and round, $rounds rounds"
for ((r = 1; r <= rounds; r++)); do
  if ((r % 2 == 1)); then run "$r" 0; run "$r" 1; else run "$r" 1; run "$r" 0; fi
done

/usr/bin/python3 - "$results" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
by = {"before": {}, "after": {}}
for r in rows:
    by[r[1]][r[0]] = r
med = lambda name, col: statistics.median(float(r[col]) for r in by[name].values())
print("\ntree      req/s   p50 ms   p99 ms  failed  apache us  broker us")
for name in ("before", "after"):
    failed = sum(int(r[7]) for r in by[name].values())
    print(f"{name:<7} {med(name, 2):8.1f} {med(name, 4):8.3f} {med(name, 6):8.3f} {failed:7d}"
          f" {med(name, 8):10.1f} {med(name, 9):10.1f}")
ratios = [float(by["after"][k][2]) / float(by["before"][k][2]) for k in sorted(by["after"])]
print("after/before per round:", " ".join(f"{x:.3f}" for x in ratios))
print(f"median after/before ratio: {statistics.median(ratios):.3f}")
PY
