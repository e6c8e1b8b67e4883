#!/usr/bin/env bash
# The test command: installs what is missing, builds every target and runs the
# unit (sanitizers), pcsc (pcscd + vpcd + emulated card), pkcs11 and wine tiers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
status=0

echo "== unit tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake --preset asan -G Ninja >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --test-dir build/asan -L unit --output-on-failure || status=1

echo "== unit tests under ThreadSanitizer (every race check among them)"
cmake --preset tsan -G Ninja >/dev/null
cmake --build --preset tsan -j "$jobs" --target unit_tests
# The whole binary, not a filter: a test that claims a race check cannot be
# left out by its name.
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/unit_tests --gtest_brief=1 || status=1

echo "== pcsc tests (the Linux module through pcscd and vpcd to the emulated card)"
cmake --preset linux -G Ninja >/dev/null
cmake --build --preset linux -j "$jobs"
# ctest's fixture starts pcscd (when not running) and the card, and stops them;
# the trap stops them too when ctest itself is cut short.
trap 'scripts/emulated-card.sh stop build/linux/tests/pcsc/card' EXIT
ctest --test-dir build/linux -L pcsc --no-tests=error --output-on-failure || status=1

echo "== pkcs11 tier (the PKCS#11 module with pkcs11-tool, p11tool, OpenSSL, OpenSSH, through pcscd)"
trap 'scripts/emulated-card.sh stop build/linux/tests/pkcs11/card; scripts/emulated-card.sh stop build/linux/tests/pcsc/card' EXIT
ctest --test-dir build/linux -L pkcs11 --no-tests=error --output-on-failure || status=1

echo "== browser tier (Firefox ESR and Chromium sign in to a TLS site with the card, through pcscd)"
# Its script stops what it started on every outcome; logs and screenshots
# stay in build/linux/tests/browser.
tests/browser/run_tier.sh build/linux || status=1

echo "== wine tier (vela3ro.dll under Wine, on the emulated card)"
if cmake --preset linux -G Ninja >/dev/null && cmake --build --preset linux -j "$jobs" --target vela-card &&
  cmake --preset windows -G Ninja >/dev/null && cmake --build --preset windows -j "$jobs" &&
  cmake --preset windows-x86 -G Ninja >/dev/null && cmake --build --preset windows-x86 -j "$jobs"; then
  tests/wine/run_tier.sh build/windows build/linux/emulator/vela-card || status=1
else
  status=1
fi

exit $status
