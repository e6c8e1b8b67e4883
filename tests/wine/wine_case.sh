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
# A path handed to the module through a setting, of which it reads 80 bytes
# at most: one below the artifacts, on the drive run_tier.sh maps to them
# (L:), whatever the depth of the build tree.
setting_path() {
  local relative=${1#"$VELA_ARTIFACTS"/} path
  [ "$relative" != "$1" ] || fail "setting_path: $1 is not below $VELA_ARTIFACTS"
  path="L:\\${relative//\//\\}"
  [ ${#path} -le 80 ] || fail "setting_path: $path is longer than the 80 bytes the module reads"
  printf %s "$path"
}
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

# The typical road of a provider on the module at DLL (a path, or "registered":
# the module the registry names for the card), then what OpenSSL checks of it:
# the certificates' keys, the signatures and the derived keys.
run_road() {
  local module=$1
  printf 'The card signs this message for the wine tier.\n' >"$out/message.txt"
  local hash peer pin
  hash=$(openssl dgst -sha256 -binary "$out/message.txt" | hex)
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/peer.pem" 2>/dev/null
  # The last 64 bytes of a P-256 SubjectPublicKeyInfo are X and Y.
  peer=$(openssl pkey -in "$out/peer.pem" -pubout -outform DER | tail -c 64 | hex)
  pin=$(printf %s "$VELA_USER_PIN" | hex)
  host road road "$module" "$(windows_path "$out")" "$pin" "$hash" "$peer"

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
  local seed
  seed=$(for i in $(seq 0 63); do printf '%02x' $(((i * 7 + 1) & 255)); done)
  openssl kdf -keylen 48 -kdfopt digest:MD5-SHA1 -kdfopt hexsecret:"$(hex <"$out/shared.bin")" \
    -kdfopt hexseed:"$(printf 'key expansion' | hex)$seed" -binary -out "$out/expected-tls-prf.bin" TLS1-PRF
  cmp "$out/derive-tls-prf.bin" "$out/expected-tls-prf.bin" || fail "TLS_PRF derivation differs from OpenSSL's"
  echo "ok openssl-verified"
}

reg_clear() { wine reg delete "$settings_key" /f >/dev/null 2>&1 || true; }

# Fails when the secret (hex), or any eight of its bytes in a row, is in the
# log file as bytes or as hexadecimal in either case.
check_secret_absent() {
  local name=$1 secret=$2 log=$3 log_hex part i
  log_hex=$(hex <"$log")
  for ((i = 0; i == 0 || i + 16 <= ${#secret}; i += 2)); do
    part=${secret:i:16}
    ! grep -qiF "$part" "$log" || fail "$name is in the log as hexadecimal"
    [[ $log_hex != *"$part"* ]] || fail "$name is in the log as bytes"
  done
  echo "ok log-without-$name"
}

# The log's lines with the entries called (name and tag), after checking
# that every line has the documented layout.
log_entries() {
  local log=$1
  if tr -d '\r' <"$log" | grep -v '^$' |
    grep -Evq '^[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]+/[0-9]+ \[(ERR|DBG|INF)\] [A-Za-z0-9_.]+:[0-9]{4,} .+$'; then
    fail "a line of $log is not in the log's layout"
  fi
  tr -d '\r' <"$log" | sed -n 's/^.* \[\(INF\|ERR\)\] entry_log\.cpp:[0-9]* \([A-Za-z]*\)(.*$/\2 \1/p'
}

case $case_name in
resources)
  host resources resources "$dll" "$VELA_VERSION"
  ;;

resources-x86)
  # A 64-bit process reads a 32-bit DLL's resources as data.
  : "${VELA_DLL_X86:?}"
  [ -f "$VELA_DLL_X86" ] || fail "no x86 DLL at $VELA_DLL_X86 (build the windows-x86 preset)"
  host resources-x86 resources "$(windows_path "$VELA_DLL_X86")" "$VELA_VERSION"
  ;;

road)
  run_road "$dll"
  ;;

log)
  # An administrator's log over the same road: LogLevel 9 and LogAPDU on,
  # in a directory the module creates. One line per entry called, and no
  # PIN, agreed secret or derived key in it in any form.
  trap reg_clear EXIT
  reg_clear
  logdir=$out/logs
  wine reg add "$settings_key" /v LogLevel /t REG_SZ /d 9 /f >/dev/null
  wine reg add "$settings_key" /v LogAPDU /t REG_SZ /d TRUE /f >/dev/null
  logpath=$(setting_path "$logdir")
  wine reg add "$settings_key" /v LogPath /t REG_SZ /d "$logpath" /f >/dev/null
  run_road "$dll"
  logs=("$logdir"/vela3ro-*.txt)
  [ ${#logs[@]} -eq 1 ] && [ -f "${logs[0]}" ] || fail "not one log file in $logdir"
  log=${logs[0]}
  entries=$(log_entries "$log")
  echo "$entries" | sort | uniq -c
  # The road's calls: acquire, five file reads, a listing, two container
  # infos, four signatures (refused before the PIN and after deauthentication),
  # the PIN, an agreement, three derivations, its end, deauthentication, delete.
  expected="CardAcquireContext INF
CardReadFile INF
CardReadFile INF
CardReadFile INF
CardEnumFiles INF
CardReadFile INF
CardReadFile INF
CardGetContainerInfo INF
CardGetContainerInfo INF
CardSignData ERR
CardAuthenticateEx INF
CardSignData INF
CardSignData INF
CardConstructDHAgreement INF
CardDeriveKey INF
CardDeriveKey INF
CardDeriveKey INF
CardDestroyDHAgreement INF
CardDeauthenticate INF
CardSignData ERR
CardDeleteContext INF"
  [ "$entries" = "$expected" ] || fail "the entries' lines are not one per call of the road"
  echo "ok log-one-line-per-entry"
  grep -q ' APDU > 0020000306 \[6 bytes not logged\]' "$log" || fail "no VERIFY in the trace"
  grep -q ' APDU < \[32 bytes not logged\] 9000' "$log" || fail "no agreement in the trace"
  check_secret_absent pin "$(printf %s "$VELA_USER_PIN" | hex)" "$log"
  check_secret_absent agreed-secret "$(hex <"$out/shared.bin")" "$log"
  check_secret_absent derived-hash "$(hex <"$out/derive-hash.bin")" "$log"
  check_secret_absent derived-hmac-sha512 "$(hex <"$out/derive-hmac-sha512.bin")" "$log"
  check_secret_absent derived-tls-prf "$(hex <"$out/derive-tls-prf.bin")" "$log"
  # The file the module made is its process's alone: Wine keeps the
  # descriptor's DACL as the Unix mode (nothing for others) and reads back no
  # entry for everyone or the users. (Wine keeps no owner of its own, so the
  # refusal of another user's file shows on Windows only.)
  # The folder the module made for the log has the file's descriptor, not
  # its parent's.
  for made in "$log" "$logdir"; do
    mode=$(stat -c %a "$made")
    [ "${mode: -1}" = 0 ] || fail "$made is open to other users (mode $mode)"
    host log-security file-security "$(windows_path "$made")"
    ! grep -E '^ace: S-1-1-0 |^ace: S-1-5-32-545 |^ace: S-1-5-11 ' "$out/log-security.log" ||
      fail "the DACL of $made lets other users in"
  done
  echo "ok log-file-and-folder-for-its-process-only"
  ;;

log-planted)
  # What another user may plant at the log's name before the module writes:
  # the host names its log file, waits while the thing is planted, then
  # reads the card with the log on. The thing is left as it was, nothing it
  # points to is written, and the host's calls succeed.
  # A file of another user: Wine reads the owner of a file of another Unix
  # user as S-1-5-7 (it keeps no owner set through the API), so the file is
  # chowned, which needs root, as in CI.
  # Wine 8 cannot show the other cases: it follows a Unix symbolic link at
  # the name as if it were the file (no reparse point to see;
  # VELA_LOG_PLANTS="symlink dangling" shows it), and makes no Windows
  # symbolic links or junctions (mklink /J fails). A folder on the path that
  # is a Unix link it does show, by the folder's final path (below).
  trap reg_clear EXIT
  reg_clear
  logdir=$out/logs
  mkdir -p "$logdir"
  wine reg add "$settings_key" /v LogLevel /t REG_SZ /d 3 /f >/dev/null
  logpath=$(setting_path "$logdir")
  wine reg add "$settings_key" /v LogPath /t REG_SZ /d "$logpath" /f >/dev/null
  for plant in ${VELA_LOG_PLANTS:-hardlink fifo other-owner}; do
    rm -f "$logdir"/* "$out/absent"
    printf 'precious\n' >"$out/victim"
    rm -f "$out/$plant.in"
    mkfifo "$out/$plant.in"
    # Made here: the host's shell opens it only after the pipe below, while
    # this one may already look for the log's name in it.
    : >"$out/$plant.log"
    wine "$VELA_HOST_EXE" logged "$dll" <"$out/$plant.in" >>"$out/$plant.log" 2>&1 &
    host_pid=$!
    exec {feed}>"$out/$plant.in"
    name=
    for _ in $(seq 1 400); do
      name=$(value_of log-file "$out/$plant.log")
      [ -n "$name" ] && break
      sleep 0.05
    done
    [ -n "$name" ] || fail "$plant: the host named no log file"
    target=$logdir/$name
    case $plant in
    symlink) ln -s "$out/victim" "$target" ;;
    dangling) ln -s "$out/absent" "$target" ;;
    hardlink) ln "$out/victim" "$target" ;;
    fifo) mkfifo "$target" ;;
    other-owner)
      printf 'theirs\n' >"$target"
      chown 65534:65534 "$target" || fail "other-owner: cannot give the file to another user (needs root)"
      wine "$VELA_HOST_EXE" file-security "$(windows_path "$target")" | tr -d '\r' | grep -qx 'owner: S-1-5-7' ||
        fail "other-owner: Wine does not show the file as another user's"
      ;;
    esac
    before=$(stat -c '%F %h %s' "$target")
    echo go >&"$feed"
    exec {feed}>&-
    status=0
    for _ in $(seq 1 600); do kill -0 $host_pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $host_pid 2>/dev/null; then
      kill $host_pid 2>/dev/null || true
      fail "$plant: the host hangs on the log's name"
    fi
    wait $host_pid || status=$?
    cat "$out/$plant.log"
    [ $status -eq 0 ] || fail "$plant: the host's calls failed ($status)"
    [ "$(cat "$out/victim")" = precious ] || fail "$plant: the file behind the log's name was written"
    [ ! -e "$out/absent" ] || fail "$plant: a file was made through the link"
    [ "$(stat -c '%F %h %s' "$target")" = "$before" ] || fail "$plant: the planted $before changed"
    echo "ok log-planted-$plant"
  done

  # A folder on LogPath that leads elsewhere (a Unix link, which Wine
  # follows as Windows follows a junction): nothing is written or made
  # behind it, at the last level or above, and the host's calls succeed.
  mkdir -p "$out/real/sub"
  ln -sfn "$out/real" "$out/link"
  for configured in link link/sub link/new; do
    wine reg add "$settings_key" /v LogPath /t REG_SZ /d "$(setting_path "$out/$configured")" /f >/dev/null
    host "linked-${configured//\//-}" properties "$dll" >/dev/null || fail "$configured: the host's calls failed"
  done
  [ "$(cd "$out/real" && find . | LC_ALL=C sort | tr '\n' ' ')" = ". ./sub " ] ||
    fail "a file or folder was made behind the linked folder: $(cd "$out/real" && find .)"
  # The same folders without the link are written.
  wine reg add "$settings_key" /v LogPath /t REG_SZ /d "$(setting_path "$out/real/sub")" /f >/dev/null
  host linked-real properties "$dll" >/dev/null
  compgen -G "$out/real/sub/vela3ro-*.txt" >/dev/null || fail "no log in the folder reached without a link"
  echo "ok log-folder-behind-a-link-refused"
  ;;

low-resource)
  # A kit's low-resource mode: the module's allocator imports fail every
  # allocation of a fresh thread, then each operation's n-th allocation (the
  # host's allocator for the module's buffers too), first with the log off,
  # then with LogLevel 9 and LogAPDU on (every third: the lines make many).
  # Every call answers, the process lives, the context works afterwards.
  trap reg_clear EXIT
  reg_clear
  pin=$(printf %s "$VELA_USER_PIN" | hex)
  host low-resource-log-off low-resource "$dll" "$pin" 1 || fail "the host saw failures or died ($?)"
  grep -q '^ok acquire-after-low-resource' "$out/low-resource-log-off.log" || fail "the host did not live to the end"
  wine reg add "$settings_key" /v LogLevel /t REG_SZ /d 9 /f >/dev/null
  wine reg add "$settings_key" /v LogAPDU /t REG_SZ /d TRUE /f >/dev/null
  wine reg add "$settings_key" /v LogPath /t REG_SZ /d "$(setting_path "$out/logs")" /f >/dev/null
  host low-resource-log-on low-resource "$dll" "$pin" 3 || fail "with the log on: the host saw failures or died ($?)"
  grep -q '^ok acquire-after-low-resource' "$out/low-resource-log-on.log" || fail "with the log on: the host died"
  ;;

unload)
  # A service that loads the module per card: 200 loads and unloads leave the
  # process's heaps as they were.
  host unload unload-cycles "$dll" 200
  ;;

exit-locks)
  # The process ends while its other threads hold a lock of the C++ runtime's
  # thread shim and run one of its once-functions; the detach that takes both
  # comes back instead of waiting for ever.
  probe=$(windows_path "$(dirname "$VELA_HOST_EXE")/exit-lock-probe.dll")
  status=0
  timeout 60 wine "$VELA_HOST_EXE" exit-locks "$probe" >"$out/exit-locks.log" 2>&1 || status=$?
  cat "$out/exit-locks.log"
  [ $status -ne 124 ] || fail "the process did not end within 60 s"
  for line in "ok exit-lock-returned" "ok exit-once-returned"; do
    grep -q "^$line" "$out/exit-locks.log" || fail "no \"$line\""
  done
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
  # Windows' rule (SCardIntroduceCardType): A & mask == the registered ATR.
  for ((i = 0; i < ${#mask}; i += 2)); do
    [ $((16#${card_atr:i:2} & 16#${mask:i:2})) -eq $((16#${registered_atr:i:2})) ] \
      || fail "the card's ATR $card_atr & $mask is not the registered $registered_atr"
  done
  echo "ok atr-matches-registration"

  wine regedit /S "$(windows_path "$VELA_SOURCE_DIR/install/vela3ro-remove.reg")"
  ! wine reg query "$calais_key" >/dev/null 2>&1 || fail "the card registration is still there"
  ! wine reg query "$settings_key" >/dev/null 2>&1 || fail "the settings key is still there"
  echo "ok removed"
  ;;

msi)
  # The x64 package in a fresh prefix of its own: install, the module found
  # through the registry as Windows finds it, remove; then an upgrade from an
  # older package, a refused downgrade, the x86 package refused on 64-bit
  # Windows, and a remove again.
  : "${VELA_DLL_X86:?}" "${DISPLAY:?}"
  [ -f "$VELA_DLL_X86" ] || fail "no x86 DLL at $VELA_DLL_X86 (build the windows-x86 preset)"
  version=$VELA_VERSION
  # A version below this one: the last non-zero field one less, the rest 99.
  IFS=. read -r -a fields <<<"$version"
  for ((i = 2; i >= 0; i--)); do
    if [ "${fields[i]}" -gt 0 ]; then
      fields[i]=$((fields[i] - 1))
      for ((j = i + 1; j < 3; j++)); do fields[j]=99; done
      break
    fi
    [ $i -gt 0 ] || fail "no version below $version"
  done
  older=$(IFS=.; echo "${fields[*]}")
  # The older DLLs: copies whose version block says the older version.
  with_version() {  # DLL OUT VERSION
    cp "$1" "$2"
    local offset word
    offset=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$2" | head -n 1 | cut -d: -f1)
    IFS=. read -r -a v <<<"$3"
    # FileVersion and ProductVersion: (major << 16 | minor), (patch << 16 | 0).
    for word in 8 16; do
      printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x\\x00\\x00\\x%02x\\x%02x' $((v[1] & 255)) $((v[1] >> 8)) \
        $((v[0] & 255)) $((v[0] >> 8)) $((v[2] & 255)) $((v[2] >> 8)))" |
        dd of="$2" bs=1 seek=$((offset + word)) conv=notrunc status=none
    done
  }
  with_version "$VELA_DLL" "$out/older-x64.dll" "$older"
  with_version "$VELA_DLL_X86" "$out/older-x86.dll" "$older"
  # The earlier package registered the card's unmasked ATR (which Windows
  # never matches): the older package is built from a copy of the source
  # with that registration.
  earlier=$out/earlier-source
  mkdir -p "$earlier"
  cp -r "$VELA_SOURCE_DIR/scripts" "$VELA_SOURCE_DIR/install" "$earlier/"
  sed -i 's/Value="3B8A018056454C41473300900000"/Value="3B8A018056454C414733009000F1"/' \
    "$earlier/install/card_registration.wxi"
  grep -q 3B8A018056454C414733009000F1 "$earlier/install/card_registration.wxi" || fail "no earlier registration made"
  build() { "$1/scripts/build-msi.sh" "${@:2}" >/dev/null; }
  current_msi=$out/vela3ro-$version-x64.msi older_msi=$out/vela3ro-$older-x64.msi
  build "$VELA_SOURCE_DIR" x64 "$version" "$current_msi" "$VELA_DLL" "$VELA_DLL_X86" "$VELA_TOOL_EXE"
  build "$earlier" x64 "$older" "$older_msi" "$out/older-x64.dll" "$out/older-x86.dll" "$VELA_TOOL_EXE"
  build "$VELA_SOURCE_DIR" x86 "$version" "$out/vela3ro-$version-x86.msi" "$VELA_DLL_X86" "$VELA_TOOL_X86"

  export WINEPREFIX=$out/prefix
  trap 'wineserver -k 2>/dev/null || true' EXIT
  wineboot -i >"$out/wineboot.log" 2>&1
  system32=$WINEPREFIX/drive_c/windows/system32 syswow64=$WINEPREFIX/drive_c/windows/syswow64
  # The installed tool talks to the card through the test winscard.dll, put
  # where Windows' own would be.
  cp "$(dirname "$VELA_HOST_EXE")/winscard.dll" "$system32/winscard.dll"
  tool='C:\Program Files\Norvantis\vela3ro\vela3ro-tool.exe'
  msiexec() {  # /i, /x or /fa, the package, the log's name
    wine msiexec "$1" "$(windows_path "$2")" /qn /l*v "$(windows_path "$out/msiexec-$3.log")"
  }
  products() {
    wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null | tr -d '\r' |
      awk '/^HKEY/ { name = "" } /DisplayName .*VELA BaseCSP ReadOnly Minitreiber$/ { name = 1 }
           name && /DisplayVersion/ { print $NF; name = "" }'
  }
  installed() {  # X64_DLL X86_DLL: both in place, byte for byte
    cmp "$system32/vela3ro.dll" "$1" && cmp "$syswow64/vela3ro.dll" "$2"
  }
  check_registered() {  # the card registration in both views, value by value
    local view listing line
    for view in 64 32; do
      listing=$(wine reg query "$calais_key" /reg:$view | tr -d '\r' | tr -s ' ')
      for line in "80000001 REG_SZ vela3ro.dll" "ATR REG_BINARY 3B8A018056454C41473300900000" \
        "ATRMask REG_BINARY FFFFFFFFFFFFFFFFFFFF00FFFF00" \
        "Crypto Provider REG_SZ Microsoft Base Smart Card Crypto Provider" \
        "Smart Card Key Storage Provider REG_SZ Microsoft Smart Card Key Storage Provider"; do
        grep -qxF " $line" <<<"$listing" || fail "/reg:$view lacks: $line"
      done
    done
    echo "ok registered-in-both-views"
  }
  check_removed() {
    [ ! -e "$system32/vela3ro.dll" ] && [ ! -e "$syswow64/vela3ro.dll" ] || fail "a DLL is left after msiexec /x"
    [ ! -e "$WINEPREFIX/drive_c/Program Files/Norvantis/vela3ro/vela3ro-tool.exe" ] || fail "the tool is left"
    local view
    for view in 64 32; do
      ! wine reg query "$calais_key" /reg:$view >/dev/null 2>&1 || fail "/reg:$view: card registration left"
    done
    [ -z "$(products)" ] || fail "a product is still installed"
    echo "ok removed"
  }
  setting() { wine reg query "$settings_key" /v "$1" /reg:64 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { print $3 }'; }
  # Every setting away from its default, as an administrator may have them.
  changed_settings=('LogPath=C:\vela-logs\' LogLevel=2 usePinPad=TRUE LogAPDU=TRUE CacheMode=1 UserPCP=2)
  change_settings() {
    local pair
    for pair in "${changed_settings[@]}"; do
      wine reg add "$settings_key" /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f /reg:64 >/dev/null
    done
  }
  settings_kept() {  # WHEN
    local pair
    for pair in "${changed_settings[@]}"; do
      [ "$(setting "${pair%%=*}")" = "${pair#*=}" ] || fail "$1 changed ${pair%%=*} to $(setting "${pair%%=*}")"
    done
    echo "ok settings-kept-by-$1"
  }
  # vela3ro-tool check, as the help desk runs it: STATUS, then texts its
  # output must hold (!TEXT: must not hold). A verdict "not ok" comes with
  # the problems it rests on, and no message with an unfilled insert.
  tool_check() {  # NAME STATUS TEXT...
    local name=$1 want=$2 status=0
    shift 2
    wine "$tool" check >"$out/check-$name.log" 2>&1 || status=$?
    tr -d '\r' <"$out/check-$name.log" >"$out/check-$name.txt"
    local text
    [ $status -eq "$want" ] || { cat "$out/check-$name.txt"; fail "check $name: status $status, not $want"; }
    if [ "$want" -ne 0 ] && grep -qx 'problems: none' "$out/check-$name.txt"; then
      cat "$out/check-$name.txt"
      fail "check $name: not ok on no problem"
    fi
    [ "$want" -eq 0 ] || set -- "$@" "!%1"
    for text in "$@"; do
      if [[ $text == !* ]]; then
        ! grep -qF -- "${text#!}" "$out/check-$name.txt" || { cat "$out/check-$name.txt"; fail "check $name: \"${text#!}\""; }
      else
        grep -qF -- "$text" "$out/check-$name.txt" || { cat "$out/check-$name.txt"; fail "check $name: no \"$text\""; }
      fi
    done
    echo "ok check-$name"
  }
  card_value() {  # VIEW NAME TYPE DATA: sets a value of the card's entry
    wine reg add "$calais_key" /v "$2" /t "$3" /d "$4" /f /reg:$1 >/dev/null
  }

  msiexec /i "$current_msi" install || fail "msiexec /i exited with $?"
  installed "$VELA_DLL" "$VELA_DLL_X86" || fail "the installed DLLs are not the build's"
  cmp "$WINEPREFIX/drive_c/Program Files/Norvantis/vela3ro/vela3ro-tool.exe" "$VELA_TOOL_EXE" ||
    fail "the tool is not installed"
  echo "ok files-in-system32-syswow64-and-program-files"
  check_registered
  # The defaults, in the 64-bit view only: the x86 module reads that one too.
  for pair in LogPath='C:\Windows\Temp\' LogLevel=0 usePinPad=FALSE LogAPDU=FALSE CacheMode=3 UserPCP=0; do
    [ "$(setting "${pair%%=*}")" = "${pair#*=}" ] || fail "setting ${pair%%=*} is not ${pair#*=}"
  done
  ! wine reg query "$settings_key" /reg:32 >/dev/null 2>&1 || fail "a settings key in the 32-bit view"
  echo "ok settings-defaults"
  # Programs and Features: no Modify, a help link and contact, the size.
  wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 | tr -d '\r' >"$out/arp.txt"
  for line in "NoModify REG_DWORD 0x1" "HelpLink REG_SZ https://" "Contact REG_SZ Norvantis" "EstimatedSize REG_DWORD"; do
    tr -s ' ' <"$out/arp.txt" | grep -qF " $line" || fail "Programs and Features lacks: $line"
  done
  [ "$(msiinfo suminfo "$current_msi" | sed -n 's/^Template: //p')" = "x64;1031" ] ||
    fail "the package's language is not 1031"
  echo "ok programs-and-features-entry"
  run_road registered
  [ "$(value_of loaded-module "$out/road.log")" = 'C:\windows\system32\vela3ro.dll' ] ||
    fail "the module was not loaded from System32"

  # The tool's other commands load the module as Windows does, by the card database.
  wine "$tool" scinfo 2>&1 | tr -d '\r' >"$out/scinfo.txt" || fail "vela3ro-tool scinfo failed: $(cat "$out/scinfo.txt")"
  for text in 'module: C:\windows\system32\vela3ro.dll' "serial number: $VELA_CARD_SERIAL" \
    "CardAcquireContext: SCARD_S_SUCCESS"; do
    grep -qiF -- "$text" "$out/scinfo.txt" || fail "vela3ro-tool scinfo: no \"$text\""
  done
  echo "ok tool-scinfo"

  # The help desk's check: first as installed, then with the registration
  # broken in each way an administrator meets, each named with its reason.
  tool_check installed 0 "verdict: ok" "64-bit view:" "32-bit view (WOW6432Node):" "name: VELA G3 ReadOnly" \
    "version: $version.0" 'path: C:\windows\syswow64\vela3ro.dll' "result: SCARD_S_SUCCESS"
  for view in 64 32; do
    wine reg add "$calais_key" /v ATR /t REG_BINARY /d 3B8A018056454C414733009000F1 /f /reg:$view >/dev/null
  done
  tool_check unmasked-atr 1 "not ok" "holds the ATR 3B8A018056454C414733009000F1 where its mask is 00" \
    "register the ATR 3B8A018056454C41473300900000"
  for view in 64 32; do
    wine reg add "$calais_key" /v ATR /t REG_BINARY /d 3B8A018056454C41473300900000 /f /reg:$view >/dev/null
  done
  wine reg export "$calais_key" "$(windows_path "$out/card.reg")" /reg:64 /y >/dev/null
  wine reg delete "$calais_key" /f /reg:64 >/dev/null
  tool_check no-entry-64 1 "not ok" "no entry in the 64-bit view matches the card's ATR by Windows' rule" \
    "64-bit programs do not load the module"
  wine reg import "$(windows_path "$out/card.reg")" /reg:64 >/dev/null
  wine reg delete "$calais_key" /f /reg:32 >/dev/null
  tool_check no-entry-32 1 "not ok" "no entry in the 32-bit view (WOW6432Node) matches" \
    "32-bit programs do not load the module"
  wine reg import "$(windows_path "$out/card.reg")" /reg:32 >/dev/null
  mv "$system32/vela3ro.dll" "$out/moved.dll"
  tool_check missing-dll 1 "not ok" 'vela3ro.dll, which the entry "VELA G3 ReadOnly" names, is not in C:\windows\system32'
  mv "$out/moved.dll" "$system32/vela3ro.dll"
  check_registered
  tool_check restored 0 "verdict: ok"

  # A full path in 80000001 is where Windows loads the DLL from, in each view.
  moved='C:\vela3ro-moved'
  mkdir -p "$WINEPREFIX/drive_c/vela3ro-moved/x64" "$WINEPREFIX/drive_c/vela3ro-moved/x86"
  mv "$system32/vela3ro.dll" "$WINEPREFIX/drive_c/vela3ro-moved/x64/"
  mv "$syswow64/vela3ro.dll" "$WINEPREFIX/drive_c/vela3ro-moved/x86/"
  card_value 64 80000001 REG_SZ "$moved\x64\vela3ro.dll"
  card_value 32 80000001 REG_SZ "$moved\x86\vela3ro.dll"
  tool_check full-path 0 "verdict: ok" "path: $moved\x64\vela3ro.dll" "path: $moved\x86\vela3ro.dll" \
    "module: $moved\x64\vela3ro.dll" "!found: no" "!system32\C:"
  # The 64-bit DLL named for 32-bit programs too.
  card_value 32 80000001 REG_SZ "$moved\x64\vela3ro.dll"
  tool_check full-path-x64-for-32-bit 1 \
    "the entry \"VELA G3 ReadOnly\" names $moved\x64\vela3ro.dll, an x64 DLL: 32-bit programs load only x86 DLLs"
  mv "$WINEPREFIX/drive_c/vela3ro-moved/x64/vela3ro.dll" "$system32/"
  mv "$WINEPREFIX/drive_c/vela3ro-moved/x86/vela3ro.dll" "$syswow64/"
  for view in 64 32; do card_value $view 80000001 REG_SZ vela3ro.dll; done
  check_registered

  # The x86 and x64 DLLs swapped: each view's DLL of the other machine, and
  # the load's failure in Windows' words, the file named.
  mv "$system32/vela3ro.dll" "$out/x64.dll"
  mv "$syswow64/vela3ro.dll" "$system32/vela3ro.dll"
  mv "$out/x64.dll" "$syswow64/vela3ro.dll"
  tool_check swapped 1 "machine: x86" "machine: x64" \
    'names vela3ro.dll, an x86 DLL: 64-bit programs load only x64 DLLs' \
    'names vela3ro.dll, an x64 DLL: 32-bit programs load only x86 DLLs' \
    'cannot load the module C:\windows\system32\vela3ro.dll: '
  mv "$system32/vela3ro.dll" "$out/x86.dll"
  mv "$syswow64/vela3ro.dll" "$system32/vela3ro.dll"
  mv "$out/x86.dll" "$syswow64/vela3ro.dll"

  # An entry naming another DLL: another minidriver (here a DLL with no
  # version block), or a renamed copy of this one.
  cp "$(dirname "$VELA_HOST_EXE")/winscard.dll" "$system32/othermd.dll"
  card_value 64 80000001 REG_SZ othermd.dll
  tool_check other-module 1 \
    'names othermd.dll, which is not this module (its version block names no original file): Windows uses that DLL'
  cp "$system32/vela3ro.dll" "$system32/vela3ro-copy.dll"
  card_value 64 80000001 REG_SZ vela3ro-copy.dll
  tool_check renamed-copy 1 'names vela3ro-copy.dll, a copy of vela3ro.dll under another name'
  rm "$system32/othermd.dll" "$system32/vela3ro-copy.dll"
  card_value 64 80000001 REG_SZ vela3ro.dll

  # Two entries that match the card: Windows cannot tell which it is.
  twin_key="${calais_key%\\*}\\VELA G3 Twin"
  wine reg add "$twin_key" /v ATR /t REG_BINARY /d 3B8A018056454C41473300900000 /f /reg:64 >/dev/null
  wine reg add "$twin_key" /v ATRMask /t REG_BINARY /d FFFFFFFFFFFFFFFFFFFF00FFFF00 /f /reg:64 >/dev/null
  wine reg add "$twin_key" /v 80000001 /t REG_SZ /d vela3ro.dll /f /reg:64 >/dev/null
  tool_check two-entries 1 'more than one entry matches the card ("VELA G3 ReadOnly", "VELA G3 Twin")'
  wine reg delete "$twin_key" /f /reg:64 >/dev/null

  # The card's entry without its ATR, or without its mask.
  wine reg delete "$calais_key" /v ATR /f /reg:64 >/dev/null
  tool_check no-atr-value 1 'in the 64-bit view the entry "VELA G3 ReadOnly" has no ATR value' \
    'registered for this card: no'
  card_value 64 ATR REG_BINARY 3B8A018056454C41473300900000
  wine reg delete "$calais_key" /v ATRMask /f /reg:32 >/dev/null
  tool_check no-mask-value 1 'in the 32-bit view (WOW6432Node) the entry "VELA G3 ReadOnly" has no ATRMask value'
  card_value 32 ATRMask REG_BINARY FFFFFFFFFFFFFFFFFFFF00FFFF00
  check_registered

  # A second reader whose card cannot be connected: not ok, whatever the
  # first reader's card.
  VELA_MUTE_READER=1 tool_check mute-reader 1 "VELA TCP Reader 1: cannot connect to the card" \
    "verdict: not ok: 1 card(s) not served"
  tool_check restored-again 0 "verdict: ok"

  # A repair puts back a lost DLL and registration and keeps every setting
  # as the administrator left it. Wine's msiexec cannot run /f (it answers
  # 69 at once), so the repair is asked for by the properties /f sets:
  # REINSTALL=ALL, and a mode that rewrites the files (a) and the registry (m).
  change_settings
  rm "$system32/vela3ro.dll"
  wine reg delete "$calais_key" /v ATR /f /reg:32 >/dev/null
  wine msiexec /i "$(windows_path "$current_msi")" REINSTALL=ALL REINSTALLMODE=amus /qn \
    /l*v "$(windows_path "$out/msiexec-repair.log")" || fail "the repair exited with $?"
  installed "$VELA_DLL" "$VELA_DLL_X86" || fail "the repair did not put the DLL back"
  check_registered
  settings_kept repair
  msiexec /x "$current_msi" remove || fail "msiexec /x exited with $?"
  check_removed
  # Settings stay: no administrator's value is lost with the package.
  settings_kept remove

  # The upgrade from the earlier package: one product, one registration
  # (the masked ATR) in each view, every setting kept.
  wine reg delete "$settings_key" /f /reg:64 >/dev/null
  msiexec /i "$older_msi" install-older || fail "installing $older exited with $?"
  installed "$out/older-x64.dll" "$out/older-x86.dll" || fail "the older DLLs are not in place"
  tool_check earlier-package 1 "holds the ATR 3B8A018056454C414733009000F1 where its mask is 00"
  change_settings
  msiexec /i "$current_msi" upgrade || fail "the upgrade exited with $?"
  [ "$(products)" = "$version" ] || fail "after the upgrade: products $(products | tr '\n' ' ')"
  installed "$VELA_DLL" "$VELA_DLL_X86" || fail "the upgrade did not replace the DLLs"
  check_registered
  settings_kept upgrade
  tool_check upgraded 0 "verdict: ok"
  for view in 64 32; do
    [ "$(wine reg query "${calais_key%\\*}" /reg:$view | tr -d '\r' | grep -c '\\SmartCards\\')" -eq 1 ] ||
      fail "/reg:$view: not one card entry after the upgrade"
  done
  host upgraded properties registered
  [ "$(value_of cache-mode "$out/upgraded.log")" = 1 ] || fail "the upgraded module does not use CacheMode 1"
  echo "ok upgrade-one-product-one-registration"

  ! msiexec /i "$older_msi" downgrade || fail "the older package installed over the newer one"
  [ "$(products)" = "$version" ] && installed "$VELA_DLL" "$VELA_DLL_X86" || fail "the refused downgrade changed something"
  echo "ok downgrade-refused"
  ! msiexec /i "$out/vela3ro-$version-x86.msi" x86 || fail "the x86 package installed on 64-bit Windows"
  [ "$(products)" = "$version" ] || fail "the refused x86 package changed the products"
  echo "ok x86-package-refused-on-64-bit"

  msiexec /x "$current_msi" remove-upgraded || fail "msiexec /x exited with $?"
  check_removed
  settings_kept remove-upgraded
  wineserver -k
  rm -rf "$WINEPREFIX"
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
  text=
  if [ -n "$window" ]; then
    sleep 0.3  # let the text be drawn
    import -window root "$out/notice.png" || fail "no screenshot of the notice"
    echo "notice window $window: $(xdotool getwindowname "$window" 2>/dev/null || true)"
    # The notice's own pixels. Its text box (dialog units 21,21 199x26 of
    # 243x66) must hold drawn text, more than one colour, while the empty
    # band beneath it (units 50 to 64) holds one: the measure can tell.
    import -window "$window" "$out/notice-window.png" || fail "no picture of the notice window"
    read -r width height <<<"$(identify -format '%w %h' "$out/notice-window.png")"
    colours() {
      convert "$out/notice-window.png" -crop "$1" +repage -format %k info:
    }
    box="$((width * 199 / 243))x$((height * 26 / 66))+$((width * 21 / 243))+$((height * 21 / 66))"
    band="$((width * 199 / 243))x$((height * 14 / 66))+$((width * 21 / 243))+$((height * 50 / 66))"
    text="$(colours "$box") $(colours "$band")"
    echo "notice ${width}x${height}: colours in the text box and beneath it: $text"
  fi
  status=0
  wait $host_pid || status=$?
  cat "$out/pinpad.log"
  [ -n "$window" ] || fail "no window with the notice's caption on the X server"
  read -r in_box beneath <<<"$text"
  [ "$in_box" -gt 1 ] && [ "$beneath" -eq 1 ] || fail "no text drawn in the notice (colours: $text)"
  [ $status -eq 0 ] || fail "host reported $status failures"
  echo "ok notice-on-x-server-with-text (screenshot $out/notice.png)"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
