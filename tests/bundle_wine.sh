#!/usr/bin/env bash
# The release ZIP on a machine that never saw the build tree: unpacked into a
# folder with a space in its path, in a fresh Wine prefix of its own, registered
# with register.cmd, the bundle's demo run, unregister.cmd leaving no class.
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

# Nothing of ours is known to the fresh prefix yet.
for key in "${all_keys[@]}"; do
  check "not registered before register.cmd: $key" eval '! reg query "$key" >/dev/null'
done

win cmd /c "$(winpath "$bundle/register.cmd")"
check "register.cmd exits 0" test $? -eq 0

inproc=$(reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve)
echo "$inproc"
check "InprocServer32 is the unpacked bundle's DLL" grep -qiF "REG_SZ    $dll_win" <<<"$inproc"
model=$(reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel)
check "ThreadingModel is Both" grep -qE 'ThreadingModel +REG_SZ +Both$' <<<"$model"
local32=$(reg query 'HKCR\CLSID\{4868C869-875D-48AE-A7FF-1E6FA1EBBF8D}\LocalServer32' /ve)
echo "$local32"
check "LocalServer32 is the unpacked bundle's localserver.exe" grep -qiF "$server_win" <<<"$local32"
for key in "${server_keys[@]}"; do
  check "registered: $key" eval 'reg query "$key" >/dev/null'
done

# The demo from the bundle, working through the registry alone.
demo=$(win "$bundle/bin/demo.exe")
echo "$demo" | tail -5
check "the bundle's demo ran end to end" grep -q "everything arrived as expected" <<<"$demo"

win cmd /c "$(winpath "$bundle/unregister.cmd")"
check "unregister.cmd exits 0" test $? -eq 0
for key in "${all_keys[@]}"; do
  check "gone after unregister.cmd: $key" eval '! reg query "$key" >/dev/null'
done

# Running it again finds nothing to remove and still succeeds.
win cmd /c "$(winpath "$bundle/unregister.cmd")" >/dev/null
check "unregister.cmd again exits 0" test $? -eq 0

stop_wine
[ $fail -eq 0 ] && rm -rf "$work"
[ $fail -eq 0 ] && echo "bundle registration: all checks passed"
exit $fail
