#!/usr/bin/env bash
# Peak memory (maximum resident set) of qdm7-flash updating the virtual QDM7
# with the built-in image, optimised build, unpaced pseudo-terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qdm7-flash qdm7-sim >/dev/null
out=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$out"' EXIT
build/release/tools/qdm7-sim/qdm7-sim --baud 0 >"$out/sim" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q '^READY ' "$out/sim" && break; sleep 0.1; done
port=$(sed -n 's/^READY //p' "$out/sim")
[ -n "$port" ] || { echo "peak-memory: qdm7-sim did not start" >&2; cat "$out/sim" >&2; exit 1; }
/usr/bin/time -v build/release/tools/qdm7-flash/qdm7-flash --port "$port" --deadline 120 \
  >"$out/trace" 2>"$out/time" || { echo "peak-memory: the update failed" >&2; tail -n 20 "$out/time" >&2; exit 1; }
grep -q 'CRCs match' "$out/trace" || { echo "peak-memory: no verified update" >&2; exit 1; }
kb=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$out/time")
echo "peak memory of qdm7-flash (built-in image, full update): ${kb} KiB maximum resident set"
