#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for N seconds
# (default 60) on its seed corpus. Findings are written to build-fuzz/findings/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
out=$here/build-fuzz
CC=clang CXX=clang++ cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_FUZZ=ON >/dev/null
cmake --build "$out" -j2 --target fuzz_fat_reader fuzz_fat_engine
mkdir -p "$out/findings"
corpus=$out/fuzz/corpus/fat_reader
for target in fuzz_fat_reader fuzz_fat_engine; do
  work=$out/fuzz/work/$target
  mkdir -p "$work"
  echo "fuzzing $target for $seconds s"
  ASAN_OPTIONS=detect_leaks=0 "$out/bin/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -artifact_prefix="$out/findings/$target-" -print_final_stats=1 "$work" "$corpus" 2>&1 | tail -n 12
done
