#!/usr/bin/env bash
# One case of the wine tier, run by ctest inside tests/wine/run_tier.sh, which
# provides the prefix, the X server and vela-card (VELA_CARD_PORT, and
# VELA_PINPAD_PORT for the reader with a keypad). What the host cannot check
# itself (signatures, certificates, derived keys) is checked here with OpenSSL.
set -euo pipefail
case_name=$1
: "${VELA_CARD_PORT:?run the wine tier through tests/wine/run_tier.sh}"
: "${WINEPREFIX:?}" "${VELA_HOST_EXE:?}" "${VELA_DLL:?}" "${VELA_ARTIFACTS:?}" "${VELA_USER_PIN:?}" "${VELA_CARD_SERIAL:?}"

out=$VELA_ARTIFACTS/$case_name
rm -rf "$out"
mkdir -p "$out"
settings_key='HKLM\SOFTWARE\Norvantis\CardMiniDriverRO'
calais_key='HKLM\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards\VELA G3 ReadOnly'

# Wine maps the Unix root to drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
hex() { od -An -v -tx1 | tr -d ' \n'; }
fail() { echo "FAIL $*"; exit 1; }

dll=$(windows_path "$VELA_DLL")

# Runs the host; its output is kept in $out/NAME.log and shown.
host() {
  local log=$out/$1.log
  shift
  local status=0
  wine "$VELA_HOST_EXE" "$@" >"$log" 2>&1 || status=$?
  cat "$log"
  return $status
}

value_of() { sed -n "s/^$1: //p" "$2" | tr -d '\r'; }

reg_clear() { wine reg delete "$settings_key" /f >/dev/null 2>&1 || true; }

case $case_name in
resources)
  host resources resources "$dll" "$VELA_VERSION"
  ;;

road)
  printf 'The card signs this message for the wine tier.\n' >"$out/message.txt"
  hash=$(openssl dgst -sha256 -binary "$out/message.txt" | hex)
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/peer.pem" 2>/dev/null
  # The last 64 bytes of a P-256 SubjectPublicKeyInfo are X and Y.
  peer=$(openssl pkey -in "$out/peer.pem" -pubout -outform DER | tail -c 64 | hex)
  pin=$(printf %s "$VELA_USER_PIN" | hex)
  host road road "$dll" "$(windows_path "$out")" "$pin" "$hash" "$peer"

  [ "$(value_of serial "$out/road.log")" = "$VELA_CARD_SERIAL" ] || fail "cardid does not hold the card's serial"
  [ "$(value_of container0-name "$out/road.log")" = "$(tr a-f A-F <<<"$VELA_CARD_SERIAL")-DF02-C000" ] \
    || fail "container 0 is not named after the serial and its certificate file"
  for key in ksc00 kxc04; do
    openssl x509 -inform DER -in "$out/$key.der" -noout -pubkey >"$out/$key.pub.pem"
  done
  # The container's public key is the certificate's.
  for pair in "ksc00 0" "kxc04 4"; do
    set -- $pair
    [ "$(openssl pkey -pubin -in "$out/$1.pub.pem" -outform DER | tail -c 64 | hex)" = \
      "$(hex <"$out/container-info-$2.bin")" ] || fail "container $2 key differs from $1's certificate"
  done
  for signature in signature signature-padded; do
    openssl dgst -sha256 -verify "$out/ksc00.pub.pem" -signature "$out/$signature.der" "$out/message.txt" \
      || fail "$signature does not verify against ksc00"
  done

  openssl pkeyutl -derive -inkey "$out/peer.pem" -peerkey "$out/kxc04.pub.pem" -out "$out/shared.bin"
  { printf vela-prepend; cat "$out/shared.bin"; printf vela-append; } | openssl dgst -sha256 -binary \
    >"$out/expected-hash.bin"
  cmp "$out/derive-hash.bin" "$out/expected-hash.bin" || fail "HASH derivation differs from OpenSSL's"
  { printf vela-prepend; cat "$out/shared.bin"; printf vela-append; } |
    openssl dgst -sha512 -mac HMAC -macopt hexkey:"$(hex <"$out/shared.bin")" -binary >"$out/expected-hmac-sha512.bin"
  cmp "$out/derive-hmac-sha512.bin" "$out/expected-hmac-sha512.bin" || fail "HMAC derivation differs from OpenSSL's"
  seed=$(for i in $(seq 0 63); do printf '%02x' $(((i * 7 + 1) & 255)); done)
  openssl kdf -keylen 48 -kdfopt digest:MD5-SHA1 -kdfopt hexsecret:"$(hex <"$out/shared.bin")" \
    -kdfopt hexseed:"$(printf 'key expansion' | hex)$seed" -binary -out "$out/expected-tls-prf.bin" TLS1-PRF
  cmp "$out/derive-tls-prf.bin" "$out/expected-tls-prf.bin" || fail "TLS_PRF derivation differs from OpenSSL's"
  echo "ok openssl-verified"
  ;;

settings)
  # Registry state, then the cache mode and user PIN cache policy the module reports.
  check_settings() {
    local name=$1 want_mode=$2 want_policy=$3
    host "settings-$name" properties "$dll"
    local log=$out/settings-$name.log
    [ "$(value_of cache-mode "$log")" = "$want_mode" ] || fail "$name: cache mode is not $want_mode"
    [ "$(value_of user-pin-cache-policy "$log")" = "$want_policy" ] || fail "$name: PIN policy is not $want_policy"
    echo "ok settings $name"
  }
  trap reg_clear EXIT
  reg_clear
  check_settings no-key 3 0
  wine reg add "$settings_key" /v CacheMode /t REG_SZ /d 1 /f >/dev/null
  wine reg add "$settings_key" /v UserPCP /t REG_SZ /d 2 /f >/dev/null
  check_settings cache-mode-1-policy-2 1 2
  wine reg add "$settings_key" /v UserPCP /t REG_SZ /d 4 /f >/dev/null
  check_settings policy-out-of-range 1 0
  reg_clear
  wine reg add "$settings_key" /v UserPCP /t REG_SZ /d 2 /f >/dev/null
  check_settings policy-without-cache-mode 3 0
  reg_clear
  wine reg add "$settings_key" /v CacheMode /t REG_DWORD /d 1 /f >/dev/null
  check_settings cache-mode-as-number 3 0
  ;;

install)
  calais_clear() { wine reg delete "$calais_key" /f >/dev/null 2>&1 || true; reg_clear; }
  trap calais_clear EXIT
  wine regedit /S "$(windows_path "$VELA_SOURCE_DIR/install/vela3ro.reg")"
  wine reg query "$calais_key" | tr -d '\r' >"$out/calais.txt"
  cat "$out/calais.txt"
  for line in "80000001 REG_SZ vela3ro.dll" \
    "Crypto Provider REG_SZ Microsoft Base Smart Card Crypto Provider" \
    "Smart Card Key Storage Provider REG_SZ Microsoft Smart Card Key Storage Provider"; do
    tr -s ' ' <"$out/calais.txt" | grep -qF " $line" || fail "missing: $line"
  done
  registered_atr=$(sed -n 's/^ *ATR  *REG_BINARY  *//p' "$out/calais.txt")
  mask=$(sed -n 's/^ *ATRMask  *REG_BINARY  *//p' "$out/calais.txt")

  # The defaults of the file are the module's own; the card is the one registered.
  host install properties "$dll"
  [ "$(value_of cache-mode "$out/install.log")" = 3 ] || fail "cache mode with the installed defaults"
  [ "$(value_of user-pin-cache-policy "$out/install.log")" = 0 ] || fail "PIN policy with the installed defaults"
  card_atr=$(value_of atr "$out/install.log")
  [ ${#card_atr} -eq ${#registered_atr} ] || fail "the card's ATR $card_atr has another length than $registered_atr"
  for ((i = 0; i < ${#mask}; i += 2)); do
    m=$((16#${mask:i:2}))
    [ $((16#${card_atr:i:2} & m)) -eq $((16#${registered_atr:i:2} & m)) ] \
      || fail "the card's ATR $card_atr does not match $registered_atr under $mask"
  done
  echo "ok atr-matches-registration"

  wine regedit /S "$(windows_path "$VELA_SOURCE_DIR/install/vela3ro-remove.reg")"
  ! wine reg query "$calais_key" >/dev/null 2>&1 || fail "the card registration is still there"
  ! wine reg query "$settings_key" >/dev/null 2>&1 || fail "the settings key is still there"
  echo "ok removed"
  ;;

pinpad)
  : "${VELA_PINPAD_PORT:?}" "${DISPLAY:?}"
  trap reg_clear EXIT
  reg_clear
  wine reg add "$settings_key" /v usePinPad /t REG_SZ /d TRUE /f >/dev/null
  VELA_CARD_PORT=$VELA_PINPAD_PORT wine "$VELA_HOST_EXE" pinpad "$dll" >"$out/pinpad.log" 2>&1 &
  host_pid=$!
  # While the reader waits, the X server shows the notice by its caption.
  window=
  for _ in $(seq 1 200); do
    window=$(xdotool search --name '^VELA BaseCSP ReadOnly Minitreiber$' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    kill -0 $host_pid 2>/dev/null || break
    sleep 0.05
  done
  if [ -n "$window" ]; then
    sleep 0.3  # let the text be drawn
    import -window root "$out/notice.png" || fail "no screenshot of the notice"
    echo "notice window $window: $(xdotool getwindowname "$window" 2>/dev/null || true)"
  fi
  status=0
  wait $host_pid || status=$?
  cat "$out/pinpad.log"
  [ -n "$window" ] || fail "no window with the notice's caption on the X server"
  [ $status -eq 0 ] || fail "host reported $status failures"
  echo "ok notice-on-x-server (screenshot $out/notice.png)"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
