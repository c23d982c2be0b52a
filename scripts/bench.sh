#!/usr/bin/env bash
# Builds and runs every benchmark under Wine; each prints its figures as ratios to a baseline
# measured in the same run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
bash "$root/scripts/build.sh" "$build"
for b in "$build"/bench/bench_*.exe; do
  [ -e "$b" ] || continue
  name=$(basename "$b")
  echo "== $name"
  if [ "$name" = bench_devices.exe ]; then
    # The device benchmark needs the test driver in the prefix and the port doubles beside it.
    "$build/wine-run.sh" "$build/tests/port_doubles_setup.exe"
    cp "$b" "$build/tests/$name"
    (cd "$build/tests" && WHARF_DLLOVERRIDES="msports,newdev=n,b" "$build/wine-run.sh" "$build/tests/$name")
    "$build/wine-run.sh" "$build/tests/port_doubles_setup.exe" --cleanup
  else
    (cd "$build/bench" && "$build/wine-run.sh" "$b")
  fi
done
