#!/usr/bin/env bash
# Installs the cross toolchain and Wine, and clang with its sanitizer and
# libFuzzer runtimes for the native tier, on a fresh Debian machine. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang and libclang-rt-dev follow the distribution's default clang; the latter
# brings the sanitizer and libFuzzer runtimes of that version.
bash scripts/install.sh g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools mingw-w64-i686-dev \
  mingw-w64-x86-64-dev wine wine64 wine32:i386 \
  libwine-dev cmake clang libclang-rt-dev googletest
