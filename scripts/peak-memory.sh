#!/usr/bin/env bash
# Peak memory (maximum resident set) of qdm7-flash updating the virtual QDM7
# with the built-in image, optimised build, unpaced pseudo-terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qdm7-flash qdm7-sim >/dev/null
source scripts/lib/sim.sh
out=$(mktemp -d)
trap 'sim_stop || true; rm -rf "$out"' EXIT
trap 'exit 130' INT TERM
sim_start "$out/sim" build/release/tools/qdm7-sim/qdm7-sim --baud 0 || exit 1
/usr/bin/time -v build/release/tools/qdm7-flash/qdm7-flash --port "$sim_port" --deadline 120 \
  >"$out/trace" 2>"$out/time" || { echo "peak-memory: the update failed" >&2; tail -n 20 "$out/time" >&2; exit 1; }
grep -q 'CRCs match' "$out/trace" || { echo "peak-memory: no verified update" >&2; exit 1; }
kb=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$out/time")
[ -n "$kb" ] || { echo "peak-memory: /usr/bin/time gave no maximum resident set" >&2; exit 1; }
echo "peak memory of qdm7-flash (built-in image, full update): ${kb} KiB maximum resident set"
