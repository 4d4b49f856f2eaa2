#!/usr/bin/env bash
# What naming a deleted NTFS file from the folder indexes costs. Run by hand (never in CI);
# see bench/README.md.
#
# Makes an NTFS image through the ntfs-3g FUSE driver (needs /dev/fuse) with many files in
# folders and one deleted file in thousands of runs, whose name the driver left only in its
# emptied extension record and in the slack of its folder's index block. Two copies: as the driver left it (the name is read from the
# extension record), and with that record's leftover bytes cleared, so that the scan must
# read every folder's index to name the file. Times `orvane scan` on both and checks that
# the file is listed under its path in both.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
files=20000
per_folder=500
repeat=3

usage() {
  cat <<EOF
usage: bench/bench_ntfs_names.sh [--files N] [--repeat N]
  --files N        files written through ntfs-3g, in folders of $per_folder   [$files]
  --repeat N       measured runs after a warm-up; the fastest counts     [$repeat]
environment: ORVANE (default $repo/build/bin/orvane), TMPDIR (default /tmp)
EOF
}
while [ $# -gt 0 ]; do
  case "$1" in
    --files) files=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench_ntfs_names: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

export PATH="$PATH:/usr/sbin:/sbin"
orvane=${ORVANE:-$repo/build/bin/orvane}
for tool in mkntfs ntfs-3g fusermount python3; do
  command -v "$tool" >/dev/null || { echo "bench_ntfs_names: '$tool' not found" >&2; exit 2; }
done
[ -x "$orvane" ] || { echo "bench_ntfs_names: no orvane binary at '$orvane'" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-ntfs-names.XXXXXX")
mnt=$work/mnt
cleanup() {
  mountpoint -q "$mnt" 2>/dev/null && fusermount -u "$mnt"
  rm -rf "$work"
}
trap cleanup EXIT
export ORVANE_BLOCK_DEVICES=0
named=$work/named.img
nameless=$work/nameless.img
mkdir -p "$mnt"
now_ns() { date +%s%N; }
since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

echo "== OrvaneRecovery NTFS index naming benchmark =="
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
truncate -s 1G "$named"
mkntfs -F -Q -c 4096 -L NAMES "$named" > "$work/mkntfs.log" 2>&1
ntfs-3g -o big_writes "$named" "$mnt"
number=$(python3 - "$mnt" "$files" "$per_folder" <<'PY'
import os, sys
root, files, per_folder = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for n in range(files):
    folder = "%s/d%04d" % (root, n // per_folder)
    if n % per_folder == 0:
        os.mkdir(folder)
    with open("%s/file-%06d.txt" % (folder, n), "wb") as f:
        f.write(b"x" * (n % 700))
# A long name sorted just before the file's, deleted first: its removal shifts the file's
# index entry left and leaves a copy after the block's used bytes, which outlives the
# file's own removal.
longer = root + "/d0000/r-" + "x" * 200 + ".txt"
open(longer, "wb").close()
path = root + "/d0000/scattered.bin"
with open(path, "wb") as f:
    for i in range(3000):  # a cluster of data, then three of hole: thousands of runs
        f.seek(i * 16384)
        f.write(b"s" * 4096)
print(os.stat(path).st_ino)
os.remove(longer)
os.remove(path)
PY
)
fusermount -u "$mnt"
cp --sparse=always "$named" "$nameless"
python3 "$repo/tests/fixtures/clear_ntfs_extensions.py" "$nameless" "$number" $((number + 4096))

time_scan() {
  local image=$1 best="" t start
  "$orvane" scan --json "$image" > "$work/list.json"
  for _ in $(seq "$repeat"); do
    start=$(now_ns)
    "$orvane" scan --json "$image" > "$work/list.json"
    t=$(since "$start")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  grep -q '"path":"/d0000/scattered.bin"' "$work/list.json" ||
    echo "PROBLEM: $(basename "$image"): the deleted file is not listed under its path" >&2
  echo "$best"
}
a=$(time_scan "$named")
b=$(time_scan "$nameless")
echo "files: $files in $((files / per_folder)) folders"
echo "scan, name in the emptied extension record: ${a} s"
echo "scan, name only in the folder indexes:      ${b} s"
awk -v a="$a" -v b="$b" 'BEGIN { printf "ratio: %.2f\n", b / a }'
