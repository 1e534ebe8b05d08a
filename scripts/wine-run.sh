#!/usr/bin/env bash
# Runs a Windows program under the suite's Wine (tests/support/winehost.py):
# on this machine when its kernel runs 32-bit programs, else in the QEMU
# guest; in one shared prefix whose server stays up, so that each program
# pays a warm start. The cross build's test emulator. WINEPREFIX may be set
# by the caller.
exec python3 "$(dirname "$0")/../tests/support/winehost.py" wine "$@"
