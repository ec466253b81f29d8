# Sourced by the scripts: can this machine execute 32-bit x86 programs? The
# Windows binaries are 32-bit: even in the 64-bit prefix they run under Wine's
# 32-bit loader (WOW64) and need it. Ask only after
# bootstrap.sh, which installs the 32-bit loader (libc6:i386) that the probe
# runs. SERVERLINK_NO_IA32=1 makes a machine that can behave as one that cannot.
# On false, ia32_reason says why.
can_run_ia32() {
  ia32_reason=""
  if [ "${SERVERLINK_NO_IA32:-0}" = 1 ]; then
    ia32_reason="SERVERLINK_NO_IA32=1 is set: this machine is treated as one whose kernel cannot execute 32-bit x86 programs (its 32-bit support switched off)"
    return 1
  fi
  if [ ! -e /lib/ld-linux.so.2 ]; then
    ia32_reason="the 32-bit loader /lib/ld-linux.so.2 is missing (package libc6:i386, which scripts/bootstrap.sh installs)"
    return 1
  fi
  if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    ia32_reason="this machine cannot execute 32-bit x86 programs: the kernel's 32-bit support is switched off (/lib/ld-linux.so.2 does not start), so no 32-bit Wine can run here"
    return 1
  fi
  return 0
}
