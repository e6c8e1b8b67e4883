#!/usr/bin/env bash
# vela3ro-tool scinfo on the emulated card through pcscd, and its refusals.
# usage: tool_scinfo.sh TOOL REFUSING_MODULE  (environment: VELA_PCSC_READER, VELA_CARD_SERIAL)
set -uo pipefail
tool=$1
refusing=$2
reader=${VELA_PCSC_READER:-Virtual PCD 00 00}
source "$(dirname "$0")/tool_checks.sh"

expect_in() {  # expect_in NAME STREAM TEXT
  grep -qF -- "$3" "$out/$1.$2" || { fail "$1: no \"$3\" in its $2"; sed 's/^/  | /' "$out/$1.$2"; }
}

# The text report.
run text 0 scinfo
expect_in text out "reader: $reader"
expect_in text out "atr: 3B "
expect_in text out "CardAcquireContext: SCARD_S_SUCCESS (0x00000000)"

# The same as JSON, with the card's serial read through cardid.
run json 0 --json scinfo
jq -e --arg reader "$reader" '
    .reader == $reader
    and (.atr | test("^3B( [0-9A-F]{2})+$"))
    and .interfaceVersion == 7
    and .moduleAnswers.CardAcquireContext == "SCARD_S_SUCCESS (0x00000000)"
    and .moduleAnswers["CardReadFile cardid"] == "SCARD_S_SUCCESS (0x00000000)"
    and (.readers | map(select(.name == $reader and .outcome == "acquired")) | length == 1)' \
  "$out/json.out" >/dev/null || fail "json: unexpected report: $(cat "$out/json.out")"
jq -e --arg serial "${VELA_CARD_SERIAL:-}" '.serialNumber == $serial' "$out/json.out" >/dev/null ||
  fail "json: serial $(jq -r .serialNumber "$out/json.out"), the card's is $VELA_CARD_SERIAL"
expect_in text out "serial number: $VELA_CARD_SERIAL"

# A card the module refuses: the result by name and a non-zero status.
run refused 1 --module "$refusing" --reader "$reader" scinfo
expect_in refused err "the module refuses the card: SCARD_E_UNKNOWN_CARD (0x8010000D)"
expect_in refused out "outcome: refused: SCARD_E_UNKNOWN_CARD"

# A reader without a card, and a reader that does not exist.
empty=$(opensc-tool -l 2>/dev/null | sed -nE 's/^[0-9]+ +No +(.*Virtual PCD.*)$/\1/p' | head -n1 | sed 's/ *$//')
if [ -n "$empty" ]; then
  run empty 1 --reader "$empty" scinfo
  expect_in empty err "no card in $empty"
fi
run unknown 1 --json --reader "no such reader" scinfo
jq -e '.error == "no reader named \"no such reader\""' "$out/unknown.out" >/dev/null ||
  fail "unknown: $(cat "$out/unknown.out")"

# An unknown option is a usage error.
run usage 2 scinfo --bogus

[ "$failures" -eq 0 ] && echo "tool scinfo: all checks passed"
exit $((failures > 0))
