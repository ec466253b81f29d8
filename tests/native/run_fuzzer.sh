#!/usr/bin/env bash
# Runs one libFuzzer target for about 20 s with a fixed seed: first over the
# committed corpus (seeds and regression inputs), then on new inputs. New
# corpus entries, any crash input and the fuzzer's log (its "Done N runs"
# line included) go to a scratch folder in the build tree.
set -eu -o pipefail
fuzzer=$1 corpus=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work/new"
"$fuzzer" -seed=1 -max_total_time="${SERVERLINK_FUZZ_SECONDS:-20}" -print_final_stats=1 \
  -artifact_prefix="$work/" "$@" "$work/new" "$corpus" 2>&1 | tee "$work/log"
