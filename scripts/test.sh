#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is
# missing, builds both presets and runs every test, natively and under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
cmake --preset native
cmake --build --preset native -j "$jobs"
cmake --preset windows-x86
cmake --build --preset windows-x86 -j "$jobs"
# The page qdm7-update.html (WebAssembly), and its tests; the preset gives
# emcc's optimiser Debian's node modules (NODE_PATH).
cmake --preset web
cmake --build --preset web -j "$jobs"
# Optimised, without sanitizers: the benchmarks' figures, and the qdm7-flash
# that the USB rig (tests/usb/) runs in its guest.
cmake --preset release
cmake --build --preset release -j "$jobs"

status=0
ctest --preset native -j "$jobs" -LE reliability || status=1
# The fault soak and the endurance run print their tables; LeakSanitizer
# checks each at exit.
ctest --preset native -L reliability --verbose || status=1
# Each fuzz target for 30 s under ASan and UBSan, with its figures.
bash scripts/fuzz.sh 30 || status=1
# The update-time benchmark on a few blocks paced at 921600 baud, so every
# log shows its ratio to the wire-time limit; the full run is its own command.
if [ -f bench/update_time.py ]; then
  python3 bench/update_time.py --blocks 4 || status=1
fi
# The station under load, short: 100 units of every kind over 16 slots,
# stopped once by Ctrl-C and once by SIGKILL, each record checked (about
# 30 s, after a minute's build of the tools with a short image the first
# time); the full 1000 units are its own command, bench/station_soak.py.
python3 bench/station_soak.py --units 100 --seed 7 || status=1
# The engine's tests in WebAssembly under Node, and the page in Chromium in
# a QEMU guest against qdm7-sim, with the benchmark of a full update from the
# page; screenshots in build/web/web-shots.
ctest --preset web || status=1
# Under Wine here, or in a QEMU guest where this kernel runs no 32-bit
# programs: one line says which (tests/support/winehost.py).
python3 tests/support/winehost.py mode || status=1
ctest --preset windows-x86 -j "$jobs" || status=1
exit $status
