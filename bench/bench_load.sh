#!/usr/bin/env bash
# Loading large results, as the scan page and the orvane tool do it. Run by hand (never in
# CI); see bench/README.md.
#
#   bench/bench_load.sh [RECORDS]      # default 1,000,000
#
# 1. A scan file of RECORDS records (written here in the plain layout) for a sparse 8 GiB
#    image: `orvane restore --from` of one record (loading, listing, restoring) with its time
#    and peak memory, for ORVANE_BEFORE too when it names another build of orvane; then
#    bench_load's stages of the scan page (load, folder tree, the largest folder in the
#    table), each with its time and memory.
# 2. The NTFS volume of folders nested 4000 deep (tests/fixtures/ntfs/ntfsnested.img.xz):
#    bench_load's quick scan and folder tree, then every folder's path built whole for
#    comparison, as the tree once did.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bin=${BIN:-$repo/build/bin}
orvane=${ORVANE:-$bin/orvane}
records=${1:-1000000}
for tool in python3 xz /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench_load.sh: $tool is missing" >&2; exit 2; }
done
for program in "$orvane" "$bin/bench_load"; do
  [ -x "$program" ] || { echo "bench_load.sh: build $(basename "$program") first" >&2; exit 2; }
done
export ORVANE_DATA_DIR=${ORVANE_DATA_DIR:-$repo/data} ORVANE_BLOCK_DEVICES=0 LC_ALL=C.UTF-8

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
measure() {  # measure LABEL COMMAND... : elapsed and CPU seconds and peak memory of one run
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/out" 2>"$work/err" || true
  read -r seconds user system kib <"$work/time"
  printf '%-40s %7s s (%s s user, %s s system) %6s MiB   %s\n' "$label" "$seconds" "$user" \
    "$system" "$((kib / 1024))" "$(tail -n1 "$work/out" | cut -c1-50)"
}

echo "== a scan file of $records records"
big=$work/big.img
truncate -s 8G "$big"
python3 - "$big" "$work/records.sav" "$records" <<'PY'
import struct, sys, os
image, out, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(out, "wb") as f:
    f.write(os.path.realpath(image).encode().ljust(256, b"\0"))
    step = (8 << 30) // count
    chunk = bytearray()
    for i in range(count):
        chunk += struct.pack("<QQQ", i, i * step, 100) + b"jpg\0\0\0\0\0"
        if len(chunk) >= 1 << 20:
            f.write(chunk)
            chunk.clear()
    f.write(chunk)
PY
if [ -n "${ORVANE_BEFORE:-}" ]; then
  measure "before: orvane restore --from (one)" "$ORVANE_BEFORE" restore --from "$work/records.sav" \
    --image "$big" --match 00000007.jpg --to "$work/before-out"
fi
measure "orvane restore --from (one record)" "$orvane" restore --from "$work/records.sav" \
  --image "$big" --match 00000007.jpg --to "$work/out-one"
echo "-- the scan page's stages (bench_load scan)"
"$bin/bench_load" scan "$work/records.sav" "$big" 2>/dev/null

echo "== folders nested 4000 deep (bench_load tree)"
xz -dc "$repo/tests/fixtures/ntfs/ntfsnested.img.xz" >"$work/nested.img"
"$bin/bench_load" tree "$work/nested.img" 2>/dev/null
