#!/usr/bin/env bash
# The benchmark command (not part of the tests): builds vela_bench with the
# linux preset and runs it twice, first OpenSSL's digests alone with its SIMD
# and SHA extensions masked, then everything, printing Google Benchmark's
# figures and then the README's tables: module / OpenSSL ratios (the module
# on the paths it chooses for this processor beside OpenSSL's own code, and
# the module forced to its portable code beside OpenSSL's portable code), the
# module's CPU time per host operation, and the wire cost of each operation.
# Extra arguments go to Google Benchmark (e.g. --benchmark_filter=SHA).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux -G Ninja >/dev/null
cmake --build --preset linux -j"$(nproc)" --target vela_bench
bench=build/linux/bench/vela_bench

# OPENSSL_ia32cap clears capability bits: in the first word CPUID.1:ECX bits
# 9 (SSSE3), 11 (XOP) and 28 (AVX); in the second CPUID.7:EBX bits 3 (BMI1),
# 5 (AVX2), 8 (BMI2), 16 (AVX-512F) and 29 (SHA). What is left is OpenSSL's
# plain x86-64 assembly, the fair comparison for portable C++.
portable_mask="~0x10000A0000000000:~0x20010128"
OPENSSL_ia32cap="$portable_mask" $bench --benchmark_filter=/openssl/ --vela_save=build/linux/bench/portable.txt \
  "$@" >/dev/null
$bench --vela_masked=build/linux/bench/portable.txt "$@"
