#!/usr/bin/env bash
# The Windows serial port under Wine: a pseudo-terminal whose other side
# echoes is mapped as COM7 in the suite's prefix; the Windows test program
# and qdm7-flash.exe must find it, open it and use it. Runs where Wine runs
# (tests/support/winehost.py run).
# Usage: wine_serial.sh serial_port_win_tests.exe qdm7-flash.exe
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib/sim.sh"
# Stand-in devices on pseudo-terminals (qdm7test.py peer KIND).
peer=("python3" "$(dirname "$0")/../support/qdm7test.py" peer)
tests_exe=$1
flash_exe=$2
com=7

# The suite's prefix, its server running; this script's files beside it.
eval "$(python3 "$(dirname "$0")/../support/winehost.py" session --shell)"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d "${TMPDIR:-/tmp}/qdm7-wine-serial-XXXXXX")
notes=$WINEPREFIX/drive_c/qdm7-serial-notes.txt
peer_pid=
acking_pid=
cleanup() {
  for pid in $peer_pid $acking_pid; do
    sim_stop "$pid" || true
  done
  rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com8" "$WINEPREFIX/dosdevices/com9" "$notes"
  rm -rf "$work"
}
trap cleanup EXIT
rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com8" "$WINEPREFIX/dosdevices/com9"

# The peer keeps both sides open, so the port never sees a hang-up.
sim_start "$work/peer.out" "${peer[@]}" echo || exit 1
peer_pid=$sim_pid
pty_path=$sim_port
ln -sf "$pty_path" "$WINEPREFIX/dosdevices/com$com"
echo "mapped $pty_path as \\\\.\\com$com"

status=0
QDM7_TEST_COM="\\\\.\\com$com" wine "$tests_exe" </dev/null || status=1

listed=$(wine "$flash_exe" --list </dev/null | tr -d '\r')
if ! grep -qxF "\\\\.\\com$com" <<<"$listed"; then
  echo "qdm7-flash.exe --list did not list \\\\.\\com$com:" >&2
  echo "$listed" >&2
  status=1
fi

rc=0
wine "$flash_exe" --port '\\.\com250' >/dev/null 2>"$work/flash.err" </dev/null || rc=$?
err=$(tr -d '\r' <"$work/flash.err")
if [ $rc -ne 1 ] || ! grep -qF "Unable to open serial port. In use already, or not present" <<<"$err" ||
   ! grep -q "Error number [0-9]* reported" <<<"$err"; then
  echo "qdm7-flash.exe on an absent port: exit $rc, said:" >&2
  echo "$err" >&2
  status=1
fi

# Anything but a serial port is refused, without a byte written to it.
printf 'precious\n' >"$notes"
touch -d '2020-01-01 00:00:00' "$notes"
rc=0
wine "$flash_exe" --port 'C:\qdm7-serial-notes.txt' >/dev/null 2>"$work/file.err" </dev/null || rc=$?
if [ $rc -ne 1 ] || ! tr -d '\r' <"$work/file.err" | grep -qF 'C:\qdm7-serial-notes.txt is not a serial port' ||
   [ "$(cat "$notes")" != precious ] || [ "$(stat -c %Y "$notes")" != "$(date -d '2020-01-01 00:00:00' +%s)" ]; then
  echo "qdm7-flash.exe given a file as its port: exit $rc, the file now $(stat -c %y "$notes"):" >&2
  cat "$work/file.err" >&2
  status=1
fi

# A device that answers the contact query and then, as the first argument
# says, stops reading ("stall") or takes part of the first block and goes
# away ("gone": its side of the terminal closes); mapped as the given COM
# number.
start_acking_peer() {
  sim_start "$work/$1.out" "${peer[@]}" "ack-then-$1" || exit 1
  acking_pid=$sim_pid
  ln -sf "$sim_port" "$WINEPREFIX/dosdevices/com$2"
}

# A device gone in the middle of the first block: with --no-reconnect, exit 4
# at once, naming the port.
start_acking_peer gone 9
rc=0
wine "$flash_exe" --port '\\.\com9' --deadline 60 --no-reconnect >/dev/null 2>"$work/gone.err" </dev/null || rc=$?
wait "$acking_pid" 2>/dev/null || true
if [ $rc -ne 4 ] || ! tr -d '\r' <"$work/gone.err" | grep -qF 'lost the port \\.\com9'; then
  echo "qdm7-flash.exe when the device went away: exit $rc, said:" >&2
  tr -d '\r' <"$work/gone.err" >&2
  status=1
fi

# A device that stops reading: the first block fills the line and its write
# blocks. The deadline must still end the run about a second after it passes.
# A Wine start costs more on top, measured here, since under emulation (the
# QEMU guest) it takes several times as long.
start=$(date +%s%N)
wine "$flash_exe" --version >/dev/null 2>&1 </dev/null || true
wine_start_ms=$(( ($(date +%s%N) - start) / 1000000 ))
limit_ms=$(( 4000 + 2000 + 2 * wine_start_ms ))
start_acking_peer stall 8
rc=0
start=$(date +%s%N)
wine "$flash_exe" --port '\\.\com8' --deadline 4 >"$work/stall.trace" 2>"$work/stall.err" </dev/null || rc=$?
took_ms=$(( ($(date +%s%N) - start) / 1000000 ))
sim_stop "$acking_pid" || true
echo "stuck device: exit $rc after $took_ms ms with a 4 s deadline (at most $limit_ms ms: a Wine start took $wine_start_ms ms); it said:"
tr -d '\r' <"$work/stall.err" | tail -n 2
if [ $rc -ne 3 ] || [ $took_ms -gt $limit_ms ] || ! grep -q "PROG ADDR" "$work/stall.trace"; then
  echo "qdm7-flash.exe against a device that stopped reading: exit $rc after $took_ms ms" >&2
  tr -d '\r' <"$work/stall.trace" | tail -n 5 >&2
  tr -d '\r' <"$work/stall.err" >&2
  status=1
fi

[ $status -eq 0 ] && echo "wine serial checks passed"
exit $status
