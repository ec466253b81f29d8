#!/usr/bin/env bash
# The release ZIP on a machine that never saw the build tree: unpacked into a
# folder with a space in its path, in a fresh 64-bit Wine prefix of its own (as
# Windows is today). First without registering the DLL: with only the reference
# server registered, the demo of each bitness creates its link through its
# application manifest and the DLL's assembly manifest, and fails without the
# former. Then registered with register.cmd (each DLL in its own bitness's
# registry view), the demo of each bitness run, unregister.cmd leaving no class;
# each script run from a 64-bit and from a 32-bit cmd. Last, as on a 64-bit
# Windows that cannot run 32-bit programs: the 64-bit DLL and server only.
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

dll32_win=$(winpath "$bundle/bin/x86/serverlink.dll")
dll64_win=$(winpath "$bundle/bin/x64/serverlink.dll")
server32_win=$(winpath "$bundle/bin/x86/localserver.exe")
server64_win=$(winpath "$bundle/bin/x64/localserver.exe")
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
# Wine's 64-bit loader runs the 64-bit cmd straight, for a prefix whose 32-bit
# cmd cannot start.
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
cmd64_only() {
  local log="$work/win.log" rc
  WINEARCH=win64 WINEDEBUG=-all "$wine64" cmd "$@" >"$log" 2>&1
  rc=$?
  tr -d '\r' <"$log"
  return $rc
}
# demo <x86|x64> <when>: the bundle's demo of that bitness, end to end.
demo() {
  local out
  out=$(win "$bundle/bin/$1/demo.exe")
  echo "$out" | tail -3
  check "the bundle's $1 demo ran end to end ($2)" grep -q "everything arrived as expected" <<<"$out"
}
# registered <view> <what> <key> <expected value>: the key's default value.
registered() {
  local value
  value=$(reg query "$3" /ve /reg:$1)
  echo "$value"
  check "$2 in the $1-bit view" grep -qiF "REG_SZ    $4" <<<"$value"
}
# nothing_left <when>: no key of ours in either view.
nothing_left() {
  for key in "${all_keys[@]}"; do
    for view in 32 64; do
      check "gone $1 ($view-bit view): $key" eval '! reg query "$key" /reg:$view >/dev/null'
    done
  done
}
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

# Registration-free: only the reference server is registered. Each demo finds
# the DLL through the activation context its application manifest makes; the
# DLL's class is in neither view before, meanwhile or after.
win "$bundle/bin/x86/localserver.exe" /RegServer
check "the reference server registers itself" test $? -eq 0
for arch in x86 x64; do
  out=$(win "$bundle/bin/$arch/demo.exe")
  echo "$out" | tail -1
  check "without its application manifest the $arch demo cannot create the class" \
    grep -q "Could not create the link object (0x80040154)" <<<"$out"
  cp "$bundle/demo/$arch/demo.exe.manifest" "$bundle/bin/$arch/"
  demo $arch "registration-free, its application manifest beside it"
  # The DLL carries the same assembly manifest: it does without the file.
  mv "$bundle/bin/$arch/serverlink.manifest" "$work/serverlink.manifest"
  demo $arch "registration-free, the DLL's embedded assembly manifest only"
  mv "$work/serverlink.manifest" "$bundle/bin/$arch/"
  rm "$bundle/bin/$arch/demo.exe.manifest"
  for view in 32 64; do
    check "no key of the DLL's class after the registration-free $arch run ($view-bit view)" \
      eval '! reg query "HKCR\\CLSID\\$clsid" /reg:$view >/dev/null'
  done
done
win "$bundle/bin/x86/localserver.exe" /UnregServer
check "the reference server unregisters itself" test $? -eq 0
nothing_left "after the registration-free runs"

# register.cmd from one cmd, unregister.cmd from the other, then the other way
# round: each must find the same views whichever cmd runs it.
for round in "64 32" "32 64"; do
  set -- $round
  by=$1 un=$2
  cmd$by /c "$(winpath "$bundle/register.cmd")"
  check "register.cmd from the $by-bit cmd exits 0" test $? -eq 0

  # Each DLL in the view of its bitness: what a process of that bitness reads
  # as HKCR. A client must not be pointed at a DLL of the other bitness.
  registered 32 "InprocServer32 is bin\\x86's DLL ($by-bit cmd)" "HKCR\\CLSID\\$clsid\\InprocServer32" "$dll32_win"
  registered 64 "InprocServer32 is bin\\x64's DLL ($by-bit cmd)" "HKCR\\CLSID\\$clsid\\InprocServer32" "$dll64_win"
  for view in 32 64; do
    model=$(reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /reg:$view)
    check "ThreadingModel is Both in the $view-bit view ($by-bit cmd)" grep -qE 'ThreadingModel +REG_SZ +Both$' <<<"$model"
  done
  # The one reference server, 32-bit where 32-bit programs run.
  registered 32 "LocalServer32 is bin\\x86's localserver.exe ($by-bit cmd)" \
    'HKCR\CLSID\{4868C869-875D-48AE-A7FF-1E6FA1EBBF8D}\LocalServer32' "\"$server32_win\""
  for key in "${server_keys[@]}"; do
    check "registered in the 32-bit view: $key ($by-bit cmd)" eval 'reg query "$key" /reg:32 >/dev/null'
  done

  # The demos from the bundle, working through the registry alone.
  demo x86 "$by-bit cmd registered"
  demo x64 "$by-bit cmd registered"

  cmd$un /c "$(winpath "$bundle/unregister.cmd")"
  check "unregister.cmd from the $un-bit cmd exits 0" test $? -eq 0
  nothing_left "after unregister.cmd from the $un-bit cmd"

  # Running it again finds nothing to remove and still succeeds.
  cmd$un /c "$(winpath "$bundle/unregister.cmd")" >/dev/null
  check "unregister.cmd again from the $un-bit cmd exits 0" test $? -eq 0
done

# A 64-bit Windows that cannot run 32-bit programs, as the 64-bit cmd finds it
# when its 32-bit cmd does not start: the 64-bit DLL and the 64-bit build of the
# reference server only.
syswow64="$WINEPREFIX/drive_c/windows/syswow64"
mv "$syswow64/cmd.exe" "$syswow64/cmd.exe.hidden"
cmd64_only /c "$(winpath "$bundle/register.cmd")"
check "register.cmd without 32-bit programs exits 0" test $? -eq 0
registered 64 "InprocServer32 is bin\\x64's DLL (no 32-bit programs)" "HKCR\\CLSID\\$clsid\\InprocServer32" "$dll64_win"
check "no class of the 32-bit DLL without 32-bit programs" eval '! reg query "HKCR\\CLSID\\$clsid" /reg:32 >/dev/null'
registered 64 "LocalServer32 is bin\\x64's localserver.exe (no 32-bit programs)" \
  'HKCR\CLSID\{4868C869-875D-48AE-A7FF-1E6FA1EBBF8D}\LocalServer32' "\"$server64_win\""
demo x64 "no 32-bit programs"
cmd64_only /c "$(winpath "$bundle/unregister.cmd")"
check "unregister.cmd without 32-bit programs exits 0" test $? -eq 0
mv "$syswow64/cmd.exe.hidden" "$syswow64/cmd.exe"
nothing_left "after unregister.cmd without 32-bit programs"

stop_wine
[ $fail -eq 0 ] && rm -rf "$work"
[ $fail -eq 0 ] && echo "bundle registration: all checks passed"
exit $fail
