#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time over a scratch copy of its seed corpus and
# prints how many executions it reached. Any finding fails the run.
set -euo pipefail
fuzzer=$1 work=$2 seeds=$3 seconds=$4
rm -rf "$work"; mkdir -p "$work"
[ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
log=$(mktemp)
status=0
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/" "$work" >"$log" 2>&1 || status=$?
grep -E '^stat::number_of_executed_units' "$log" | sed "s|^|$(basename "$fuzzer") |" || true
if [ "$status" -ne 0 ]; then tail -n 60 "$log"; fi
rm -f "$log"
exit "$status"
