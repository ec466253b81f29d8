#!/usr/bin/env bash
# ctest fixture: a fresh private Wine prefix with the reference local server and
# the DLL registered (setup), and wineserver shut down (cleanup).
set -eu
mode=$1 build=$2
run="$build/wine-run.sh"
export WINEPREFIX="$build/wineprefix"
case "$mode" in
  setup)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    # A link is a prefix provided from outside (e.g. a ready one on a faster
    # disk than the build tree's): used as it is. Anything else is made afresh.
    [ -L "$WINEPREFIX" ] || rm -rf "$WINEPREFIX"
    if [ -x "$build/bin/localserver.exe" ]; then
      "$run" "$build/bin/localserver.exe" /RegServer >"$build/regserver.log" 2>&1
    else
      "$run" cmd /c exit >/dev/null 2>&1
    fi
    if [ -f "$build/serverlink.reg" ]; then
      "$run" regedit /S "$(winepath -w "$build/serverlink.reg" 2>/dev/null || echo "$build/serverlink.reg")" \
        >/dev/null 2>&1
    fi
    ;;
  cleanup)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
esac
