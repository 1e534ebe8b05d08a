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

source scripts/lib/sim.sh
trap 'sim_stop || true' EXIT
trap 'sim_stop || true; exit 130' INT TERM

sim_start "$out/sim.txt" "$tools/qdm7-sim/qdm7-sim" --baud 921600 --dump "$out/flash.bin" || exit 1
port=$sim_port

"$tools/qdm7-flash/qdm7-flash" --version
echo "Virtual QDM7 serving on $port at 921600 baud; updating it (trace in $out/trace.txt):"
status=0
"$tools/qdm7-flash/qdm7-flash" --port "$port" >"$out/trace.txt" || status=$?
sim_stop || true
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
  blocks=$(( padded_size / 16384 ))
  echo "Device flash equals the padded image ($padded_size bytes, $blocks block$([ "$blocks" = 1 ] || echo s))."
else
  echo "main-job: the device's flash differs from the padded image" >&2
  exit 1
fi
