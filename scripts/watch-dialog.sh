#!/usr/bin/env bash
# Watch the real dialog program update the virtual QDM7: the Windows program
# runs under Wine in a throwaway prefix, with the virtual QDM7 on a
# pseudo-terminal mapped as COM3.
#
# With $DISPLAY set, the dialog opens there: pick \\.\com3, press "Update
# Firmware", and close the window when it says "Programming Completed".
# Without a display, it runs on a virtual one (Xvfb), the UI driver works the
# dialog, and screenshots go to build/windows-x86/dialog-shots/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target qdm7-sim
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j2 --target qdm7-update qdm7-dialog-driver

sim=$root/build/native/tools/qdm7-sim/qdm7-sim
exe=$root/build/windows-x86/ui/qdm7-update.exe
driver=$root/build/windows-x86/tests/ui/qdm7-dialog-driver.exe
image=$root/build/windows-x86/resources/firmware_image.bin
shots=$root/build/windows-x86/dialog-shots

work=$(mktemp -d "${TMPDIR:-/tmp}/qdm7-dialog.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim_pid="" xvfb_pid="" exe_pid="" wine_started=""
# The processes of our prefix (Wine passes WINEPREFIX on to each of them;
# so does this script to the X server it starts).
prefix_processes() {
  local environ pid
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [ "$pid" = "$xvfb_pid" ] && continue
    if grep -qzxF "WINEPREFIX=$WINEPREFIX" "$environ" 2>/dev/null; then
      echo "$pid"
    fi
  done
}
# Runs on every exit, whatever failed or was interrupted: nothing of the
# prefix (the program, Wine's services, winedevice.exe) may outlive it.
cleanup() {
  set +e
  trap '' INT TERM
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  if [ -n "$wine_started" ]; then
    for _ in 1 2 3; do
      wineserver -k >/dev/null 2>&1
      wineserver -w >/dev/null 2>&1
      left=$(prefix_processes)
      [ -z "$left" ] && break
      kill -KILL $left 2>/dev/null
      sleep 0.2
    done
    [ -n "$left" ] && echo "watch-dialog: could not end Wine processes $left" >&2
    if [ -n "$exe_pid" ]; then wait "$exe_pid" 2>/dev/null; fi
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${DISPLAY:-}" ]; then
  Xvfb -displayfd 9 -screen 0 800x600x24 -nolisten tcp 9>"$work/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(head -n1 "$work/display")
  echo "watch-dialog: no display; running on Xvfb $DISPLAY"
fi

echo "watch-dialog: making a throwaway Wine prefix in $WINEPREFIX"
wine_started=1
DISPLAY= wineboot -i >/dev/null 2>&1
# Wine's desktop keeps the display its first program had: start afresh.
wineserver -k 2>/dev/null || true
wineserver -w >/dev/null 2>&1
wineserver -p >/dev/null 2>&1
# Wine's services map its own ports now; COM3 is ours from here on.
wine cmd /c exit >/dev/null 2>&1

# Paced at the link's 921600 baud, so the progress can be watched.
"$sim" --link "$WINEPREFIX/dosdevices/com3" --dump "$work/flash.bin" >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^READY' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
echo "watch-dialog: virtual QDM7 on $(sed -n 's/^READY //p' "$work/sim.out"), mapped as COM3"

wine "$exe" >"$work/trace.txt" &
exe_pid=$!

if [ -n "$xvfb_pid" ]; then
  mkdir -p "$shots"
  shot() { import -display "$DISPLAY" -window root "$shots/$1.png"; echo "watch-dialog: $shots/$1.png"; }
  drive() { wine "$driver" "$@" | tr -d '\r'; }
  index=$(drive wait-window:60000 dump | grep '^item ' | grep -n 'com3$' | cut -d: -f1)
  shot idle
  drive "select:$((index - 1))" click "wait-status-prefix:60000:programming 0x" | grep '^status'
  shot programming
  drive "wait-status:120000:Programming Completed" | grep '^status' | tail -n 3
  shot completed
  drive close wait-gone:10000 >/dev/null
else
  echo "watch-dialog: the dialog is open on $DISPLAY: select \\\\.\\com3, press \"Update Firmware\","
  echo "watch-dialog: and close the window once it shows \"Programming Completed\"."
fi

status=0
wait "$exe_pid" || status=$?
echo "watch-dialog: the program ended with exit code $status"
kill -INT "$sim_pid" && wait "$sim_pid" || true
sim_pid=""
grep '^STATS' "$work/sim.out" || true
if [ -f "$work/flash.bin" ] && [ -f "$image" ]; then
  python3 - "$image" "$work/flash.bin" <<'EOF'
import sys
image = open(sys.argv[1], "rb").read()
image += bytes(-len(image) % 16384)
flash = open(sys.argv[2], "rb").read()
print("watch-dialog: device flash %s the padded image (%d bytes)"
      % ("equals" if flash == image else "DIFFERS FROM", len(image)))
EOF
fi
tr -d '\r' <"$work/trace.txt" | grep -v '^PROG ADDR' | tail -n 12
exit "$status"
