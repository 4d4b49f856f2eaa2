#!/usr/bin/env bash
# Partition search benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
# Makes an image of SIZE MiB of pseudo-random data (no holes: every block is really read)
# with three partitions placed in it (NTFS, FAT32 made by mkfs.fat, FAT32 at the end),
# reads it with cat until it sits in the page cache, then times `orvane partitions` and cat
# on the same image in the same run and prints MB/s and their ratio.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
size_mib=${1:-2048}
orvane=${ORVANE:-$repo/build/bin/orvane}
export PATH="$PATH:/usr/sbin:/sbin"
[ -x "$orvane" ] || { echo "build orvane first: cmake --build build --target orvane" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/bench_partitions.XXXXXX")
trap 'rm -rf "$work"' EXIT
img=$work/disk.img

# Random data written in 1 MiB pieces from one seeded MiB, shifted so no two are alike.
python3 - "$img" "$size_mib" <<'PY'
import random, sys
path, mib = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261207)
base = rng.randbytes(1 << 20)
with open(path, "wb") as f:
    for i in range(mib):
        k = (i * 4099) % len(base)
        f.write(base[k:] + base[:k])
PY
sectors=$((size_mib * 2048))
# NTFS boot sector at 2048 declaring 64 MiB; a real FAT32 volume behind it; one near the end.
python3 - "$img" <<'PY'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    boot = bytearray(512)
    boot[3:11] = b"NTFS    "
    struct.pack_into("<Q", boot, 40, 131071)
    boot[510:512] = b"\x55\xaa"
    f.seek(2048 * 512)
    f.write(boot)
PY
mkfs.fat -F 32 --offset $((2048 + 131072)) "$img" 65536 >/dev/null 2>&1
mkfs.fat -F 32 --offset $((sectors - 70000)) "$img" 34816 >/dev/null 2>&1

now() { date +%s%N; }
mbps() { python3 -c "import sys; print('%.0f' % ($size_mib * 1048576 / 1e6 / (int(sys.argv[1]) / 1e9)))" "$1"; }

cat "$img" >/dev/null
cat "$img" >/dev/null
t0=$(now); cat "$img" >/dev/null; t1=$(now)
"$orvane" partitions --json "$img" >/dev/null  # warm-up
t2=$(now); "$orvane" partitions --json "$img" >"$work/found"; t3=$(now)
t4=$(now); cat "$img" >/dev/null; t5=$(now)
cat_ns=$(( (t1 - t0) < (t5 - t4) ? (t1 - t0) : (t5 - t4) ))
search_ns=$((t3 - t2))
echo "image:            $size_mib MiB of data, page cache warm"
echo "partitions found: $(wc -l <"$work/found")"
sed 's/^/  /' "$work/found"
echo "cat:              $(mbps $cat_ns) MB/s ($((cat_ns / 1000000)) ms)"
echo "orvane partitions: $(mbps $search_ns) MB/s ($((search_ns / 1000000)) ms) over the whole image"
python3 -c "import sys; print('ratio search/cat:  %.2f (target: at least 0.50)' % (int(sys.argv[1]) / int(sys.argv[2])))" "$cat_ns" "$search_ns"

# A 3 TiB sparse image with two small FAT32 volumes, one beyond 2 TiB: only the few MiB
# that hold data are read, the holes are passed over.
sparse=$work/sparse.img
truncate -s 3T "$sparse"
mkfs.fat -F 32 --offset 2048 "$sparse" 65536 >/dev/null 2>&1
mkfs.fat -F 32 --offset $((5 * 1024 * 1024 * 1024)) "$sparse" 65536 >/dev/null 2>&1
t6=$(now); "$orvane" partitions --json "$sparse" >"$work/found_sparse"; t7=$(now)
echo "sparse 3 TiB image: $(du -h "$sparse" | cut -f1) of data, $(wc -l <"$work/found_sparse") partitions found in $(((t7 - t6) / 1000000)) ms"
