#!/usr/bin/env bash
# The module exports CardAcquireContext and nothing else (or another library
# the one symbol named after it: C_GetFunctionList for the PKCS#11 module).
# usage: check_exports.sh LIBRARY [SYMBOL]
set -euo pipefail
module="$1"
symbol="${2:-CardAcquireContext}"
exports=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort)
if [ "$exports" != "$symbol" ]; then
  echo "unexpected exports of $module:"; echo "$exports"; exit 1
fi
echo "1 passed, 0 failed: $module exports only $symbol"
