#!/usr/bin/env bash
# vela3ro-tool scinfo's properties, settings and PIN-pad sections on the
# emulated card through pcscd (vpcd readers have no PIN pad).
# usage: tool_properties.sh TOOL
set -uo pipefail
tool=$1
source "$(dirname "$0")/tool_checks.sh"

run json 0 --json scinfo
jq -e '
    .properties.readOnly == true
    and .properties.capabilities == {certificateCompression: true, keyGeneration: false}
    and .properties.keySizes.AT_ECDSA_P256 == "256 to 256 bits, default 256, step 1"
    and .properties.keySizes.AT_ECDHE_P256 == .properties.keySizes.AT_ECDSA_P256
    and .properties.keySizes.AT_SIGNATURE == "SCARD_E_UNSUPPORTED_FEATURE"
    and .properties.freeSpace.bytesAvailable == 0
    and .properties.freeSpace.containersAvailable == .properties.freeSpace.maxContainers
    and .properties.pinList == [1, 2]
    and .properties.pins[0].purpose == "primary card PIN" and .properties.pins[0].unblockedWith == [2]
    and .properties.pins[1].purpose == "unblock only" and .properties.pins[1].cachePolicy == "none"
    and .settings.effective.cacheMode == .properties.cacheMode
    and (.settings.effective.pinPad == "off" or .settings.effective.pinPad == "in use")
    and .pinPad.readerVerifiesPins == false' \
  "$out/json.out" >/dev/null || fail "json: unexpected report: $(cat "$out/json.out")"

# The text report names the sections.
run text 0 scinfo
for heading in "properties:" "key sizes:" "settings:" "effective:" "pin pad:"; do
  grep -qF -- "$heading" "$out/text.out" || fail "text: no \"$heading\""
done

[ "$failures" -eq 0 ] && echo "tool properties: all checks passed"
exit $((failures > 0))
