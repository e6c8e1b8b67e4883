#!/usr/bin/env bash
# Prints a PE file's imports, one "dll!function" a line (the DLL's name in
# lower case), sorted; an import by ordinal reads "dll!#N".
# usage: list_imports.sh OBJDUMP PE_FILE
set -euo pipefail
"$1" -p "$2" | tr -d '\r' | awk '
  done { next }
  /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
  /^$/ { next }
  dll != "" && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_?@$][^[:space:]]*$/ { print dll "!" $3; next }
  dll != "" && /^[[:space:]]*[0-9a-f]+[[:space:]]+<none>[[:space:]]+[0-9a-f]+$/ { print dll "!#" $3; next }
  /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9a-f]+ [0-9a-f]+ [0-9a-f]+ [0-9a-f]+ [0-9a-f]+$/ { dll = "" }
  /^The Export Tables|^PE File Base Relocations|^The Function Table/ { dll = ""; done = 1 }
' | LC_ALL=C sort -u
