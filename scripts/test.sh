#!/usr/bin/env bash
# The whole test suite. Installs what it needs, then runs two tiers:
#  - the native tier, always and first: the platform-free parts built with the
#    machine's clang, unit tests under ASan+UBSan, the threaded ring under TSan,
#    and every fuzzer for about 20 s;
#  - the Windows tier, once per bitness, each under Wine in a fresh private
#    64-bit prefix (WINEARCH=win64) as on Windows today: x86 (preset mingw, the
#    32-bit binaries under WOW64), then x64 (preset mingw64: the 64-bit DLL and
#    tests against the x86 tree's 32-bit reference server, with a 32-bit client
#    beside them). On a machine that cannot execute 32-bit programs, the x86
#    tier only cross-builds the DLL and checks its exports and imports, and the
#    x64 tier runs against its own 64-bit server; the summary says what did not run.
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

# tier <label> <command...>: runs one tier and records how it went.
tier() {
  local label=$1
  shift
  : >"$log"
  if "$@"; then
    summary+=("$label: passed: $(ctest_result)")
  else
    summary+=("$label: FAILED: $(ctest_result)")
    status=1
  fi
}
native_tier() {
  cmake --preset native && cmake --build --preset native && ctest --preset native "$@" 2>&1 | tee "$log"
}

echo "==== native tier: ASan+UBSan unit tests, TSan threaded ring, libFuzzer targets ===="
rm -rf build-native/fuzz  # only this run's fuzzer logs count in the summary
tier "native tier" native_tier "$@"
for fuzz_log in build-native/fuzz/*/log; do
  [ -f "$fuzz_log" ] || continue
  runs=$(grep -E "^Done [0-9]+ runs" "$fuzz_log" | tail -1)
  summary+=("  fuzzer $(basename "$(dirname "$fuzz_log")"): ${runs:-no final count (see $fuzz_log)}")
done

x86_tier() { bash scripts/build.sh && ctest --preset mingw "$@" 2>&1 | tee "$log"; }
# x64_tier <x86 tree or empty> [ctest args]: the 64-bit DLL and its tests.
x64_tier() {
  local x86_tree=$1
  shift
  cmake --preset mingw64 -DSERVERLINK_X86_BUILD_DIR="$x86_tree" >/dev/null &&
    cmake --build --preset mingw64 && ctest --preset mingw64 "$@" 2>&1 | tee "$log"
}

if can_run_ia32; then
  echo "==== Windows tier x86: every test under Wine in a 64-bit prefix (32-bit binaries under WOW64) ===="
  tier "Windows tier x86 (64-bit Wine prefix, 32-bit binaries under WOW64)" x86_tier "$@"
  echo "==== Windows tier x64: every test again with the 64-bit DLL, against the 32-bit reference server ===="
  tier "Windows tier x64 (64-bit DLL and tests, 32-bit reference server and peer)" x64_tier "$PWD/build" "$@"
else
  echo "==== x86 DLL only (no 32-bit programs here): cross-build serverlink.dll, check its exports and imports ===="
  if cmake --preset mingw && cmake --build --preset mingw --target serverlink &&
     bash tests/check_dll.sh build/bin/serverlink.dll x86; then
    summary+=("x86 DLL cross-build and export/import check: passed")
  else
    summary+=("x86 DLL cross-build and export/import check: FAILED")
    status=1
  fi
  echo "==== Windows tier x64: every test with the 64-bit DLL, against the 64-bit reference server ===="
  tier "Windows tier x64 (64-bit DLL, tests and reference server)" x64_tier "" "$@"
  summary+=("Windows tier x86: NOT RUN: $ia32_reason. Not run with it: the 32-bit DLL's tests, the 32-bit reference server, a 32-bit client beside a 64-bit one, and the release bundle tests (they live in the x86 tree).")
fi

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
exit $status
