#!/usr/bin/env bash
# Restore and scan-file benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
# 1. Folders nested deep: an NTFS volume made with mkntfs and filled through ntfs-3g (needs
#    root and /dev/fuse) whose folders are nested N deep, with a deleted file at the
#    bottom; times `orvane scan` and `orvane restore` and prints their peak memory.
# 2. A scan file of a million records (written here in the plain layout) for a sparse
#    image: times loading it and restoring one record, with the peak memory.
# 3. Eight thousand records that all restore under one name: times the restore.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
orvane=${ORVANE:-$repo/build/bin/orvane}
depth=${1:-4000}
records=${2:-1000000}
same_names=${3:-8000}

for tool in mkntfs ntfs-3g python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || PATH=$PATH:/usr/sbin:/sbin command -v "$tool" >/dev/null ||
    { echo "bench_restore.sh: $tool is missing" >&2; exit 2; }
done
export PATH=$PATH:/usr/sbin:/sbin MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
[ -x "$orvane" ] || { echo "bench_restore.sh: build orvane first ($orvane)" >&2; exit 2; }

work=$(mktemp -d)
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
measure() {  # measure LABEL COMMAND... : elapsed seconds and peak memory of one run
  local label=$1
  shift
  /usr/bin/time -f "%e %U %M" -o "$work/time" "$@" >"$work/out" 2>"$work/err" || true
  read -r seconds user kib <"$work/time"
  printf '%-40s %7s s (%s s CPU) %6s MiB   %s\n' "$label" "$seconds" "$user" "$((kib / 1024))" \
    "$(tail -n1 "$work/out" | cut -c1-60)"
}

echo "== $depth folders nested in one another (NTFS through ntfs-3g)"
# mtools takes paths of at most 128 characters, so FAT cannot be nested this deep with it;
# ntfs-3g can, one level at a time from the folder above.
img=$work/nested.img
truncate -s 256M "$img"
mkntfs -F -f -q -L NESTED "$img"
mkdir "$work/mnt"
ntfs-3g "$img" "$work/mnt"
start=$(date +%s)
python3 - "$work/mnt" "$depth" <<'PY'
import os, sys
os.chdir(sys.argv[1])
for _ in range(int(sys.argv[2])):
    os.mkdir("d")
    os.chdir("d")
with open("bottom.bin", "wb") as f:
    f.write(os.urandom(3000))
with open("/proc/self/cwd/bottom.bin", "rb") as f:
    open(os.environ.get("TMPDIR", "/tmp") + "/.bench-bottom", "wb").write(f.read())
os.remove("bottom.bin")
PY
mv "${TMPDIR:-/tmp}/.bench-bottom" "$work/bottom.bin"
umount "$work/mnt"
echo "(made in $(($(date +%s) - start)) s)"
measure "orvane scan --json (list every folder)" "$orvane" scan --json "$img"
echo "  $(grep -c '"dir":true' "$work/out") folders listed"
measure "orvane restore" "$orvane" restore --to "$work/nested-out" "$img"
found=$(cd "$work/nested-out" && find . -name 'bottom.bin' | head -n1)
if [ -z "$found" ]; then
  echo "  the file at the bottom was NOT restored"
elif (cd "$work/nested-out" && cmp -s "$found" "$work/bottom.bin"); then
  echo "  the file at the bottom is exact ($(($(tr -cd / <<<"$found" | wc -c) - 1)) folders deep)"
else
  echo "  the file at the bottom is NOT exact"
fi
rm -rf "$work/nested-out"

echo "== a scan file of $records records"
big=$work/big.img
truncate -s 8G "$big"
python3 - "$big" "$work/million.sav" "$records" <<'PY'
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
ls -l "$work/million.sav" | awk '{print "  scan file: " $5 " bytes"}'
measure "orvane restore --from (one record)" "$orvane" restore --from "$work/million.sav" \
  --image "$big" --match 00000007.jpg --to "$work/million-out"

echo "== $same_names records restored under one name"
python3 - "$big" "$work/same.sav" "$same_names" <<'PY'
import struct, sys, os
image, out, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(out, "wb") as f:
    f.write(os.path.realpath(image).encode().ljust(256, b"\0"))
    for i in range(count):
        f.write(struct.pack("<QQQ", 0, i * 4096, 10) + b"jpg\0\0\0\0\0")
PY
measure "orvane restore --from (all, one name)" "$orvane" restore --from "$work/same.sav" \
  --image "$big" --to "$work/same-out"
echo "  $(find "$work/same-out" -type f | wc -l) files written"
