#!/usr/bin/env bash
# Runs every libFuzzer target found in a build tree for a bounded time, each from its seed corpus.
# Usage: scripts/run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build dir}
seconds=${2:-20}
root="$(cd "$(dirname "$0")/.." && pwd)"
shopt -s nullglob
found=0
for bin in "$build"/fuzz/fuzz_*; do
  [[ -x "$bin" && -f "$bin" ]] || continue
  found=1
  name=$(basename "$bin")
  seeds="$root/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [[ -d "$seeds" ]] && cp -r "$seeds"/. "$work"/
  echo "-- $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" \
    2>"$work.log" || { tail -n 60 "$work.log"; echo "fuzzer $name failed" >&2; exit 1; }
  grep -E 'stat::number_of_executed_units|Done' "$work.log" | tail -n 2 || true
  rm -rf "$work" "$work.log"
done
((found)) || echo "(no fuzz targets built)"
