#!/usr/bin/env bash
# The Windows serial port under Wine: a pseudo-terminal whose other side
# echoes is mapped as COM7 in a throwaway prefix; the Windows test program
# and qdm7-flash.exe must find it, open it and use it.
# Usage: wine_serial.sh serial_port_win_tests.exe qdm7-flash.exe
set -euo pipefail
tests_exe=$1
flash_exe=$2
com=7

prefix=$(mktemp -d "${TMPDIR:-/tmp}/qdm7-wine-serial-XXXXXX")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
peer_pid=
cleanup() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

# Wine's server outlives this script's programs; it must not hold CTest's pipes.
wineboot -i >/dev/null 2>&1 </dev/null
wineserver -p10 >/dev/null 2>&1 </dev/null || true

# The peer keeps both sides open, so the port never sees a hang-up.
peer_out=$prefix/peer.out
python3 -u -c '
import os, pty, select, tty
device, port = pty.openpty()
tty.setraw(device)
print(os.ttyname(port))
while True:
    select.select([device], [], [])
    os.write(device, os.read(device, 4096))
' >"$peer_out" </dev/null &
peer_pid=$!
for _ in $(seq 50); do [ -s "$peer_out" ] && break; sleep 0.1; done
pty_path=$(head -n1 "$peer_out")
[ -c "$pty_path" ] || { echo "no pseudo-terminal from the peer" >&2; exit 1; }
ln -sf "$pty_path" "$prefix/dosdevices/com$com"
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
wine "$flash_exe" --port '\\.\com250' >/dev/null 2>"$prefix/flash.err" </dev/null || rc=$?
err=$(tr -d '\r' <"$prefix/flash.err")
if [ $rc -ne 1 ] || ! grep -qF "Unable to open serial port. In use already, or not present" <<<"$err" ||
   ! grep -q "Error number [0-9]* reported" <<<"$err"; then
  echo "qdm7-flash.exe on an absent port: exit $rc, said:" >&2
  echo "$err" >&2
  status=1
fi

# A device that answers the contact and then stops reading: the first block
# fills the line and its write blocks. The deadline must still end the run
# about a second after it passes (a Wine start costs a few seconds more).
stall_out=$prefix/stall.out
python3 -u -c '
import os, pty, select, time, tty
device, port = pty.openpty()
tty.setraw(device)
print(os.ttyname(port))
def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc
ack = bytes([4, 0xF3])
ack += bytes([crc16(ack) & 0xFF, crc16(ack) >> 8])
select.select([device], [], [])
os.read(device, 64)
os.write(device, ack)
while True:
    time.sleep(1)
' >"$stall_out" </dev/null &
stall_pid=$!
for _ in $(seq 50); do [ -s "$stall_out" ] && break; sleep 0.1; done
ln -sf "$(head -n1 "$stall_out")" "$prefix/dosdevices/com8"
rc=0
start=$(date +%s%N)
wine "$flash_exe" --port '\\.\com8' --deadline 4 >"$prefix/stall.trace" 2>"$prefix/stall.err" </dev/null || rc=$?
took_ms=$(( ($(date +%s%N) - start) / 1000000 ))
kill "$stall_pid" 2>/dev/null || true
wait "$stall_pid" 2>/dev/null || true
echo "stuck device: exit $rc after $took_ms ms with a 4 s deadline; it said:"
tr -d '\r' <"$prefix/stall.err" | tail -n 2
if [ $rc -ne 3 ] || [ $took_ms -gt 9000 ] || ! grep -q "PROG ADDR" "$prefix/stall.trace"; then
  echo "qdm7-flash.exe against a device that stopped reading: exit $rc after $took_ms ms" >&2
  tr -d '\r' <"$prefix/stall.trace" | tail -n 5 >&2
  tr -d '\r' <"$prefix/stall.err" >&2
  status=1
fi

[ $status -eq 0 ] && echo "wine serial checks passed"
exit $status
