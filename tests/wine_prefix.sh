#!/usr/bin/env bash
# ctest fixture: a fresh private 64-bit Wine prefix with the reference local
# server and the DLL registered (setup), and wineserver shut down (cleanup).
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
    # The server is 32-bit: /RegServer writes the 32-bit view, as on Windows.
    if [ -x "$build/bin/localserver.exe" ]; then
      "$run" "$build/bin/localserver.exe" /RegServer >"$build/regserver.log" 2>&1
    else
      "$run" cmd /c exit >/dev/null 2>&1
    fi
    if [ -f "$build/serverlink.reg" ]; then
      # The DLL is 32-bit too: its class goes into the 32-bit view only, where
      # 32-bit clients look; a 64-bit client must not be pointed at it.
      "$run" reg import "$(winepath -w "$build/serverlink.reg" 2>/dev/null || echo "$build/serverlink.reg")" \
        /reg:32 >/dev/null 2>&1
      key='HKCR\CLSID\{E33E6614-4B84-4956-A45C-AA9FDCBC2233}\InprocServer32'
      if ! "$run" reg query "$key" /reg:32 >/dev/null 2>&1; then
        echo "the DLL's class is not in the 32-bit registry view after reg import /reg:32" >&2
        exit 1
      fi
      if "$run" reg query "$key" /reg:64 >/dev/null 2>&1; then
        echo "the 32-bit DLL's class landed in the 64-bit registry view" >&2
        exit 1
      fi
    fi
    ;;
  cleanup)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
esac
