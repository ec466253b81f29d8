#!/usr/bin/env bash
# Installs what the build needs (once), configures and builds everything.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
