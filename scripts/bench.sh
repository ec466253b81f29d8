#!/usr/bin/env bash
# Builds everything and runs the benchmarks under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Building (the first run also installs the cross toolchain and Wine) ..."
bash scripts/build.sh >/dev/null
source scripts/prefix.sh
register_all
status=0
"$run" "$build/bin/bench.exe" || status=$?
wineserver -k 2>/dev/null || true
exit $status
