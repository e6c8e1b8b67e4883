#!/usr/bin/env bash
# The card's key-agreement keys in the programs people decrypt and agree
# keys with: Thunderbird's own NSS (cmsutil run with the libraries the
# thunderbird package ships) opens S/MIME messages OpenSSL encrypted to each
# key-agreement certificate; OpenSSL's pkcs11 engine and pkcs11-tool derive
# the raw secret, which must equal OpenSSL's own ECDH from the peer's side.
# Then the same with the log at its fullest and the card's commands traced:
# no agreed secret is written.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
nss=/usr/lib/thunderbird
if [ ! -e "$nss/libsmime3.so" ]; then
  echo "SKIP: Thunderbird is not installed (its NSS is in $nss)"
  exit 77
fi
export PKCS11_MODULE_PATH=$module

for id in 04 05 06; do
  pkcs11-tool --module "$module" --read-object --type cert --id "$id" --output-file "$out/kxc$id.der" >/dev/null 2>&1
  openssl x509 -inform der -in "$out/kxc$id.der" -out "$out/kxc$id.pem" || fail "no certificate for container $id"
done
head -c 3000 /dev/urandom | base64 >"$out/message.txt"

# name, certificate, OpenSSL's options: every certificate, the AES-128,
# AES-192 and AES-256 wraps, the four KDFs, the cofactor scheme.
messages=(
  "sha1-aes256 04 -aes256"
  "sha256-aes128wrap 04 -aes256 -keyopt ecdh_kdf_md:sha256 -aes128-wrap"
  "cofactor-sha1 04 -aes256 -keyopt ecdh_cofactor_mode:1"
  "sha384-aes192wrap 05 -aes128 -keyopt ecdh_kdf_md:sha384 -aes192-wrap"
  "cofactor-sha512 06 -aes256 -keyopt ecdh_kdf_md:sha512 -aes128-wrap -keyopt ecdh_cofactor_mode:1"
)
for entry in "${messages[@]}"; do
  read -r name id options <<<"$entry"
  # shellcheck disable=SC2086 # the options are words
  openssl cms -encrypt -binary -in "$out/message.txt" -outform DER -out "$out/$name.p7m" -recip "$out/kxc$id.pem" \
    $options || fail "OpenSSL did not encrypt $name"
done

mkdir "$out/nssdb"
certutil -N -d "sql:$out/nssdb" --empty-password || fail "no NSS database"
LD_LIBRARY_PATH=$nss modutil -dbdir "sql:$out/nssdb" -add vela -libfile "$module" -force >/dev/null ||
  fail "NSS did not add the module"
printf '%s\n' "$pin" >"$out/pin"

# Opens every message; `label` names the round in failures.
decrypt_all() {
  local label=$1 entry name
  for entry in "${messages[@]}"; do
    read -r name _ <<<"$entry"
    rm -f "$out/$name.txt"
    run "cmsutil-$label-$name" 0 env LD_LIBRARY_PATH=$nss cmsutil -D -d "sql:$out/nssdb" -f "$out/pin" \
      -i "$out/$name.p7m" -o "$out/$name.txt"
    cmp -s "$out/message.txt" "$out/$name.txt" || fail "$label: Thunderbird's NSS did not open $name"
  done
}

# The peer's side: its own key, and OpenSSL's ECDH with the card's public key.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/peer.key" 2>/dev/null
openssl pkey -in "$out/peer.key" -pubout -out "$out/peer.pem"
openssl pkey -in "$out/peer.key" -pubout -outform DER -out "$out/peer.der"
openssl x509 -in "$out/kxc04.pem" -pubkey -noout >"$out/card04.pub"
openssl pkeyutl -derive -inkey "$out/peer.key" -peerkey "$out/card04.pub" -out "$out/expected.bin" ||
  fail "OpenSSL's own ECDH failed"

derive_all() {
  local label=$1
  rm -f "$out/engine.bin" "$out/tool.bin"
  run "engine-$label" 0 openssl pkeyutl -derive -engine pkcs11 -keyform engine \
    -inkey "$token_uri;id=%04;type=private;pin-value=$pin" -peerkey "$out/peer.pem" -out "$out/engine.bin"
  cmp -s "$out/expected.bin" "$out/engine.bin" || fail "$label: the engine's secret is not OpenSSL's own"
  run "tool-$label" 0 pkcs11-tool --module "$module" --login --pin "$pin" --derive -m ECDH1-DERIVE --id 04 \
    --input-file "$out/peer.der" --output-file "$out/tool.bin"
  cmp -s "$out/expected.bin" "$out/tool.bin" || fail "$label: pkcs11-tool's secret is not OpenSSL's own"
}

# One decryption's card commands, for whoever reads the test's output.
before=$(apdus)
decrypt_all plain
echo "card commands of five decryptions: $(($(apdus) - before))"
first=${messages[0]%% *}
rm -f "$out/$first.txt"
trace_before=$(wc -l <"$state/trace.txt")
env LD_LIBRARY_PATH=$nss cmsutil -D -d "sql:$out/nssdb" -f "$out/pin" -i "$out/$first.p7m" -o "$out/$first.txt" \
  >/dev/null 2>&1 || fail "cmsutil did not open $first again"
# Each command's header and each answer's status word.
echo "the card's commands in one decryption ($first):"
tail -n +"$((trace_before + 1))" "$state/trace.txt" |
  awk '/^>/ { line = "  " $2 " " $3 " " $4 " " $5 (NF > 5 ? " ..." : ""); next }
       /^</ { print line " -> " $(NF - 1) " " $NF }'
derive_all plain

# The log: the registry file every program on this machine reads, kept and
# put back whatever happens.
registry=/etc/vela3ro/registry.reg
made_folder=
[ -d /etc/vela3ro ] || made_folder=yes
if ! mkdir -p /etc/vela3ro 2>/dev/null || ! [ -w /etc/vela3ro ]; then
  echo "SKIP of the log's rounds: $registry cannot be written here"
  exit $((failures > 0))
fi
kept=
if [ -e "$registry" ]; then
  kept=$out/registry.kept
  cp -p "$registry" "$kept"
fi
put_back() {
  if [ -n "$kept" ]; then cp -p "$kept" "$registry"; else rm -f "$registry"; fi
  [ -z "$made_folder" ] || rmdir /etc/vela3ro 2>/dev/null
  rm -rf "$out"
}
trap put_back EXIT
mkdir -m 0700 "$out/log"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvantis\\CardMiniDriverRO]\n"LogPath"="%s"\n"LogLevel"="9"\n"LogAPDU"="TRUE"\n' \
  "$out/log" >"$registry"
decrypt_all logged
derive_all logged
logged=$(cat "$out"/log/*.txt 2>/dev/null)
[ -n "$logged" ] || fail "nothing was logged"
# Both agreements were traced (the minidriver's for the messages, the
# module's own for the raw secret) and each answer is only its length.
agreements=$(grep -c 'APDU > 002A8086' <<<"$logged")
[ "$agreements" -ge 7 ] || fail "the log traced $agreements agreements, expected the seven made"
answers=$(grep -A1 'APDU > 002A8086' <<<"$logged" | grep -c 'APDU < \[32 bytes not logged\] 9000')
[ "$answers" -eq "$agreements" ] || fail "$((agreements - answers)) agreement answers were logged as more than their length"
secret=$(od -An -v -tx1 "$out/expected.bin" | tr -d ' \n')
for case in "${secret^^}" "$secret"; do
  for at in 0 16 32 48; do
    ! grep -qF "${case:$at:16}" <<<"$logged" || fail "the log holds bytes of the agreed secret"
  done
done
exit $((failures > 0))
