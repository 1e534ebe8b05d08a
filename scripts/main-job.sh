#!/usr/bin/env bash
# The main job: a full update of the virtual QDM7 over a pseudo-terminal.
# Builds qdm7-sim and qdm7-flash (release preset), starts the simulator paced
# at the link's 921600 baud, runs qdm7-flash with its built-in image (a
# progress bar on a terminal), then checks that the device's flash holds
# exactly the padded image.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  echo "Usage: bash scripts/main-job.sh            update the virtual QDM7 with qdm7-flash"
  echo "       bash scripts/main-job.sh --dialog   watch the Windows dialog do it, under Wine"
}
case "$#:${1:-}" in
  0:) ;;
  1:--dialog) exec bash scripts/watch-dialog.sh ;;
  1:--help | 1:-h) usage; exit 0 ;;
  *) echo "main-job: unknown arguments: $*" >&2; usage >&2; exit 64 ;;
esac
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target qdm7-sim qdm7-flash

tools=build/release/tools
out=build/main-job
mkdir -p "$out"
rm -f "$out/flash.bin" "$out/trace.txt"

sim_pid=
stop_sim() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  sim_pid=
}
trap stop_sim EXIT
trap 'stop_sim; exit 130' INT TERM

"$tools/qdm7-sim/qdm7-sim" --baud 921600 --dump "$out/flash.bin" >"$out/sim.txt" 2>&1 &
sim_pid=$!
port=
for _ in $(seq 100); do
  port=$(awk '$1 == "READY" { print $2 }' "$out/sim.txt")
  [ -n "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "main-job: qdm7-sim did not start:" >&2
  cat "$out/sim.txt" >&2
  exit 1
fi

"$tools/qdm7-flash/qdm7-flash" --version
echo "Virtual QDM7 serving on $port at 921600 baud; updating it (trace in $out/trace.txt):"
status=0
"$tools/qdm7-flash/qdm7-flash" --port "$port" >"$out/trace.txt" || status=$?
stop_sim
grep -E '^(Remote|Local ) CRC|^CRCs match|^CRC FAIL' "$out/trace.txt" || true
if [ "$status" -ne 0 ]; then
  echo "main-job: qdm7-flash ended with status $status" >&2
  exit 1
fi

# The device's flash must hold the image, zero-padded to whole 16 KiB blocks.
image=build/release/resources/firmware_image.bin
size=$(stat -c %s "$image")
padded_size=$(( (size + 16383) / 16384 * 16384 ))
cp "$image" "$out/padded_image.bin"
truncate -s "$padded_size" "$out/padded_image.bin"
if cmp -s "$out/flash.bin" "$out/padded_image.bin"; then
  echo "Device flash equals the padded image ($padded_size bytes, $(( padded_size / 16384 )) blocks)."
else
  echo "main-job: the device's flash differs from the padded image" >&2
  exit 1
fi
