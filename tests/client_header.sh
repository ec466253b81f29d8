#!/usr/bin/env bash
# Builds the two-unit header client with one compiler for the MinGW target of
# the given bitness, with a client's usual flags, into
# <build dir>/client_header_<compiler>/client.exe.
#   client_header.sh gcc|clang x86|x64 <include dir> <build dir>
set -eu
kind=$1 arch=$2 include=$3 build=$4
case "$arch" in
  x86) triple=i686-w64-mingw32 ;;
  x64) triple=x86_64-w64-mingw32 ;;
  *) echo "unknown architecture: $arch"; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
out="$build/client_header_$kind"
rm -rf "$out" && mkdir -p "$out"
flags=(-std=c++17 -O1 -Wall -Wextra -Werror -DUNICODE -D_UNICODE -I"$include")
link=()
case "$kind" in
  gcc) cxx=($triple-g++-posix) ;;
  clang)
    # clang takes the C++ headers and runtime of the MinGW g++ beside it.
    gxx=$(dirname "$($triple-g++-posix -print-libgcc-file-name)")
    cxx=(clang++ --target=$triple -fms-extensions -isystem "$gxx/include/c++"
         -isystem "$gxx/include/c++/$triple")
    link=(-L"$gxx" -pthread) ;;
  *) echo "unknown compiler kind: $kind"; exit 2 ;;
esac
for unit in client_main client_other; do
  "${cxx[@]}" "${flags[@]}" -c "$here/client/$unit.cpp" -o "$out/$unit.o"
done
"${cxx[@]}" "${link[@]}" -static -o "$out/client.exe" "$out/client_main.o" "$out/client_other.o" -lole32 -loleaut32 -luuid
