#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$build"
# Every product source must also pass a second compiler without a warning; a failure of that
# check fails the command once the tests have run too.
clang_check=0
python3 "$root/scripts/clang_check.py" "$build" || clang_check=$?
trap '[ "$clang_check" -eq 0 ] || { echo "clang check failed" >&2; exit 1; }' EXIT
cd "$build"
# A fresh prefix for every run: nothing left over from an earlier run can make a test pass.
if [ -d wineprefix ]; then
  WINEPREFIX="$build/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf wineprefix
fi
ctest --output-on-failure -j "$(nproc)" --timeout 300
