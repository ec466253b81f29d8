#!/usr/bin/env bash
# The whole test suite. Installs what it needs, then runs two tiers:
#  - the native tier, always and first: the platform-free parts built with the
#    machine's clang, unit tests under ASan+UBSan, the threaded ring under TSan,
#    and every fuzzer for about 20 s;
#  - the Windows tier: every test under Wine in a fresh private 64-bit prefix
#    (WINEARCH=win64), the 32-bit binaries running under WOW64 as on Windows
#    today. On a machine that cannot execute 32-bit programs it only
#    cross-builds the DLL and checks its exports and imports, and says so.
# Ends with a summary; exits 0 only if everything that ran passed. Extra
# arguments go to both ctest runs (e.g. -R <regex>).
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/ia32.sh
bash scripts/bootstrap.sh || exit 1

summary=()
status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# The "N% tests passed, ..." line of the last ctest run.
ctest_result() {
  local line
  line=$(grep -E "tests passed|No tests were found" "$log" | tail -1)
  echo "${line:-nothing ran (configure or build failed)}"
}

echo "==== native tier: ASan+UBSan unit tests, TSan threaded ring, libFuzzer targets ===="
rm -rf build-native/fuzz  # only this run's fuzzer logs count in the summary
if cmake --preset native && cmake --build --preset native &&
   ctest --preset native "$@" 2>&1 | tee "$log"; then
  summary+=("native tier: passed: $(ctest_result)")
else
  summary+=("native tier: FAILED: $(ctest_result)")
  status=1
fi
for fuzz_log in build-native/fuzz/*/log; do
  [ -f "$fuzz_log" ] || continue
  runs=$(grep -E "^Done [0-9]+ runs" "$fuzz_log" | tail -1)
  summary+=("  fuzzer $(basename "$(dirname "$fuzz_log")"): ${runs:-no final count (see $fuzz_log)}")
done

if can_run_ia32; then
  echo "==== Windows tier: every test under Wine in a 64-bit prefix (32-bit binaries under WOW64) ===="
  : >"$log"
  if bash scripts/build.sh && ctest --preset mingw "$@" 2>&1 | tee "$log"; then
    summary+=("Windows tier (64-bit Wine prefix, 32-bit binaries under WOW64): passed: $(ctest_result)")
  else
    summary+=("Windows tier (64-bit Wine prefix, 32-bit binaries under WOW64): FAILED: $(ctest_result)")
    status=1
  fi
else
  echo "==== DLL only (no Wine): cross-build serverlink.dll, check its exports and imports ===="
  if cmake --preset mingw && cmake --build --preset mingw --target serverlink &&
     bash tests/check_dll.sh build/bin/serverlink.dll; then
    summary+=("DLL cross-build and export/import check: passed")
  else
    summary+=("DLL cross-build and export/import check: FAILED")
    status=1
  fi
  summary+=("Windows tier: NOT RUN: $ia32_reason. The Windows tests need a machine that can run 32-bit programs.")
fi

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
exit $status
