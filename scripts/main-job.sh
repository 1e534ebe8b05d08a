#!/usr/bin/env bash
# The main job: a full update of the virtual QDM7.
set -euo pipefail
cd "$(dirname "$0")/.."
# --dialog: watch the real Windows program do the update, under Wine.
if [ "${1:-}" = "--dialog" ]; then
  exec bash scripts/watch-dialog.sh
fi
bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target qdm7-virtual-update
./build/native/tests/qdm7-virtual-update
