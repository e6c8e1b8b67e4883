#!/usr/bin/env bash
# The wine tier: starts what its cases need (a private Wine prefix in the
# build tree, Xvfb, two vela-card instances on loopback TCP, one of them a
# reader with a keypad), runs ctest -L wine in the windows build, and stops
# everything it started.
# usage: tests/wine/run_tier.sh WINDOWS_BUILD_DIR VELA_CARD_EXECUTABLE [CTEST_ARGS...]
# (for example -R wine.road to run one case)
set -euo pipefail
build=$(cd "$1" && pwd)
vela_card=$2
shift 2
[ -x "$vela_card" ] || { echo "vela-card not found at $vela_card (build the linux preset)"; exit 1; }
# What this starts keeps no descriptor of its caller's (a lock held on one).
own_descriptors=$(cd "$(dirname "$0")/../../scripts" && pwd)/own-descriptors.sh

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
# The test winscard.dll beside the host replaces Wine's stub; no Mono or Gecko.
export WINEDLLOVERRIDES="winscard=n;mscoree,mshtml="
export VELA_USER_PIN=246810 VELA_CARD_SERIAL=0a1b2c3d4e5f60718293
services=$build/tests/wine/services
mkdir -p "$services"

pids=()
# Wine first, while its X server is still there; then the cards and Xvfb.
stop_all() {
  local pid
  wineserver -k 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT
# A tier cut short stops what it started too.
trap 'exit 130' INT TERM HUP

display=99
while [ -e /tmp/.X11-unix/X$display ] || [ -e /tmp/.X$display-lock ]; do display=$((display + 1)); done
"$own_descriptors" Xvfb :$display -screen 0 1024x768x24 -nolisten tcp >"$services/xvfb.log" 2>&1 &
xvfb=$!
pids+=($xvfb)
export DISPLAY=:$display
# Wine and the notice need the server to answer, not just to have started.
for _ in $(seq 1 100); do
  xdpyinfo >/dev/null 2>&1 && break
  kill -0 $xvfb 2>/dev/null || break
  sleep 0.1
done
xdpyinfo >/dev/null 2>&1 || { echo "Xvfb on $DISPLAY does not answer:" >&2; cat "$services/xvfb.log" >&2; exit 1; }

# Starts vela-card NAME on a port of its choosing ("--tcp 0"; the ready line
# names it) and stores the port in VARIABLE. Runs in this shell so that
# stop_all knows the process. Its log and APDU trace stay in $services.
start_card() {
  local name=$1 variable=$2 log=$services/$1.log
  shift 2
  # The log is made (emptied) here and the card appends to it: the shell in
  # the background opens its redirection only once it runs, and the log of
  # this card's previous run is kept until then.
  : >"$log"
  "$own_descriptors" "$vela_card" --tcp 0 --no-vpcd --user-pin "$VELA_USER_PIN" --serial "$VELA_CARD_SERIAL" \
    --trace "$services/$name.trace" "$@" >>"$log" 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 1 200); do
    local port
    port=$(sed -n 's/^vela-card ready.* tcp=\([0-9]*\).*/\1/p' "$log")
    if [ -n "$port" ]; then
      printf -v "$variable" %s "$port"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "vela-card did not start:" >&2
  cat "$log" >&2
  return 1
}
start_card card VELA_CARD_PORT
start_card pinpad-reader VELA_PINPAD_PORT --pinpad --pinpad-delay-ms 2500
export VELA_CARD_PORT VELA_PINPAD_PORT

# The prefix is made once (about ten seconds) and kept between runs.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making the Wine prefix $WINEPREFIX"
  wineboot -i >"$services/wineboot.log" 2>&1
  wineserver -w
fi
# The module reads at most 80 bytes of a setting, and the build tree may lie
# deep (a clone in a folder named after a commit id): paths the cases hand
# the module through settings lie under drive L:, the cases' artifacts.
artifacts=$build/tests/wine/artifacts
mkdir -p "$artifacts"
ln -sfn "$artifacts" "$WINEPREFIX/dosdevices/l:"
# One wineserver for all cases, instead of one per wine start.
"$own_descriptors" wineserver -p

# The cases that wait on Wine have a TIMEOUT of their own; the rest this one.
ctest --test-dir "$build" -L wine --timeout 900 --output-on-failure "$@"
