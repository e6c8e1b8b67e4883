#!/usr/bin/env bash
# The browser tier: Firefox ESR and Chromium sign in to a TLS site on
# loopback with the emulated card (see browser_tier.py). Uses pcscd's vpcd
# reader: run it under the pcscd tiers' lock, e.g.
#   flock /tmp/vela-pcsc.lock tests/browser/run_tier.sh build/linux
# Logs and screenshots: LINUX_BUILD_DIR/tests/browser.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 LINUX_BUILD_DIR [firefox|chromium]..." >&2; exit 2; }
exec python3 "$(dirname "$0")/browser_tier.py" "$@"
