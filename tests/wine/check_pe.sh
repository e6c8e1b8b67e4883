#!/usr/bin/env bash
# The DLL as users install it: one export, CardAcquireContext, and imports
# from system DLLs only (libgcc, libstdc++ and winpthread linked in).
# usage: check_pe.sh OBJDUMP DLL [MACHINE]   (MACHINE: x86-64, the default, or i386)
set -euo pipefail
objdump=$1
dll=$2
machine=${3:-x86-64}
dump=$("$objdump" -p "$dll")

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' | sort -u)
allowed=" kernel32.dll advapi32.dll user32.dll winscard.dll msvcrt.dll bcrypt.dll "
status=0
for dll_name in $imports; do
  if [[ "$allowed" != *" $dll_name "* ]]; then
    echo "imports a DLL that is not a system DLL: $dll_name"
    status=1
  fi
done
[ -n "$imports" ] || { echo "no import table found"; status=1; }

# Lines of the export name table look like "[   0] CardAcquireContext".
exports=$(sed -n '/\[Name Pointer\/Ordinal\] Table/,$p' <<<"$dump" \
  | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]\+\([^[:space:]]\+\)$/\1/p')
if [ "$exports" != "CardAcquireContext" ]; then
  echo "exports are not exactly CardAcquireContext:"
  echo "$exports"
  status=1
fi
# The architecture, and the loader's address randomisation (DYNAMIC_BASE,
# 0x40) and no-execute data (NX_COMPAT, 0x100).
grep -q "file format pei-$machine\$" <<<"$dump" || { echo "not a $machine DLL"; status=1; }
characteristics=$(sed -n 's/^DllCharacteristics[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$dump")
if [ -z "$characteristics" ] || (((16#$characteristics & 0x140) != 0x140)); then
  echo "DllCharacteristics ${characteristics:-missing}: DYNAMIC_BASE or NX_COMPAT is off"
  status=1
fi
echo "imports: ${imports//$'\n'/ }"
echo "exports: ${exports//$'\n'/ }"
exit $status
