#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, runs every test under
# Wine in a fresh private prefix, and ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
ctest -j2 --output-on-failure --timeout 300 "$@"
