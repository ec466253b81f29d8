# Sourced by demo.sh and bench.sh after ia32.sh: a 64-bit Wine prefix of their
# own under build/, where the one reference local server serves clients of
# both bitnesses and each bitness's DLL is registered in its own registry view.
# The server is the 32-bit build (build/) wherever 32-bit programs run, the
# 64-bit build (build64/) only where they cannot.
build=$PWD/build
build64=$PWD/build64
export WINEPREFIX=$build/demo-prefix
if can_run_ia32; then
  server_arch=x86
  run=$build/wine-run.sh
  [ -x "$run" ] || run=$build64/wine-run.sh
else
  server_arch=x64
  run=wine64_run
fi
# Where 32-bit programs cannot run, `wine` cannot either (it starts the 32-bit
# loader first): Wine's 64-bit loader runs the 64-bit programs and builtins.
# Output goes through files, as in wine-run.sh, so that nothing waits on the
# background processes Wine starts.
wine64_run() {
  local out err rc
  out=$(mktemp) err=$(mktemp)
  mkdir -p "$WINEPREFIX"
  WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=} \
    "$(command -v wine64 || echo /usr/lib/wine/wine64)" "$@" >"$out" 2>"$err"
  rc=$?
  cat "$out"; cat "$err" >&2
  rm -f "$out" "$err"
  return $rc
}
tree_of() {  # tree_of <x86|x64>
  if [ "$1" = x64 ]; then echo "$build64"; else echo "$build"; fi
}
register_server() {
  # It writes the registry view of its own bitness; clients of both find it.
  "$run" "$(tree_of $server_arch)/bin/localserver.exe" /RegServer
}
register_dll() {  # register_dll <x86|x64>: that DLL's class, in that bitness's view
  local tree view=32
  tree=$(tree_of "$1")
  [ "$1" = x64 ] && view=64
  "$run" reg import "$(printf 'Z:%s' "${tree//\//\\}")\\serverlink.reg" /reg:$view >/dev/null
}
