#!/usr/bin/env bash
# Runs each fuzz target for a bounded time (default 30 s each) from the seed
# corpus in fuzz/corpus/<target>, and prints executions per second and total
# executions. Findings (crash-*, timeout-*) land in build/fuzz/findings and
# fail the run. Usage: scripts/fuzz.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

findings=build/fuzz/findings
mkdir -p "$findings"
# The scratch corpus of the target being fuzzed; gone however the run ends.
work=
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
status=0
for target in job_fuzzer device_fuzzer; do
  seeds=fuzz/corpus/${target%_fuzzer}
  # New inputs go to a scratch corpus; the repository's seeds stay as they are.
  work=$(mktemp -d)
  log=build/fuzz/$target.log
  if ! "build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/$target-" "$work" "$seeds" >"$log" 2>&1; then
    echo "fuzz: $target FAILED; its log follows" >&2
    tail -n 60 "$log" >&2
    status=1
  fi
  rm -rf "$work"
  work=
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "fuzz: $target: ${runs:-?} executions in ${seconds} s, ${rate:-?} executions/s"
  grep -h '^job_fuzzer: ' "$log" || true
done
exit $status
