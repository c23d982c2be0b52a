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
# The run has a bound well below the CI's limit. ctest starts no test after the stop time and
# ends those still running at it, then prints its summary as always; the outer bound only
# catches a ctest that cannot end by itself. Each case has its own time-out besides.
stop_minutes=30
status=0
timeout --kill-after=60 $((stop_minutes + 10))m \
  ctest --output-on-failure -j "$(nproc)" --timeout 60 --stop-time "$(date -d "+$stop_minutes min" +%H:%M:%S)" ||
  status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "ctest had not ended $((stop_minutes + 10)) minutes after its start and was stopped" >&2
fi
# Nothing of the run stays behind: the prefix's processes and the build's display end with it.
WINEPREFIX="$build/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
if read -r xvfb _ 2>/dev/null <.xvfb && [ "$(cat "/proc/$xvfb/comm" 2>/dev/null)" = Xvfb ]; then
  kill "$xvfb" 2>/dev/null || true
fi
exit "$status"
