#!/bin/sh
# Builds the libFuzzer harnesses with clang and runs each for a while.
# Usage: scripts/fuzz.sh [seconds per harness, default 60]
set -e
SECS=${1:-60}
cmake -S . -B build-fuzz -G Ninja -DROMSMITH_FUZZ=ON -DROMSMITH_TESTS=OFF -DROMSMITH_GUI=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz
for f in build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  echo "== $(basename "$f")"
  mkdir -p "build-fuzz/corpus/$(basename "$f")"
  ASAN_OPTIONS=allocator_may_return_null=1 "$f" -max_total_time="$SECS" -rss_limit_mb=4096 \
    "build-fuzz/corpus/$(basename "$f")" >/dev/null 2>"build-fuzz/$(basename "$f").log" ||
    { tail -30 "build-fuzz/$(basename "$f").log"; exit 1; }
done
echo "no crashes"
