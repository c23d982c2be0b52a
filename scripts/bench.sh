#!/usr/bin/env bash
# Builds and runs every benchmark under Wine; each prints its figures as ratios to a baseline
# measured in the same run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
bash "$root/scripts/build.sh" "$build"
for b in "$build"/bench/bench_*.exe; do
  [ -e "$b" ] || continue
  echo "== $(basename "$b")"
  (cd "$build/bench" && "$build/wine-run.sh" "$b")
done
