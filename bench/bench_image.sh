#!/usr/bin/env bash
# Imaging benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
#     bench/bench_image.sh [SIZE_MIB]     (default 2048)
#
# Makes an image of SIZE MiB of pseudo-random data, reads it with cat until it sits in the
# page cache, then in the same run copies it with `cat SOURCE > FILE` and with
# `orvane image --map MAP SOURCE FILE` (both into the same folder, each output removed
# before the next) and prints MB/s for each and the ratio. The target is at least half of
# cat's speed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
size_mib=${1:-2048}
orvane=${ORVANE:-$repo/build/bin/orvane}
[ -x "$orvane" ] || { echo "build orvane first: cmake --build build --target orvane" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/bench_image.XXXXXX")
trap 'rm -rf "$work"' EXIT
img=$work/disk.img

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
cat "$img" >/dev/null
cat "$img" >/dev/null

now() { date +%s.%N; }
rate() { python3 -c "import sys; print('%.1f' % ($size_mib * 1.048576 / (float(sys.argv[2]) - float(sys.argv[1]))))" "$1" "$2"; }

t0=$(now)
cat "$img" >"$work/cat.out"
sync -f "$work/cat.out"
t1=$(now)
rm -f "$work/cat.out"
t2=$(now)
ORVANE_BLOCK_DEVICES=0 "$orvane" image --map "$work/copy.map" "$img" "$work/copy.out" >"$work/image.log"
sync -f "$work/copy.out"
t3=$(now)
cmp -s "$img" "$work/copy.out" || { echo "the copy differs from the source" >&2; exit 1; }
rm -f "$work/copy.out"

cat_rate=$(rate "$t0" "$t1")
image_rate=$(rate "$t2" "$t3")
echo "image of ${size_mib} MiB in the page cache"
echo "cat:          $cat_rate MB/s"
echo "orvane image: $image_rate MB/s ($(cat "$work/image.log"))"
python3 -c "import sys; print('ratio (orvane image / cat): %.2f (target >= 0.50)' % (float(sys.argv[1]) / float(sys.argv[2])))" "$image_rate" "$cat_rate"
