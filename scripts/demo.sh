#!/usr/bin/env bash
# The main job: builds everything, registers the reference local server and the
# DLL in a Wine prefix of their own, and runs the demo client.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Building (the first run also installs the cross toolchain and Wine) ..."
bash scripts/build.sh >/dev/null
source scripts/prefix.sh
echo "Registering the reference local server and serverlink.dll in $WINEPREFIX ..."
register_all
echo
status=0
"$run" "$build/bin/demo.exe" || status=$?
wineserver -k 2>/dev/null || true
exit $status
