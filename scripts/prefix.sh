# Sourced by demo.sh and bench.sh: a 64-bit Wine prefix of their own under
# build/, with the reference local server and serverlink.dll registered.
build=$PWD/build
export WINEPREFIX=$build/demo-prefix
run=$build/wine-run.sh
register_all() {
  # Both are 32-bit: their classes belong in the 32-bit registry view.
  "$run" "$build/bin/localserver.exe" /RegServer
  "$run" reg import "$(winepath -w "$build/serverlink.reg" 2>/dev/null)" /reg:32 >/dev/null
}
