#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and shares a budget of N seconds
# (default 180) among them. Findings are written to build-fuzz/findings/.
# Each target is one line of `targets`: its name and the seed corpus folder it starts from.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
budget=${1:-180}
out=$here/build-fuzz
targets=(
  "fuzz_fat_reader fuzz/corpus/fat_reader"
  "fuzz_fat_engine fuzz/corpus/fat_reader"
  "fuzz_partition_search fuzz/corpus/fat_reader"
  "fuzz_ntfs_record fuzz/corpus/ntfs_record"
  "fuzz_ntfs_volume fuzz/corpus/ntfs_volume"
  "fuzz_sig_formats fuzz/corpus/sig_formats"
  "fuzz_file_metadata fuzz/corpus/sig_formats"
  "fuzz_partition_tables fuzz/corpus/partition_tables"
  "fuzz_exfat_reader fuzz/corpus/exfat_reader"
  "fuzz_ext4_reader fuzz/corpus/ext4_reader"
  "fuzz_scan_file fuzz/corpus/scan_file"
  "fuzz_scan_checkpoint fuzz/corpus/scan_checkpoint"
  "fuzz_containers fuzz/corpus/containers"
  "fuzz_sector_write fuzz/corpus/sector_write"
)
names=()
for t in "${targets[@]}"; do names+=("${t%% *}"); done
CC=clang CXX=clang++ cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_FUZZ=ON >/dev/null
cmake --build "$out" -j2 --target "${names[@]}"
mkdir -p "$out/findings"
seconds=$((budget / ${#targets[@]}))
[ "$seconds" -lt 10 ] && seconds=10
for t in "${targets[@]}"; do
  target=${t%% *}
  corpus=$out/${t#* }
  work=$out/fuzz/work/$target
  mkdir -p "$work" "$corpus"
  echo "fuzzing $target for $seconds s"
  ASAN_OPTIONS=detect_leaks=0 "$out/bin/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -artifact_prefix="$out/findings/$target-" -print_final_stats=1 "$work" "$corpus" 2>&1 | tail -n 12
done
