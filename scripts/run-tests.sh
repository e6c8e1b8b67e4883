#!/usr/bin/env bash
# The test command: installs what is missing, builds every target and runs the
# unit (sanitizers), pcsc (pcscd + vpcd + emulated card), pkcs11, browser and
# wine tiers.
# The tiers on pcscd's one vpcd reader run under /tmp/vela-pcsc.lock, so that
# two runs on one machine (or a run and a benchmark) take turns. After each tier,
# no process it started may still run. Every test has a time bound: its own
# TIMEOUT, else ctest's default below; the programs run outside ctest have one
# here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/configure.sh

jobs=$(nproc)
status=0
# The bound of a ctest test that sets none of its own.
ctest_timeout=(--timeout 900)
pcsc_lock=/tmp/vela-pcsc.lock
# An interrupted run still stops what its tiers started (the EXIT traps).
trap 'exit 130' INT TERM HUP
trap end_tier EXIT

# Every process a tier starts carries the tier's mark in its environment,
# daemons that left their parent too; one still running after the tier is
# reported, stopped and fails the tier.
# A pcscd the tier restarted in place of one that ran before it stands in for
# that one and stays.
tier_mark=
pcscd_before=
begin_tier() {
  echo "== $1"
  tier_mark="vela-tier-$$-$RANDOM"
  pcscd_before=$(pidof pcscd || true)
  export VELA_TIER_MARK=$tier_mark
}
end_tier() {
  local pid left=()
  [ -n "$tier_mark" ] || return 0
  unset VELA_TIER_MARK
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$pid" != $$ ] || continue
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "VELA_TIER_MARK=$tier_mark" || continue
    if [ -n "$pcscd_before" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pcscd ]; then continue; fi
    left+=("$pid")
  done
  tier_mark=
  [ ${#left[@]} -gt 0 ] || return 0
  for pid in "${left[@]}"; do
    echo "left running by the tier: pid $pid $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline")" >&2
    kill -KILL "$pid" 2>/dev/null || true
  done
  status=1
}

begin_tier "unit tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
configure_preset asan
cmake --build --preset asan -j "$jobs"
ctest --test-dir build/asan -L unit "${ctest_timeout[@]}" --output-on-failure || status=1
end_tier

begin_tier "unit tests under ThreadSanitizer (every race check among them)"
configure_preset tsan
cmake --build --preset tsan -j "$jobs" --target unit_tests
# The whole binary, not a filter: a test that claims a race check cannot be
# left out by its name.
TSAN_OPTIONS=halt_on_error=1 timeout -k 30 1800 build/tsan/tests/unit_tests --gtest_brief=1 || status=1
end_tier

configure_preset linux
cmake --build --preset linux -j "$jobs"
# The lock is held for the pcscd tiers only, never for a build; its
# descriptor is one the daemons those tiers start do not keep.
# A caller that holds it already (flock LOCK scripts/run-tests.sh) is not
# waited for.
if find /proc/$$/fd -lname "$pcsc_lock" 2>/dev/null | grep -q .; then
  pcsc_lock_fd=
else
  exec {pcsc_lock_fd}>>"$pcsc_lock"
  echo "== waiting for $pcsc_lock (another run of the pcscd tiers)"
  flock "$pcsc_lock_fd"
fi
# ctest's fixtures start pcscd (when not running) and the card, and stop
# them; the trap stops them too when ctest itself is cut short.
trap 'scripts/emulated-card.sh stop build/linux/tests/pkcs11/card; scripts/emulated-card.sh stop build/linux/tests/pcsc/card; end_tier' EXIT

begin_tier "pcsc tests (the Linux module through pcscd and vpcd to the emulated card)"
ctest --test-dir build/linux -L pcsc --no-tests=error "${ctest_timeout[@]}" --output-on-failure || status=1
end_tier

begin_tier "pkcs11 tier (the PKCS#11 module with pkcs11-tool, p11tool, OpenSSL, OpenSSH, through pcscd)"
ctest --test-dir build/linux -L pkcs11 --no-tests=error "${ctest_timeout[@]}" --output-on-failure || status=1
end_tier

begin_tier "browser tier (Firefox ESR and Chromium sign in to a TLS site with the card, under Xvfb)"
timeout -k 60 2400 tests/browser/run_tier.sh build/linux || status=1
end_tier

[ -z "$pcsc_lock_fd" ] || exec {pcsc_lock_fd}>&-

begin_tier "wine tier (vela3ro.dll under Wine, on the emulated card)"
if configure_preset linux && cmake --build --preset linux -j "$jobs" --target vela-card &&
  configure_preset windows && cmake --build --preset windows -j "$jobs" &&
  configure_preset windows-x86 && cmake --build --preset windows-x86 -j "$jobs"; then
  timeout -k 60 3600 tests/wine/run_tier.sh build/windows build/linux/emulator/vela-card || status=1
else
  status=1
fi
end_tier

exit $status
