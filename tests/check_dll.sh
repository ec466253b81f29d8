#!/usr/bin/env bash
# The DLL is built for the machine its tree targets (x86 or x64), imports
# system DLLs only and exports the four entry points by name at ordinals 1 to 4;
# it carries version information.
#   check_dll.sh <dll> [x86|x64]
set -eu
dll=$1 arch=${2:-x86}
case "$arch" in
  x86) triple=i686-w64-mingw32 format=pei-i386 ;;
  x64) triple=x86_64-w64-mingw32 format=pei-x86-64 ;;
  *) echo "unknown architecture: $arch"; exit 2 ;;
esac
dump=$("$triple-objdump" -p "$dll")
fail=0
echo "$dump" | grep -q "file format $format" || { echo "not a $arch DLL (expected file format $format)"; fail=1; }
imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $imports)"
for d in $imports; do
  case "$d" in
    kernel32.dll|user32.dll|ole32.dll|oleaut32.dll|ws2_32.dll|msvcrt.dll|advapi32.dll|api-ms-win-*) ;;
    *) echo "unexpected import: $d"; fail=1 ;;
  esac
done
for want in ole32.dll oleaut32.dll ws2_32.dll kernel32.dll; do
  echo "$imports" | grep -qx "$want" || { echo "missing import: $want"; fail=1; }
done
# Name table rows look like "[   0] DllCanUnloadNow", the number being the
# ordinal less the base (1).
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^\s*\[\s*\([0-9]*\)\] \(.*\)$/\1 \2/p' | awk '{print $1+1, $2}')
echo "exports:"; echo "$exports"
expected=$'1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllRegisterServer\n4 DllUnregisterServer'
[ "$exports" = "$expected" ] || { echo "export table differs from the expected four entries"; fail=1; }
echo "$dump" | grep -q "Ordinal Base 1" || { echo "ordinal base is not 1"; fail=1; }
echo "$dump" | grep -q "\.rsrc" || { echo "no resource section (version information)"; fail=1; }
strings -el "$dll" | grep -q "FileVersion" || { echo "no VERSIONINFO"; fail=1; }
exit $fail
