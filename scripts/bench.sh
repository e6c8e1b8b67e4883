#!/usr/bin/env bash
# The benchmark command (not part of the tests).
#
#   scripts/bench.sh [--cpu | --card-time] [Google Benchmark options]
#
# CPU (--cpu, or the default): builds vela_bench with the linux preset and
# runs it twice, first OpenSSL's digests alone with its SIMD and SHA
# extensions masked, then everything, printing Google Benchmark's figures and
# then the README's tables: module / OpenSSL ratios (the module on the paths
# it chooses for this processor beside OpenSSL's own code, and the module
# forced to its portable code beside OpenSSL's portable code), the module's
# CPU time per host operation, and the wire cost of each operation. Extra
# arguments go to Google Benchmark (e.g. --benchmark_filter=SHA).
#
# Card time (--card-time, or the default): runs real clients against the
# emulated card (default personalisation) through pcscd, each twice (cold,
# then warm: the same run again, with the per-user cache the first run left),
# counts commands and bytes on the card's APDU trace and prints the README's
# card-time table: the modelled time of each client operation under every
# link profile of emulator/link_model.h. pcscd and its vpcd reader are shared
# by the whole machine, so this part runs under /tmp/vela-pcsc.lock.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/loopback-sshd.sh
source scripts/configure.sh

cpu=1
card_time=1
case "${1:-}" in
  --cpu) card_time=0; shift ;;
  --card-time) cpu=0; shift ;;
esac

configure_preset linux

run_cpu() {
  cmake --build --preset linux -j"$(nproc)" --target vela_bench
  local bench=build/linux/bench/vela_bench
  # OPENSSL_ia32cap clears capability bits: in the first word CPUID.1:ECX bits
  # 9 (SSSE3), 11 (XOP) and 28 (AVX); in the second CPUID.7:EBX bits 3 (BMI1),
  # 5 (AVX2), 8 (BMI2), 16 (AVX-512F) and 29 (SHA). What is left is OpenSSL's
  # plain x86-64 assembly, the fair comparison for portable C++.
  local portable_mask="~0x10000A0000000000:~0x20010128"
  OPENSSL_ia32cap="$portable_mask" $bench --benchmark_filter=/openssl/ --vela_save=build/linux/bench/portable.txt \
    "$@" >/dev/null
  $bench --vela_masked=build/linux/bench/portable.txt "$@"
}

# ---- card time ---------------------------------------------------------------

build=$(pwd)/build/linux
module=$build/pkcs11/libvela3ro-pkcs11.so
pin=123456
rows=()

# measure NAME COMMAND...: runs the client twice, cold and warm, with a cache
# folder of its own, and keeps each run's part of the trace for the table.
measure() {
  local name=$1 run before index=$((${#rows[@]} / 3))
  shift
  mkdir -p "$work/cache$index"
  for run in cold warm; do
    before=$(wc -l <"$state/trace.txt")
    if ! XDG_CACHE_HOME="$work/cache$index" timeout 120 "$@" >"$work/$index.$run.out" 2>"$work/$index.$run.err"; then
      echo "card time: $name failed ($run):" >&2
      cat "$work/$index.$run.out" "$work/$index.$run.err" >&2
      return 1
    fi
    tail -n +"$((before + 1))" "$state/trace.txt" >"$work/$index.$run.trace"
  done
  rows+=("$name" "$work/$index.cold.trace" "$work/$index.warm.trace")
}

card_time_cleanup() {
  if [ -n "${sshd_pid:-}" ]; then
    kill "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
  fi
  scripts/emulated-card.sh stop "$state" >/dev/null 9>&- || true
  rm -rf "$work"
}

run_card_time() {
  local missing=() tool
  for tool in pcscd opensc-tool pkcs11-tool ssh ssh-keygen flock; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ -x /usr/sbin/sshd ] || missing+=(sshd)
  if [ ${#missing[@]} -ne 0 ]; then
    echo "card time: not measured, missing ${missing[*]} (scripts/install-deps.sh, openssh-server)" >&2
    return 1
  fi
  cmake --build --preset linux -j"$(nproc)" --target vela-card vela3ro vela3ro-pkcs11 vela3ro-tool vela_card_time \
    >/dev/null
  # What this starts (pcscd among them) gets the lock's descriptor closed, so
  # that the lock ends with this script.
  exec 9>/tmp/vela-pcsc.lock
  flock 9
  work=$(mktemp -d)
  state=$work/card
  sshd_pid=
  trap card_time_cleanup EXIT
  scripts/emulated-card.sh start "$state" "$build/emulator/vela-card" >/dev/null 9>&-

  local p11=(pkcs11-tool --module "$module")
  printf 'the contract' | openssl dgst -sha256 -binary >"$work/hash"
  measure "\`pkcs11-tool --list-objects\`" "${p11[@]}" --list-objects
  measure "\`pkcs11-tool --login --sign\` (ECDSA, one key)" "${p11[@]}" --login --pin "$pin" --sign \
    --mechanism ECDSA --id 00 --input-file "$work/hash" --output-file "$work/signature"
  measure "\`ssh-keygen -D\`" ssh-keygen -D "$module"
  grep -F "C000 key 80" "$work/$((${#rows[@]} / 3 - 1)).cold.out" >"$work/authorized_keys"
  start_loopback_sshd "$work" "$work/authorized_keys" || {
    echo "card time: the loopback sshd did not start: $(cat "$work/sshd.log")" >&2
    return 1
  }
  printf '#!/bin/sh\necho %s\n' "$pin" >"$work/askpass"
  chmod +x "$work/askpass"
  measure "\`ssh -I\` login to a loopback sshd" env SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force \
    DISPLAY=none ssh -F /dev/null -I "$module" -p "$sshd_port" -o IdentityAgent=none -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o PasswordAuthentication=no -o KbdInteractiveAuthentication=no \
    -o ConnectTimeout=20 "$(id -un)@127.0.0.1" true </dev/null
  measure "\`vela3ro-tool scinfo\`" "$build/tool/vela3ro-tool" scinfo

  echo
  echo "Link profiles (emulator/link_model.h):"
  echo
  "$build/bench/vela_card_time" profiles
  echo
  echo "Card time per client operation, default personalisation (cold, then the same run again warm):"
  echo
  "$build/bench/vela_card_time" table --road "${rows[@]}"
}

if [ $cpu -eq 1 ]; then run_cpu "$@"; fi
if [ $card_time -eq 1 ]; then run_card_time; fi
