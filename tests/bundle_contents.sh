#!/usr/bin/env bash
# What the release ZIP ships: the expected files; binaries without debug
# sections, each with a debug file beside it that its .gnu_debuglink names and
# whose CRC it records; the DLL's code resolvable through that link; VERSIONINFO
# from the project version; a header and demo source that build on their own.
#   bundle_contents.sh <zip> <work dir> <version>
set -u
zip=$1 work=$2 version=$3
OBJDUMP=i686-w64-mingw32-objdump ADDR2LINE=i686-w64-mingw32-addr2line
fail=0
check() {  # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}

rm -rf "$work" && mkdir -p "$work"
cmake -E chdir "$work" cmake -E tar xf "$zip" || { echo "cannot unpack $zip"; exit 1; }
b="$work/serverlink-$version-win32"
check "the ZIP's name carries version $version" test "$(basename "$zip")" = "serverlink-$version-win32.zip"
check "one top folder serverlink-$version-win32" test -d "$b"
for f in bin/serverlink.dll bin/localserver.exe bin/ringview.exe bin/demo.exe include/serverlink.h \
         lib/localserver.tlb demo/demo.cpp doc/client.md register.cmd unregister.cmd; do
  check "ships $f" test -s "$b/$f"
done
check "lib/localserver.tlb is a type library" test "$(head -c4 "$b/lib/localserver.tlb" 2>/dev/null)" = MSFT
check "register.cmd has CRLF line ends" grep -q $'\r$' "$b/register.cmd"

crc32() {  # CRC-32 of a file as 8 hex digits: the trailer of its gzip stream
  gzip -c "$1" | tail -c8 | head -c4 | od -An -tx4 | tr -d ' \n'
}
# .gnu_debuglink holds the file name, NUL-padded to 4 bytes, then the CRC (LE).
debuglink() {  # prints "<name> <crc>"
  local hex
  hex=$($OBJDUMP -s -j .gnu_debuglink "$1" 2>/dev/null | sed -n 's/^ [0-9a-f]\+ \(\([0-9a-f]\{2,8\} \)\{1,4\}\).*/\1/p' | tr -d ' \n')
  [ -n "$hex" ] || return 1
  local bytes name crc
  bytes=$(echo "$hex" | sed 's/../& /g')
  name=$(for x in $bytes; do [ "$x" = 00 ] && break; printf "\\x$x"; done)
  local n=${#hex}
  crc=${hex:$((n - 8)):8}
  echo "$name ${crc:6:2}${crc:4:2}${crc:2:2}${crc:0:2}"
}
section_line() {  # "<size> <vma>" of a section
  $OBJDUMP -h "$1" | awk -v s="$2" '$2 == s { print $3, $4 }'
}

for bin in "$b"/bin/*.dll "$b"/bin/*.exe; do
  f=$(basename "$bin")
  sections=$($OBJDUMP -h "$bin" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
  check "$f has no debug sections" eval '! grep -q "^\.debug" <<<"$sections"'
  link=$(debuglink "$bin")
  check "$f links its debug file $f.debug" test "${link% *}" = "$f.debug"
  check "$f.debug is beside it" test -s "$bin.debug"
  check "$f records the CRC of $f.debug" test "${link#* }" = "$(crc32 "$bin.debug")"
  check "$f.debug carries DWARF" eval '$OBJDUMP -h "$bin.debug" | grep -q "\.debug_info"'
  check "$f.debug describes the same .text" test "$(section_line "$bin" .text)" = "$(section_line "$bin.debug" .text)"
  strs=$(strings -el "$bin")
  check "$f FileVersion $version.0" eval 'grep -A1 -x FileVersion <<<"$strs" | tail -1 | grep -qx "$version.0"'
  check "$f OriginalFilename $f" eval 'grep -A1 -x OriginalFilename <<<"$strs" | tail -1 | grep -qx "$f"'
done

# A tool that follows .gnu_debuglink names the function at an export of the
# stripped DLL: the debug file describes the shipped code.
dll="$b/bin/serverlink.dll"
dump=$($OBJDUMP -p "$dll")
base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$dump")
index=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[\s*\([0-9]*\)\] DllGetClassObject$/\1/p')
rva=$(sed -n "s/^\s*\[\s*[0-9]*\] +base\[\s*$((index + 1))\] \([0-9a-f]*\) Export RVA/\1/p" <<<"$dump" | head -1)
where=$($ADDR2LINE -f -e "$dll" "$(printf '0x%x' $((0x$base + 0x$rva)))" 2>&1)
echo "DllGetClassObject at RVA 0x$rva: $(echo $where)"
check "addr2line finds DllGetClassObject through the debug link" grep -q "^DllGetClassObject" <<<"$where"

# The shipped header and demo source build on their own.
out="$work/demo-build"
mkdir -p "$out"
check "the bundled demo source builds against the bundled header" eval '
  i686-w64-mingw32-gcc-posix -c "$b/demo/localserver_control_i.c" -o "$out/ids.o" &&
  i686-w64-mingw32-g++-posix -std=c++17 -Wall -Werror -I"$b/include" "$b/demo/demo.cpp" "$out/ids.o" \
    -o "$out/demo.exe" -static -lole32 -loleaut32 -luuid'

[ $fail -eq 0 ] && rm -rf "$work" && echo "bundle contents: all checks passed"
exit $fail
