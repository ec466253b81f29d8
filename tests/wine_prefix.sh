#!/usr/bin/env bash
# ctest fixture: a fresh private 64-bit Wine prefix with the reference local
# server and the DLL registered (setup), and wineserver shut down (cleanup).
#   wine_prefix.sh setup|cleanup <build dir> [x86|x64] [x86 build dir]
# An x64 tree given the x86 tree registers that tree's 32-bit server (the one
# reference server, serving clients of both bitnesses) and its DLL beside its
# own, for a 32-bit client next to the 64-bit tests; without it, its own server.
set -eu
mode=$1 build=$2 arch=${3:-x86} x86_build=${4:-}
run="$build/wine-run.sh"
export WINEPREFIX="$build/wineprefix"

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# register_dll <tree> <32|64>: the tree's DLL class into that registry view
# only, where clients of that bitness look; the other view must not name it.
register_dll() {
  local tree=$1 view=$2 other=32 key value
  [ "$view" = 32 ] && other=64
  [ -f "$tree/serverlink.reg" ] || return 0
  "$run" reg import "$(winpath "$tree/serverlink.reg")" /reg:$view >/dev/null 2>&1
  key='HKCR\CLSID\{E33E6614-4B84-4956-A45C-AA9FDCBC2233}\InprocServer32'
  value=$(winpath "$tree/bin/serverlink.dll")
  if ! "$run" reg query "$key" /reg:$view 2>/dev/null | grep -qiF "$value"; then
    echo "$value is not the class's DLL in the $view-bit registry view after reg import /reg:$view" >&2
    exit 1
  fi
  if "$run" reg query "$key" /reg:$other 2>/dev/null | grep -qiF "$value"; then
    echo "$value landed in the $other-bit registry view" >&2
    exit 1
  fi
}

case "$mode" in
  setup)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    # A link is a prefix provided from outside (e.g. a ready one on a faster
    # disk than the build tree's): used as it is. Anything else is made afresh.
    [ -L "$WINEPREFIX" ] || rm -rf "$WINEPREFIX"
    server_tree=$build
    if [ "$arch" = x64 ] && [ -n "$x86_build" ]; then
      server_tree=$x86_build
      [ -x "$server_tree/bin/localserver.exe" ] || { echo "no 32-bit reference server in $x86_build" >&2; exit 1; }
    fi
    # /RegServer writes the view of the server's own bitness, as on Windows.
    if [ -x "$server_tree/bin/localserver.exe" ]; then
      "$run" "$server_tree/bin/localserver.exe" /RegServer >"$build/regserver.log" 2>&1
    else
      "$run" cmd /c exit >/dev/null 2>&1
    fi
    if [ "$arch" = x64 ]; then
      register_dll "$build" 64
      [ -z "$x86_build" ] || register_dll "$x86_build" 32
    else
      register_dll "$build" 32
    fi
    ;;
  cleanup)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
esac
