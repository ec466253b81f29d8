#!/usr/bin/env bash
# The main job: builds everything, registers the reference local server and the
# DLL in a Wine prefix of their own, and runs the demo client.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ia32.sh
echo "Preparing (the first run installs the cross toolchain and Wine) ..."
bash scripts/bootstrap.sh
if ! can_run_ia32; then
  {
    echo "demo.sh: the demo cannot run on this machine."
    echo "  Missing: the ability to execute 32-bit x86 programs. The demo's client and the local"
    echo "  server are 32-bit Windows programs; Wine runs them with its 32-bit loader (under WOW64)."
    echo "  Why: $ia32_reason."
    echo "  The demo needs a machine whose kernel has 32-bit support switched on."
    echo "  (./scripts/test.sh still runs the native tests and checks the DLL here.)"
  } >&2
  exit 2
fi
echo "Building ..."
bash scripts/build.sh >/dev/null
source scripts/prefix.sh
echo "Registering the reference local server and serverlink.dll in $WINEPREFIX ..."
register_all
echo
status=0
"$run" "$build/bin/demo.exe" || status=$?
wineserver -k 2>/dev/null || true
exit $status
