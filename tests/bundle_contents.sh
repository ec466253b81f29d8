#!/usr/bin/env bash
# What the release ZIP ships: the expected files, for x86 in bin/x86 and for
# x64 in bin/x64; binaries of their folder's machine type, without debug
# sections, each with a debug file beside it that its .gnu_debuglink names and
# whose CRC it records; each DLL's code resolvable through that link;
# VERSIONINFO from the project version; assembly and application manifests of
# the right identity; a header and demo source that build on their own for both.
#   bundle_contents.sh <zip> <work dir> <version>
set -u
zip=$1 work=$2 version=$3
fail=0
check() {  # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}

rm -rf "$work" && mkdir -p "$work"
cmake -E chdir "$work" cmake -E tar xf "$zip" || { echo "cannot unpack $zip"; exit 1; }
b="$work/serverlink-$version-windows"
check "the ZIP's name carries version $version" test "$(basename "$zip")" = "serverlink-$version-windows.zip"
check "one top folder serverlink-$version-windows" test -d "$b"
for f in include/serverlink.h lib/localserver.tlb demo/demo.cpp doc/client.md register.cmd unregister.cmd; do
  check "ships $f" test -s "$b/$f"
done
for arch in x86 x64; do
  for f in serverlink.dll serverlink.manifest localserver.exe ringview.exe demo.exe; do
    check "ships bin/$arch/$f" test -s "$b/bin/$arch/$f"
  done
  check "ships demo/$arch/demo.exe.manifest" test -s "$b/demo/$arch/demo.exe.manifest"
done
# Nothing else lies in bin/ itself: each binary sits in its machine's folder.
check "bin/ holds only x86/ and x64/" test "$(ls "$b/bin" | tr '\n' ' ')" = "x64 x86 "
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

for arch in x86 x64; do
  if [ $arch = x86 ]; then
    tools=i686-w64-mingw32 machine=i386 format=pei-i386 assembly_arch=x86
  else
    tools=x86_64-w64-mingw32 machine=x86-64 format=pei-x86-64 assembly_arch=amd64
  fi
  OBJDUMP=$tools-objdump ADDR2LINE=$tools-addr2line
  for bin in "$b"/bin/$arch/*.dll "$b"/bin/$arch/*.exe; do
    f=$arch/$(basename "$bin")
    check "$f is $format" eval '$OBJDUMP -f "$bin" | grep -q "file format $format\$"'
    sections=$($OBJDUMP -h "$bin" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
    check "$f has no debug sections" eval '! grep -q "^\.debug" <<<"$sections"'
    link=$(debuglink "$bin")
    check "$f links its debug file $(basename "$bin").debug" test "${link% *}" = "$(basename "$bin").debug"
    check "$f.debug is beside it" test -s "$bin.debug"
    check "$f records the CRC of $f.debug" test "${link#* }" = "$(crc32 "$bin.debug")"
    check "$f.debug carries DWARF" eval '$OBJDUMP -h "$bin.debug" | grep -q "\.debug_info"'
    check "$f.debug describes the same .text" test "$(section_line "$bin" .text)" = "$(section_line "$bin.debug" .text)"
    strs=$(strings -el "$bin")
    check "$f FileVersion $version.0" eval 'grep -A1 -x FileVersion <<<"$strs" | tail -1 | grep -qx "$version.0"'
    check "$f OriginalFilename $(basename "$bin")" \
      eval 'grep -A1 -x OriginalFilename <<<"$strs" | tail -1 | grep -qx "$(basename "$bin")"'
  done

  # A tool that follows .gnu_debuglink names the function at an export of the
  # stripped DLL: the debug file describes the shipped code.
  dll="$b/bin/$arch/serverlink.dll"
  dump=$($OBJDUMP -p "$dll")
  base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$dump")
  index=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[\s*\([0-9]*\)\] DllGetClassObject$/\1/p')
  rva=$(sed -n "s/^\s*\[\s*[0-9]*\] +base\[\s*$((index + 1))\] \([0-9a-f]*\) Export RVA/\1/p" <<<"$dump" | head -1)
  where=$($ADDR2LINE -f -e "$dll" "$(printf '0x%x' $((0x$base + 0x$rva)))" 2>&1)
  echo "$arch DllGetClassObject at RVA 0x$rva: $(echo $where)"
  check "addr2line finds $arch DllGetClassObject through the debug link" grep -q "^DllGetClassObject" <<<"$where"

  # The assembly names the DLL beside it and its class, Both as registered;
  # the demo's application manifest depends on exactly that identity.
  identity="name=\"serverlink\" version=\"$version.0\" processorArchitecture=\"$assembly_arch\""
  m=$(tr -d '\r' <"$b/bin/$arch/serverlink.manifest")
  check "bin/$arch/serverlink.manifest is assembly serverlink $version.0 $assembly_arch" grep -qF "$identity" <<<"$m"
  check "bin/$arch/serverlink.manifest has the class in serverlink.dll, threading model Both" eval \
    'tr -d "\n" <<<"$m" | grep -qE "<file name=\"serverlink.dll\">\s*(<!--[^>]*-->\s*)?<comClass clsid=\"\{E33E6614-4B84-4956-A45C-AA9FDCBC2233\}\" threadingModel=\"Both\""'
  a=$(tr -d '\r\n' <"$b/demo/$arch/demo.exe.manifest")
  check "demo/$arch/demo.exe.manifest depends on that assembly" eval \
    'grep -qE "<dependentAssembly>\s*<assemblyIdentity type=\"win32\" $identity/>" <<<"$a"'
done

# The shipped header and demo source build on their own, for either machine.
for tools in i686-w64-mingw32 x86_64-w64-mingw32; do
  out="$work/demo-build-$tools"
  mkdir -p "$out"
  check "the bundled demo source builds against the bundled header ($tools)" eval '
    $tools-gcc-posix -c "$b/demo/localserver_control_i.c" -o "$out/ids.o" &&
    $tools-g++-posix -std=c++17 -Wall -Werror -I"$b/include" "$b/demo/demo.cpp" "$out/ids.o" \
      -o "$out/demo.exe" -static -lole32 -loleaut32 -luuid'
done

[ $fail -eq 0 ] && rm -rf "$work" && echo "bundle contents: all checks passed"
exit $fail
