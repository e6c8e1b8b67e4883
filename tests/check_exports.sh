#!/usr/bin/env bash
# The module exports CardAcquireContext and nothing else.
set -euo pipefail
module="$1"
exports=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort)
if [ "$exports" != "CardAcquireContext" ]; then
  echo "unexpected exports of $module:"; echo "$exports"; exit 1
fi
echo "1 passed, 0 failed: $module exports only CardAcquireContext"
