#!/usr/bin/env bash
# Installs the cross toolchain and Wine, and clang with its sanitizer and
# libFuzzer runtimes for the native tier, on a fresh Debian machine. Safe to run again.
set -euo pipefail

# clang and libclang-rt-dev follow the distribution's default clang; the latter
# brings the sanitizer and libFuzzer runtimes of that version.
need=(g++-mingw-w64-i686-posix mingw-w64-tools mingw-w64-i686-dev wine wine32:i386 libwine-dev cmake
      clang libclang-rt-dev googletest)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
