#!/usr/bin/env bash
# Installs what is missing, builds everything and says where the binaries are.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$build"
echo "Built. The Windows binaries are in $build:"
find "$build" -maxdepth 3 \( -name 'wharfcore.dll' -o -name 'wharfpanel.exe' \) -print
