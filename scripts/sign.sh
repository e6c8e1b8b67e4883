#!/usr/bin/env bash
# Signs Windows files (the DLLs, the MSI packages) in place with Authenticode,
# using osslsigncode: SHA-256 digests, the certificate and private key from a
# PKCS#12 file, optionally an RFC 3161 timestamp. Without a certificate it
# leaves the files unsigned and says so.
# usage: scripts/sign.sh [--pkcs12 FILE] [--password-file FILE] [--timestamp URL] FILE...
# The options default to $VELA_SIGN_PKCS12 and $VELA_SIGN_TIMESTAMP. The
# password comes from the first line of --password-file, else from
# $VELA_SIGN_PASSWORD, else from a prompt on the terminal; never from the
# command line, where every local user could read it (/proc/PID/cmdline).
set -euo pipefail
usage() { sed -n 's/^# usage: /usage: /p' "$0" >&2; exit 2; }
pkcs12=${VELA_SIGN_PKCS12:-}
password_file=
timestamp=${VELA_SIGN_TIMESTAMP:-}
while [ $# -gt 0 ]; do
  case $1 in
    --pkcs12) [ $# -ge 2 ] || usage; pkcs12=$2; shift 2 ;;
    --password-file) [ $# -ge 2 ] || usage; password_file=$2; shift 2 ;;
    --password | --password=*)
      echo "sign: a password on the command line is visible to every local user;" \
        "use --password-file FILE, VELA_SIGN_PASSWORD or the prompt" >&2
      exit 2 ;;
    --timestamp) [ $# -ge 2 ] || usage; timestamp=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || usage
for file in "$@"; do
  [ -f "$file" ] || { echo "sign: no file $file" >&2; exit 1; }
done

if [ -z "$pkcs12" ]; then
  echo "sign: no certificate given (--pkcs12 or VELA_SIGN_PKCS12): left unsigned: $*"
  exit 0
fi
[ -r "$pkcs12" ] || { echo "sign: cannot read the PKCS#12 file $pkcs12" >&2; exit 1; }

password=
if [ -n "$password_file" ]; then
  [ -r "$password_file" ] || { echo "sign: cannot read the password file $password_file" >&2; exit 1; }
  IFS= read -r password <"$password_file" || true
elif [ -n "${VELA_SIGN_PASSWORD+set}" ]; then
  password=$VELA_SIGN_PASSWORD
elif [ -t 0 ]; then
  IFS= read -r -s -p "password of $pkcs12: " password
  echo >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# osslsigncode reads the password from a file, not from its command line;
# printf is a shell builtin, so the password is on no command line either.
(umask 077 && printf %s "$password" >"$work/password")
options=(-pkcs12 "$pkcs12" -readpass "$work/password" -h sha256 -n "VELA BaseCSP ReadOnly Minitreiber")
[ -z "$timestamp" ] || options+=(-ts "$timestamp")

for file in "$@"; do
  # A new file first, so that a failure leaves the original as it was.
  if ! osslsigncode sign "${options[@]}" -in "$file" -out "$work/signed" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    echo "sign: signing $file failed" >&2
    exit 1
  fi
  cat "$work/signed" >"$file"
  rm -f "$work/signed"
  echo "signed $file (SHA-256${timestamp:+, timestamp from $timestamp})"
done
