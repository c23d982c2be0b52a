#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$build"
cd "$build"
# A fresh prefix for every run: nothing left over from an earlier run can make a test pass.
if [ -d wineprefix ]; then
  WINEPREFIX="$build/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf wineprefix
fi
ctest --output-on-failure -j "$(nproc)" --timeout 300
