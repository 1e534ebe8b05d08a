#!/usr/bin/env bash
# Runs a Windows program under Wine in a throwaway prefix, quietly. Used as
# the cross build's test emulator. WINEPREFIX may be set by the caller.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/qdm7-wine-$(id -u)}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine's services outlive this program; they must not inherit the caller's
# descriptors (CTest waits for its pipes to close).
for fd in $(ls /proc/$$/fd); do
  if [ "$fd" -gt 2 ]; then eval "exec $fd>&-" 2>/dev/null || true; fi
done
mkdir -p "$(dirname "$WINEPREFIX")"
# One first start at a time: parallel tests share the prefix.
{
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
  fi
} 9>"$WINEPREFIX.lock"
# Start the prefix's server first, so that it does not inherit the output of
# the program under test.
wineserver -p10 >/dev/null 2>&1 || true
exec wine "$@"
