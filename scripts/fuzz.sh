#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, starting
# from its seed corpus in fuzz/corpus/NAME.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60, every target)
# New inputs go to build/fuzz/corpus/NAME, crashes to build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build/fuzz

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzzer.cpp; do
    name=$(basename "$source" _fuzzer.cpp)
    targets+=("$name")
  done
fi

CC=clang CXX=clang++ cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELA_FUZZ=ON \
  -DVELA_SANITIZE=ON -DVELA_BUILD_TESTS=OFF -DVELA_WERROR=OFF -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build $build -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

status=0
mkdir -p $build/findings
for name in "${targets[@]}"; do
  mkdir -p "$build/corpus/$name"
  echo "== fuzz_$name for ${seconds}s"
  nice "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$name-" "$build/corpus/$name" "fuzz/corpus/$name" || status=1
done
exit $status
