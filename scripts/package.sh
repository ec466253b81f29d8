#!/usr/bin/env bash
# The release bundle: installs what the build needs (once), builds the x86 tree
# (build/) and the x64 tree's shipped binaries (build64/), installs into
# build/dist/<name>/ and zips the same tree into build/dist/<name>.zip, <name>
# carrying the project version. Ends with the bundle's listing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 --target stripped_binaries >/dev/null
name=$(sed -n 's/^SERVERLINK_BUNDLE_NAME:INTERNAL=//p' build/CMakeCache.txt)
[ -n "$name" ] || { echo "package: build/CMakeCache.txt names no bundle; reconfigure build/"; exit 1; }
dist=$PWD/build/dist
rm -rf "$dist/$name" "$dist/$name.zip"
cmake --install build --prefix "$dist/$name" >/dev/null
(cd build && cpack -B "$dist" >/dev/null)
rm -rf "$dist/_CPack_Packages"
echo "$dist/$name/"
(cd "$dist/$name" && find . -type f -printf '%10s  %P\n' | sort -k2)
echo "$dist/$name.zip ($(stat -c %s "$dist/$name.zip") bytes)"
