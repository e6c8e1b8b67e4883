#!/usr/bin/env bash
# Fails when a built module lacks a protection it is built with.
#   check_hardening.sh elf READELF libvela3ro.so   full RELRO (GNU_RELRO and
#                                                  BIND_NOW), a stack that is
#                                                  not executable, the stack guard
#   check_hardening.sh pe OBJDUMP vela3ro.dll      DYNAMIC_BASE, NX_COMPAT,
#                                                  HIGH_ENTROPY_VA (64-bit), the
#                                                  stack guard
set -euo pipefail
kind=$1
tool=$2
binary=$3
missing=()

case $kind in
elf)
  dynamic=$("$tool" -dW "$binary")
  segments=$("$tool" -lW "$binary")
  symbols=$("$tool" --dyn-syms -W "$binary")
  grep -q 'GNU_RELRO' <<<"$segments" || missing+=("GNU_RELRO")
  grep -Eq '\(BIND_NOW\)|\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || missing+=("BIND_NOW")
  stack=$(grep 'GNU_STACK' <<<"$segments" || true)
  { [ -n "$stack" ] && ! grep -q 'RWE' <<<"$stack"; } || missing+=("a non-executable stack (GNU_STACK RW)")
  grep -q ' __stack_chk_fail' <<<"$symbols" || missing+=("__stack_chk_fail (stack protector)")
  ;;
pe)
  headers=$("$tool" -p "$binary")
  for flag in DYNAMIC_BASE NX_COMPAT; do
    grep -qw "$flag" <<<"$headers" || missing+=("$flag")
  done
  # PE32+ (64-bit) images can take the high-entropy address space.
  if grep -Eq '^Magic[[:space:]]+020b' <<<"$headers"; then
    grep -qw HIGH_ENTROPY_VA <<<"$headers" || missing+=("HIGH_ENTROPY_VA")
  fi
  # The guard is linked in from libssp: its symbol, or (in a stripped image)
  # the message of its failure routine.
  if ! "$tool" -t "$binary" 2>/dev/null | grep -q '__stack_chk_fail' &&
    ! grep -aq 'stack smashing detected' "$binary"; then
    missing+=("the stack guard (__stack_chk_fail)")
  fi
  ;;
*)
  echo "usage: $0 elf|pe READELF|OBJDUMP BINARY" >&2
  exit 2
  ;;
esac

if [ ${#missing[@]} -gt 0 ]; then
  echo "$binary lacks:"
  printf '  %s\n' "${missing[@]}"
  exit 1
fi
echo "$binary: every protection present"
