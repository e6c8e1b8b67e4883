#!/usr/bin/env bash
# The module takes its memory from the C runtime's allocator alone (see
# platform/memory.h): a failure is a null pointer. The C++ runtime's operator
# new reports one by throwing, which in a host thread short of memory ends
# the process, so no form of it (nor what throws std::bad_alloc) may be linked
# into the DLL. Read from the symbols of the DLL's debug file (the DLL itself
# is stripped), which must hold the import of the C runtime's malloc, so that
# an unreadable table is not taken for a clean one.
# usage: check_no_new.sh OBJDUMP FILE...
set -euo pipefail
objdump=$1
shift
status=0
for file in "$@"; do
  symbols=$("$objdump" -t "$file")
  if ! grep -qE ' _*imp_+malloc$' <<<"$symbols"; then
    echo "FAIL $file: no symbol table holding the import of malloc"
    status=1
    continue
  fi
  # _Znw*/_Zna*: operator new and new[] in every form (x64 size_t "y", x86 "j").
  found=$(grep -oE ' _*(_Zn[wa][jmy][A-Za-z0-9_]*|_ZSt17__throw_bad_allocv|_ZTISt9bad_alloc)$' <<<"$symbols" |
    sed 's/^ _*/_/' | LC_ALL=C sort -u || true)
  if [ -n "$found" ]; then
    echo "FAIL $file links the throwing allocator:"
    sed 's/^/  /' <<<"$found"
    status=1
  else
    echo "$file: no operator new, no std::bad_alloc"
  fi
done
[ $status -ne 0 ] || echo "ok no-throwing-new"
exit $status
