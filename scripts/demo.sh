#!/usr/bin/env bash
# The main job: builds what the demo needs, registers the reference local
# server and serverlink.dll in a Wine prefix of their own, and runs the demo
# client.
#   demo.sh [x86|x64]   the demo as a 32-bit client (the default wherever
#                       32-bit programs run) or as a 64-bit one, with the DLL
#                       of its bitness, against the one reference server
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ia32.sh
arch=${1:-}
case "$arch" in
  ""|x86|x64) ;;
  *) echo "usage: demo.sh [x86|x64]" >&2; exit 2 ;;
esac
echo "Preparing (the first run installs the cross toolchain and Wine) ..."
bash scripts/bootstrap.sh
if ! can_run_ia32; then
  if [ "$arch" = x86 ]; then
    {
      echo "demo.sh x86: the 32-bit demo cannot run on this machine."
      echo "  Missing: the ability to execute 32-bit x86 programs. A 32-bit client runs under"
      echo "  Wine's 32-bit loader (under WOW64)."
      echo "  Why: $ia32_reason."
      echo "  ./scripts/demo.sh x64 runs the demo as a 64-bit client here."
    } >&2
    exit 2
  fi
  [ -n "$arch" ] || echo "This machine cannot run 32-bit programs ($ia32_reason): the demo runs as a 64-bit client."
  arch=x64
fi
arch=${arch:-x86}
echo "Building ..."
# The tree of the demo's bitness, and the reference server's.
if [ "$arch" = x86 ]; then
  bash scripts/build.sh >/dev/null
else
  cmake --preset mingw64 >/dev/null
  cmake --build --preset mingw64 --target demo >/dev/null
  if can_run_ia32; then
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw --target localserver >/dev/null
  fi
fi
source scripts/prefix.sh
echo "Registering the reference local server ($server_arch) and the $arch serverlink.dll in $WINEPREFIX ..."
register_server
register_dll "$arch"
echo
status=0
"$run" "$(tree_of "$arch")/bin/demo.exe" || status=$?
wineserver -k 2>/dev/null || true
exit $status
