#!/usr/bin/env bash
# Builds the two-unit header client with one compiler for the i686 MinGW target,
# with a client's usual flags, into <build dir>/client_header_<compiler>/client.exe.
#   client_header.sh gcc|clang <include dir> <build dir>
set -eu
kind=$1 include=$2 build=$3
here=$(cd "$(dirname "$0")" && pwd)
out="$build/client_header_$kind"
rm -rf "$out" && mkdir -p "$out"
flags=(-std=c++17 -O1 -Wall -Wextra -Werror -DUNICODE -D_UNICODE -I"$include")
link=()
case "$kind" in
  gcc) cxx=(i686-w64-mingw32-g++-posix) ;;
  clang)
    # clang takes the C++ headers and runtime of the MinGW g++ beside it.
    gxx=$(dirname "$(i686-w64-mingw32-g++-posix -print-libgcc-file-name)")
    cxx=(clang++ --target=i686-w64-mingw32 -fms-extensions -isystem "$gxx/include/c++"
         -isystem "$gxx/include/c++/i686-w64-mingw32")
    link=(-L"$gxx" -pthread) ;;
  *) echo "unknown compiler kind: $kind"; exit 2 ;;
esac
for unit in client_main client_other; do
  "${cxx[@]}" "${flags[@]}" -c "$here/client/$unit.cpp" -o "$out/$unit.o"
done
"${cxx[@]}" "${link[@]}" -static -o "$out/client.exe" "$out/client_main.o" "$out/client_other.o" -lole32 -loleaut32 -luuid
