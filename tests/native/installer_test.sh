#!/usr/bin/env bash
# The installer's decisions, with apt-get, dpkg-query, dpkg and sudo stubbed on
# PATH: no network, no root, nothing installed. The stubs keep the "installed"
# packages in a file and log every apt-get call.
#   installer_test.sh <scripts/install.sh>
set -uo pipefail
installer=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir -p "$work/bin"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
# dpkg-query -W -f='${Status}' <pkg>
pkg=${!#}
grep -qxF "$pkg" "$STUB/installed" && printf 'install ok installed' && exit 0
echo "dpkg-query: no packages found matching $pkg" >&2; exit 1
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && { echo i386; exit 0; }
echo "dpkg $*" >>"$STUB/calls"
EOF
cat >"$work/bin/sudo" <<'EOF'
#!/usr/bin/env bash
exec "$@"
EOF
# STUB_UPDATE=fail, STUB_INSTALL=ok | fail-unpinned | fail
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
case " $* " in
  *" update "*)
    [ "$STUB_UPDATE" = fail ] || exit 0
    echo "E: Failed to fetch http://mirror/binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
    exit 100 ;;
  *" install "*)
    pinned=0; case " $* " in *" -t stubcodename "*) pinned=1 ;; esac
    if [ "$STUB_INSTALL" = fail ] || { [ "$STUB_INSTALL" = fail-unpinned ] && [ $pinned = 0 ]; }; then
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    fi
    for a in "$@"; do case "$a" in -*|*=*|install|stubcodename) ;; *) echo "$a" >>"$STUB/installed" ;; esac; done
    exit 0 ;;
esac
exit 1
EOF
chmod +x "$work/bin"/*
echo 'VERSION_CODENAME=stubcodename' >"$work/os-release"

# run <update> <install> <installed...> -- <wanted...>: runs the installer,
# leaving its exit code in $rc, its output in $out and the apt calls in $calls.
run() {
  local update=$1 install=$2; shift 2
  export STUB="$work/case"
  rm -rf "$STUB"; mkdir -p "$STUB"; : >"$STUB/installed"; : >"$STUB/calls"
  while [ "$1" != -- ]; do echo "$1" >>"$STUB/installed"; shift; done; shift
  out=$(PATH="$work/bin:$PATH" STUB_UPDATE=$update STUB_INSTALL=$install \
        SERVERLINK_OS_RELEASE="$work/os-release" bash "$installer" "$@" 2>&1)
  rc=$?
  calls=$(cat "$STUB/calls")
}
check() {  # check <description> <condition...>
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
has() { grep -qF -- "$2" <<<"$1"; }
lacks() { ! has "$@"; }
count() { grep -cF -- "$2" <<<"$1"; }
installed_now() { grep -qxF "$1" "$STUB/installed"; }

echo "== nothing is missing: no apt call at all"
run ok ok cmake wine32:i386 -- cmake wine32:i386
check "exit 0" [ $rc = 0 ]
check "no apt-get or dpkg call" [ -z "$calls" ]
check "silent" [ -z "$out" ]

echo "== the update fails, the install works"
run fail ok cmake -- cmake wine32:i386 clang
check "exit 0" [ $rc = 0 ]
check "warns of the failed update" has "$out" "warning: apt-get update failed"
check "shows apt's reason for it" has "$out" "Mirror sync in progress?"
check "installs only the missing ones, unpinned" has "$calls" "install -y -qq --no-install-recommends wine32:i386 clang"
check "one install, no retry" [ "$(count "$calls" " install ")" = 1 ]
check "both installed" eval 'installed_now wine32:i386 && installed_now clang'

echo "== the install fails, the pinned retry works"
run fail fail-unpinned -- wine32:i386 clang
check "exit 0" [ $rc = 0 ]
check "retries pinned to the codename of os-release" has "$calls" "install -y -qq --no-install-recommends -t stubcodename wine32:i386 clang"
check "says it retries" has "$out" "retrying pinned to the base release"
check "two installs" [ "$(count "$calls" " install ")" = 2 ]
check "both installed" eval 'installed_now wine32:i386 && installed_now clang'

echo "== both installs fail"
run ok fail cmake -- cmake wine32:i386 clang
check "exits non-zero" [ $rc != 0 ]
check "names what it could not install" has "$out" "FAILED: could not install wine32:i386 clang"
check "does not name what was there" lacks "$(grep FAILED <<<"$out")" "cmake"
check "gives apt's reason" has "$out" "held broken packages"
check "gives the command to try by hand" eval 'has "$out" "try by hand:" && has "$out" "apt-get install -t stubcodename --no-install-recommends wine32:i386 clang"'
check "no third attempt" [ "$(count "$calls" " install ")" = 2 ]

echo
if [ $failures -gt 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "all checks passed"
