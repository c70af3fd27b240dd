#!/usr/bin/env bash
# Builds vesk.exe and its tests for Windows (scripts/build-windows.sh) and runs them under Wine
# through CTest. Wine's helpers can keep a pipe open after a program ended, so the server is
# started first and ended by its prefix at the end, and every step is bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build-windows.sh
export WINEPREFIX=$PWD/build-win/wineprefix WINEDEBUG=-all
/usr/lib/wine/wineserver -p || true  # fails only when a server for this prefix already runs
trap '/usr/lib/wine/wineserver -k || true' EXIT
# The first start creates the prefix (several seconds); later ones take a fraction of a second.
timeout 300 scripts/wine-run.sh build-win/vesk.exe --help >/dev/null || true
(cd build-win && timeout 1200 ctest --output-on-failure -j"$(nproc)" --timeout 300)
