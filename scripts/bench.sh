#!/usr/bin/env bash
# Builds everything and runs the benchmarks under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ia32.sh
bash scripts/bootstrap.sh
if ! can_run_ia32; then
  echo "bench.sh: the benchmarks are 32-bit Windows programs and cannot run here: $ia32_reason." >&2
  exit 2
fi
echo "Building ..."
bash scripts/build.sh >/dev/null
source scripts/prefix.sh
register_all
status=0
"$run" "$build/bin/bench.exe" || status=$?
wineserver -k 2>/dev/null || true
exit $status
