#!/usr/bin/env bash
# vela3ro-tool check on Linux through pcscd: the verdict on the emulated card,
# and the reason named when the module is missing, when pcscd cannot be
# reached, and when the module refuses the card.
# usage: tool_check.sh TOOL REFUSING_MODULE  (environment: VELA_PCSC_READER)
set -uo pipefail
tool=$1
refusing=$2
reader=${VELA_PCSC_READER:-Virtual PCD 00 00}
source "$(dirname "$0")/tool_checks.sh"

expect_json() {  # NAME JQ_FILTER
  jq -e --arg reader "$reader" "$2" "$out/$1.out" >/dev/null || { fail "$1: $2"; sed 's/^/  | /' "$out/$1.out"; }
}

run ok 0 --json --reader "$reader" check
expect_json ok '.verdict == "ok" and .machine.module.loads == true and (.settings.registryFile | length > 0)'
expect_json ok '.readers[0].name == $reader and (.readers[0].atr | test("^3B ")) and
  .readers[0].acquire.result == "SCARD_S_SUCCESS (0x00000000)" and (.readers[0].verdict | startswith("ok: "))'

run missing-module 1 --json --module /nonexistent/libvela3ro.so check
expect_json missing-module '(.problems | index("/nonexistent/libvela3ro.so is missing")) != null and
  (.verdict | startswith("not ok: "))'

# A socket name of pcsclite's where no pcscd listens.
PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm run no-pcscd 1 --json check
expect_json no-pcscd '.problems | map(select(startswith("cannot reach the PC/SC service") and
  endswith("(is pcscd running?)"))) | length == 1'

run refused 1 --json --module "$refusing" --reader "$reader" check
expect_json refused '.verdict == "not ok: no card of the module in any reader" and
  (.readers[0].verdict | startswith("another card")) and .problems == ["no card of the module in any reader"]'

run usage 2 check --bogus

[ "$failures" -eq 0 ] && echo "tool check: all checks passed"
exit $((failures > 0))
