#!/usr/bin/env bash
# Watch the real dialog program update the virtual QDM7: the Windows program
# runs under Wine in a throwaway prefix, with the virtual QDM7 on a
# pseudo-terminal mapped as COM3. Built here; run where Wine runs
# (tests/support/winehost.py): here, or in a QEMU guest when this kernel runs
# no 32-bit programs.
#
# With $DISPLAY set (and Wine here), the dialog opens there: pick \\.\com3,
# press "Update Firmware", and close the window when it says "Programming
# Completed". Without a display, it runs on a virtual one (Xvfb), the UI
# driver works the dialog, and screenshots go to
# build/windows-x86/dialog-shots/.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# Whatever fails unforeseen says what it was before the script ends.
trap 'echo "watch-dialog: failed: $BASH_COMMAND (line $LINENO)" >&2' ERR

if [ "${1:-}" != --here ]; then
  bash scripts/install-deps.sh
  # The Windows build brings the host's qdm7-sim (qdm7-host-tools) and names it.
  cmake --preset windows-x86 >/dev/null
  cmake --build --preset windows-x86 -j "$(nproc)" --target qdm7-update qdm7-dialog-driver qdm7-host-tools
  where=$(python3 tests/support/winehost.py mode --name)
  if [ "$where" = guest ]; then
    python3 tests/support/winehost.py mode
    if [ -n "${DISPLAY:-}" ]; then
      echo "watch-dialog: the guest cannot reach your display $DISPLAY; the dialog runs on a virtual one instead"
    fi
  fi
  trap - ERR
  exec python3 tests/support/winehost.py run -- bash scripts/watch-dialog.sh --here
fi

sim=$(sed -n 's/^qdm7-sim=//p' build/windows-x86/host-tools.txt)
if [ ! -x "$sim" ]; then
  echo "watch-dialog: no qdm7-sim at '$sim' (named by build/windows-x86/host-tools.txt)" >&2
  exit 1
fi
exe=$root/build/windows-x86/ui/qdm7-update.exe
driver=$root/build/windows-x86/tests/ui/qdm7-dialog-driver.exe
image=$root/build/windows-x86/resources/firmware_image.bin
shots=$root/build/windows-x86/dialog-shots

work=$(mktemp -d "${TMPDIR:-/tmp}/qdm7-dialog.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source scripts/lib/sim.sh
xvfb_pid="" exe_pid="" wine_started=""
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
  trap - ERR
  trap '' INT TERM
  sim_stop
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
  if [ ! -s "$work/display" ]; then
    echo "watch-dialog: Xvfb did not start (no display within 10 s)" >&2
    exit 1
  fi
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
sim_start "$work/sim.out" "$sim" --link "$WINEPREFIX/dosdevices/com3" --dump "$work/flash.bin" || exit 1
echo "watch-dialog: virtual QDM7 on $sim_port, mapped as COM3"

wine "$exe" >"$work/trace.txt" &
exe_pid=$!

if [ -n "$xvfb_pid" ]; then
  mkdir -p "$shots"
  shot() { import -display "$DISPLAY" -window root "$shots/$1.png"; echo "watch-dialog: $shots/$1.png"; }
  # Runs the UI driver's commands; its output (status lines among it) goes to
  # $driven. A failed command ends the script with what the driver said.
  drive() {
    local status=0
    wine "$driver" "$@" >"$work/driven" 2>&1 || status=$?
    driven=$(tr -d '\r' <"$work/driven")
    if [ "$status" -ne 0 ]; then
      echo "watch-dialog: the UI driver failed (exit status $status) on: $*" >&2
      printf '%s\n' "$driven" >&2
      exit 1
    fi
  }
  drive wait-window:60000 dump
  index=$(grep '^item ' <<<"$driven" | grep -n 'com3$' | cut -d: -f1 || true)
  if [ -z "$index" ]; then
    echo "watch-dialog: the dialog does not list \\\\.\\com3; its ports:" >&2
    grep '^item ' <<<"$driven" >&2 || echo "  none" >&2
    exit 1
  fi
  shot idle
  drive "select:$((index - 1))" click "wait-status-prefix:60000:programming 0x"
  grep '^status' <<<"$driven" || true
  shot programming
  drive "wait-status:120000:Programming Completed"
  grep '^status' <<<"$driven" | tail -n 3 || true
  shot completed
  drive close wait-gone:10000
else
  echo "watch-dialog: the dialog is open on $DISPLAY: select \\\\.\\com3, press \"Update Firmware\","
  echo "watch-dialog: and close the window once it shows \"Programming Completed\"."
fi

status=0
wait "$exe_pid" || status=$?
echo "watch-dialog: the program ended with exit code $status"
sim_stop || echo "watch-dialog: qdm7-sim did not end cleanly" >&2
grep '^STATS' "$work/sim.out" || echo "watch-dialog: qdm7-sim printed no STATS line" >&2
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
if [ -s "$work/trace.txt" ]; then
  tr -d '\r' <"$work/trace.txt" | grep -v '^PROG ADDR' | tail -n 12 || true
else
  echo "watch-dialog: the program wrote no trace" >&2
fi
exit "$status"
