# Sourced by demo.sh and bench.sh: a Wine prefix of their own under build/, with
# the reference local server and serverlink.dll registered.
build=$PWD/build
export WINEPREFIX=$build/demo-prefix
run=$build/wine-run.sh
register_all() {
  "$run" "$build/bin/localserver.exe" /RegServer
  "$run" regedit /S "$(winepath -w "$build/serverlink.reg" 2>/dev/null)"
}
