#!/usr/bin/env bash
# Brings the x64 tree's shipped binaries up to date for the bundle, configuring
# that tree first (as the mingw64 preset does) if it never was.
#   bundle_x64.sh <source dir> <x64 build dir>
set -eu
src=$1 tree=$2
if [ ! -f "$tree/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-x86_64-mingw.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$tree" --target stripped_binaries -j2
