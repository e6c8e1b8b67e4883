#!/usr/bin/env bash
# A released DLL is stripped, and its debug information beside it still
# resolves a crash address: no symbol table in the DLL; a .gnu_debuglink that
# names DLL.debug with that file's CRC-32; and the address of the export,
# looked up in DLL.debug, gives CardAcquireContext in frontend/acquire.cpp.
# usage: check_debug_split.sh OBJDUMP ADDR2LINE DLL
set -euo pipefail
objdump=$1 addr2line=$2 dll=$3
debug=$dll.debug
status=0
fail() { echo "$*"; status=1; }

symbols=$("$objdump" -t "$dll" | sed -n '/^SYMBOL TABLE:/,$p' | sed 1d | grep -vc '^no symbols$\|^$' || true)
[ "$symbols" -eq 0 ] || fail "$dll is not stripped: $symbols symbols"

[ -f "$debug" ] || { echo "no debug file $debug"; exit 1; }
# The section holds the file name, zero bytes to a multiple of four, then the
# CRC-32 (the one gzip uses) of the debug file, least significant byte first.
link=$("$objdump" -s -j .gnu_debuglink "$dll" 2>/dev/null |
  sed -n 's/^ [0-9a-f]\+ \(\([0-9a-f]\{2,8\} \?\)\{1,4\}\) .*/\1/p' | tr -d ' \n')
hex_name=${link%????????}
name=$(printf "$(sed 's/\(..\)/\\x\1/g' <<<"$hex_name")" | tr -d '\0')
crc=${link: -8}
[ "$name" = "$(basename "$debug")" ] || fail "debug link names '${name:-nothing}', not $(basename "$debug")"
expected_crc=$(gzip -c <"$debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')
[ "$crc" = "$expected_crc" ] || fail "debug link CRC ${crc:-missing} is not $expected_crc, the debug file's"

dump=$("$objdump" -p "$dll")
base=$(sed -n 's/^ImageBase[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$dump")
export_rva=$(sed -n 's/^[[:space:]]*\[[[:space:]]*0\] +base\[[[:space:]]*1\] \([0-9a-f]*\) Export RVA$/\1/p' <<<"$dump")
if [ -z "$base" ] || [ -z "$export_rva" ]; then
  fail "no image base or export address in $dll"
else
  address=$(printf '0x%x' $((16#$base + 16#$export_rva)))
  resolved=$("$addr2line" -f -e "$debug" "$address" | tr '\n' ' ')
  echo "export at $address: $resolved"
  [[ $resolved == CardAcquireContext* && $resolved == *frontend/acquire.cpp:* ]] ||
    fail "the export's address does not resolve to CardAcquireContext in frontend/acquire.cpp"
fi
exit $status
