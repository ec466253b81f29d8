#!/usr/bin/env bash
# The project's one installer: installs whichever of the Debian packages named
# on its command line are missing, and does nothing (no apt call) when none is.
#   bash scripts/install.sh pkg ...
# Made to survive a package mirror caught in mid-sync:
#  - a failed `apt-get update` is a warning: apt keeps the lists it could read;
#  - an install that fails is retried once pinned to the base release
#    (`-t <codename>` from /etc/os-release). A security index of one
#    architecture that is newer than the other's leaves multiarch libraries
#    (libssl3, zlib1g, ...) with no version both can share; the base release
#    always has one;
#  - when the retry fails too, it names the packages it could not install,
#    shows apt's reason and the command to try by hand, and exits 1.
# SERVERLINK_OS_RELEASE names another os-release file (the installer's test).
set -uo pipefail

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "$@"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
log=$(mktemp)
trap 'rm -f "$log"' EXIT

say() { echo "install: $*" >&2; }
# apt's own words, indented; the first lines are the ones that say why.
show_log() { grep -v '^$' "$log" | head -n 25 | sed 's/^/    /' >&2; }

say "installing ${missing[*]}"
for p in "${missing[@]}"; do
  case "$p" in
    *:i386)
      dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
      break ;;
  esac
done

# Another apt at work (a fresh machine's automatic updates) is waited for.
apt=(apt-get -o DPkg::Lock::Timeout=300)
if ! $SUDO "${apt[@]}" update -qq >"$log" 2>&1; then
  say "warning: apt-get update failed (a mirror in mid-sync?); going on with the package lists apt kept:"
  show_log
fi

apt_install() {
  $SUDO "${apt[@]}" install -y -qq --no-install-recommends "$@" "${missing[@]}" >"$log" 2>&1
}
apt_install && exit 0

codename=$(. "${SERVERLINK_OS_RELEASE:-/etc/os-release}" 2>/dev/null && echo "${VERSION_CODENAME:-}")
if [ -n "$codename" ]; then
  say "apt-get install failed:"
  show_log
  say "retrying pinned to the base release: apt-get install -t $codename ..."
  apt_install -t "$codename" && exit 0
fi

still=()
for p in "${missing[@]}"; do installed "$p" || still+=("$p"); done
say "FAILED: could not install ${still[*]:-${missing[*]}}"
say "apt-get said:"
show_log
pin=""; [ -n "$codename" ] && pin="-t $codename "
say "try by hand: ${SUDO:+$SUDO }apt-get update; ${SUDO:+$SUDO }apt-get install ${pin}--no-install-recommends ${still[*]:-${missing[*]}}"
say "(a mirror in mid-sync usually settles within the hour: run the same command again later)"
exit 1
