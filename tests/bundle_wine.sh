#!/usr/bin/env bash
# The release ZIP on a machine that never saw the build tree: unpacked into a
# folder with a space in its path, in a fresh 64-bit Wine prefix of its own (as
# Windows is today), registered with register.cmd, the bundle's demo run,
# unregister.cmd leaving no class; each script run from a 64-bit and from a
# 32-bit cmd.
#   bundle_wine.sh <zip> <build dir>
set -u
zip=$1 build=$2
work="$build/bundle-wine"
export WINEPREFIX="$work/prefix"
run="$build/wine-run.sh"

stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}
trap stop_wine EXIT

fail=0
check() {  # check <description> <command...>: records a failure, goes on
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
# Windows path of a Unix path as Wine maps the root (Z:); no Wine process needed.
winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
# A Windows program inside the fresh prefix: its output (without CRs) on stdout,
# its exit status as the function's.
win() {
  local log="$work/win.log" rc
  "$run" "$@" >"$log" 2>&1
  rc=$?
  tr -d '\r' <"$log"
  return $rc
}
reg() { win reg "$@"; }

# A fresh prefix each run: a server left from an earlier run goes first.
stop_wine
rm -rf "$work"
mkdir -p "$work/Program Files"
cmake -E chdir "$work/Program Files" cmake -E tar xf "$zip" || { echo "cannot unpack $zip"; exit 1; }
bundle=$(ls -d "$work/Program Files"/serverlink-*/ 2>/dev/null | head -1)
bundle=${bundle%/}
[ -n "$bundle" ] && [ -f "$bundle/register.cmd" ] || { echo "no register.cmd in the unpacked bundle"; exit 1; }
echo "bundle: $bundle"

dll_win=$(winpath "$bundle/bin/serverlink.dll")
server_win=$(winpath "$bundle/bin/localserver.exe")
clsid='{E33E6614-4B84-4956-A45C-AA9FDCBC2233}'
# LocalServer, LocalServerControl; their type libraries; ILocalServer, ILocalServerControl.
server_keys=('HKCR\CLSID\{4868C869-875D-48AE-A7FF-1E6FA1EBBF8D}' 'HKCR\CLSID\{C89758C7-9DAB-4661-90B5-C9E5EEA903C5}'
             'HKCR\TypeLib\{86D7CF8E-4C61-4B1E-89EC-6AAEED163603}' 'HKCR\TypeLib\{CEC6A1D9-893D-4A1C-B5DF-114B48CEB87C}'
             'HKCR\Interface\{9C11E1FA-11F3-4AAF-BF90-DE9DA1DD7E1D}' 'HKCR\Interface\{5C4F8D5C-A42E-434A-8983-48DF668147C4}')
all_keys=("HKCR\\CLSID\\$clsid" "${server_keys[@]}")

# The two cmds a user has on 64-bit Windows. `wine` runs a bare builtin as the
# 32-bit one; that one reaches the 64-bit System32 through Sysnative.
cmd32='C:\windows\syswow64\cmd.exe'
cmd64() { win "$cmd32" /c 'C:\windows\sysnative\cmd.exe' "$@"; }
cmd32() { win "$cmd32" "$@"; }
arch=$(cmd64 /c set PROCESSOR_ARCH)
check "the 64-bit cmd is a native 64-bit process" eval \
  'grep -qx "PROCESSOR_ARCHITECTURE=AMD64" <<<"$arch" && ! grep -q W6432 <<<"$arch"'
arch=$(cmd32 /c set PROCESSOR_ARCH)
check "the 32-bit cmd runs under WOW64" eval \
  'grep -qx "PROCESSOR_ARCHITECTURE=x86" <<<"$arch" && grep -qx "PROCESSOR_ARCHITEW6432=AMD64" <<<"$arch"'

# Nothing of ours is known to the fresh prefix yet, in either view.
for key in "${all_keys[@]}"; do
  for view in 32 64; do
    check "not registered before register.cmd ($view-bit view): $key" eval '! reg query "$key" /reg:$view >/dev/null'
  done
done

# register.cmd from one cmd, unregister.cmd from the other, then the other way
# round: each must find the same view whichever cmd runs it.
for round in "64 32" "32 64"; do
  set -- $round
  by=$1 un=$2
  cmd$by /c "$(winpath "$bundle/register.cmd")"
  check "register.cmd from the $by-bit cmd exits 0" test $? -eq 0

  # The 32-bit DLL, in the 32-bit view: what a 32-bit process reads as HKCR.
  inproc=$(reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /reg:32)
  echo "$inproc"
  check "InprocServer32 in the 32-bit view is the unpacked bundle's DLL ($by-bit cmd)" \
    grep -qiF "REG_SZ    $dll_win" <<<"$inproc"
  model=$(reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /reg:32)
  check "ThreadingModel is Both ($by-bit cmd)" grep -qE 'ThreadingModel +REG_SZ +Both$' <<<"$model"
  # A 64-bit client must not be pointed at a 32-bit DLL.
  check "the 64-bit view holds no class of the 32-bit DLL ($by-bit cmd)" \
    eval '! reg query "HKCR\\CLSID\\$clsid" /reg:64 >/dev/null'
  local32=$(reg query 'HKCR\CLSID\{4868C869-875D-48AE-A7FF-1E6FA1EBBF8D}\LocalServer32' /ve /reg:32)
  echo "$local32"
  check "LocalServer32 in the 32-bit view is the unpacked bundle's localserver.exe ($by-bit cmd)" \
    grep -qiF "$server_win" <<<"$local32"
  for key in "${server_keys[@]}"; do
    check "registered in the 32-bit view: $key ($by-bit cmd)" eval 'reg query "$key" /reg:32 >/dev/null'
  done

  # The demo from the bundle, working through the registry alone.
  demo=$(win "$bundle/bin/demo.exe")
  echo "$demo" | tail -5
  check "the bundle's demo ran end to end ($by-bit cmd registered)" grep -q "everything arrived as expected" <<<"$demo"

  cmd$un /c "$(winpath "$bundle/unregister.cmd")"
  check "unregister.cmd from the $un-bit cmd exits 0" test $? -eq 0
  for key in "${all_keys[@]}"; do
    for view in 32 64; do
      check "gone after unregister.cmd from the $un-bit cmd ($view-bit view): $key" \
        eval '! reg query "$key" /reg:$view >/dev/null'
    done
  done

  # Running it again finds nothing to remove and still succeeds.
  cmd$un /c "$(winpath "$bundle/unregister.cmd")" >/dev/null
  check "unregister.cmd again from the $un-bit cmd exits 0" test $? -eq 0
done

stop_wine
[ $fail -eq 0 ] && rm -rf "$work"
[ $fail -eq 0 ] && echo "bundle registration: all checks passed"
exit $fail
