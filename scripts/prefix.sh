# Sourced by demo.sh and bench.sh: a 64-bit Wine prefix of their own under
# build/, with the reference local server and serverlink.dll registered.
build=$PWD/build
export WINEPREFIX=$build/demo-prefix
run=$build/wine-run.sh
# A prefix made by an older build was 32-bit; Wine refuses it as a 64-bit one.
if [ -f "$WINEPREFIX/system.reg" ] && ! grep -q '^#arch=win64' "$WINEPREFIX/system.reg"; then
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$WINEPREFIX"
fi
register_all() {
  # Both are 32-bit: their classes belong in the 32-bit registry view.
  "$run" "$build/bin/localserver.exe" /RegServer
  "$run" reg import "$(winepath -w "$build/serverlink.reg" 2>/dev/null)" /reg:32 >/dev/null
}
