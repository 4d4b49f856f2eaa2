#!/usr/bin/env bash
# NTFS scan benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
# Makes an NTFS image with mkntfs and fills it through the ntfs-3g FUSE driver (needs
# /dev/fuse), deletes a tenth of the files, then times the whole `orvane scan` process
# against reading the $MFT's own bytes (dd of its runs, cat of a copy) and a cat of the whole
# image, reports the peak memory above a scan of an empty volume per listed file, and checks
# that every deleted file is listed and restored byte for byte.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
files=100000
per_folder=1000
size_gib=2
repeat=3
keep=0

usage() {
  cat <<EOF
usage: bench/bench_ntfs.sh [options]
  --files N        files written through ntfs-3g         [$files]
  --size GIB       image size in GiB (sparse)            [$size_gib]
  --repeat N       measured runs after a warm-up; the fastest counts [$repeat]
  --keep           keep the work folder
environment: ORVANE (default $repo/build/bin/orvane), TMPDIR (default /tmp)
EOF
}
while [ $# -gt 0 ]; do
  case "$1" in
    --files) files=$2; shift 2 ;;
    --size) size_gib=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench_ntfs: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

export PATH="$PATH:/usr/sbin:/sbin"
orvane=${ORVANE:-$repo/build/bin/orvane}
for tool in mkntfs ntfs-3g fusermount python3 dd /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench_ntfs: '$tool' not found (Debian: ntfs-3g python3 time)" >&2; exit 2; }
done
[ -x "$orvane" ] || { echo "bench_ntfs: no orvane binary at '$orvane'" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-ntfs-bench.XXXXXX")
mnt=$work/mnt
cleanup() {
  mountpoint -q "$mnt" 2>/dev/null && fusermount -u "$mnt"
  if [ "$keep" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
export ORVANE_BLOCK_DEVICES=0
image=$work/ntfs.img
empty=$work/empty.img
mkdir -p "$mnt"
problems=0
problem() { echo "PROBLEM: $*"; problems=$((problems + 1)); }
now_ns() { date +%s%N; }
since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

echo "== OrvaneRecovery NTFS benchmark =="
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "image:   ${size_gib} GiB NTFS, 4 KiB clusters, $files files in folders of $per_folder, a tenth deleted"

# ---- the image, written through the driver ----
start=$(now_ns)
truncate -s "${size_gib}G" "$image" "$empty"
mkntfs -F -Q -c 4096 -L BENCH "$image" > "$work/mkntfs.log" 2>&1
mkntfs -F -Q -c 4096 -L EMPTY "$empty" >> "$work/mkntfs.log" 2>&1
ntfs-3g -o big_writes "$image" "$mnt"
python3 - "$mnt" "$files" "$per_folder" "$work/deleted.tsv" <<'PY'
import hashlib, os, random, sys
root, files, per_folder, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(7)
written = []
for n in range(files):
    folder = "%s/d%04d" % (root, n // per_folder)
    if n % per_folder == 0:
        os.mkdir(folder)
    # Mostly small files held in the record; every 25th one of 8 to 64 KiB in clusters.
    size = rng.randrange(8192, 65536) if n % 25 == 0 else rng.randrange(0, 600)
    data = rng.randbytes(size)
    path = "%s/f%06d.bin" % (folder, n)
    with open(path, "wb") as f:
        f.write(data)
    written.append((path, data))
with open(out, "w") as tsv:
    for n in range(0, files, 10):
        path, data = written[n]
        os.remove(path)
        tsv.write("%s\t%d\t%s\n" % (path[len(root):], len(data), hashlib.sha256(data).hexdigest()))
PY
fusermount -u "$mnt"
echo "built in $(since "$start") s through ntfs-3g"

# The $MFT's runs, from the boot sector and record 0 (read here by a few lines of Python):
# "offset length" in bytes, one line per run.
python3 - "$image" > "$work/mft_runs" <<'PY'
import struct, sys
f = open(sys.argv[1], "rb")
boot = f.read(512)
cluster = struct.unpack_from("<H", boot, 0x0B)[0] * boot[0x0D]
f.seek(struct.unpack_from("<Q", boot, 0x30)[0] * cluster)
rec = bytearray(f.read(1024))
usa = struct.unpack_from("<H", rec, 4)[0]
rec[510:512] = rec[usa + 2:usa + 4]
rec[1022:1024] = rec[usa + 4:usa + 6]
off = struct.unpack_from("<H", rec, 0x14)[0]
while True:
    kind, length = struct.unpack_from("<II", rec, off)
    if kind == 0x80:
        break
    off += length
size = struct.unpack_from("<Q", rec, off + 0x30)[0]
runs = rec[off + struct.unpack_from("<H", rec, off + 0x20)[0]:off + length]
pos, lcn = 0, 0
while runs[pos] and size > 0:
    h = runs[pos]; ls, os_ = h & 15, h >> 4
    count = int.from_bytes(runs[pos + 1:pos + 1 + ls], "little")
    lcn += int.from_bytes(runs[pos + 1 + ls:pos + 1 + ls + os_], "little", signed=True)
    piece = min(size, count * cluster)
    print(lcn * cluster, piece)
    size -= piece
    pos += 1 + ls + os_
PY
mft_bytes=$(awk '{ s += $2 } END { print s }' "$work/mft_runs")
mft_records=$((mft_bytes / 1024))
read_mft() {
  local offset length
  while read -r offset length; do
    dd if="$image" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
  done < "$work/mft_runs" > /dev/null
}
dd_mft() {
  local offset length
  while read -r offset length; do
    dd if="$image" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
  done < "$work/mft_runs"
}
dd_mft > "$work/mft.bin"
cat_mft() { cat "$work/mft.bin" > /dev/null; }
cat_image() { cat "$image" > /dev/null; }
echo "\$MFT: $mft_records records, $(awk -v b="$mft_bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }') in $(wc -l < "$work/mft_runs") run(s)"

# ---- timings: one warm-up, then the fastest of $repeat ----
# time_runs VAR CMD... : one warm-up run, then $repeat measured ones; VAR_wall gets the
# fastest wall time and VAR_cpu the smallest user + system time (children included), in
# seconds. On a loaded machine the wall time also counts waiting for a core.
time_runs() {
  local var=$1 n t wall="" cpu=""
  shift
  "$@" > /dev/null
  for ((n = 0; n < repeat; n++)); do
    t=$( { TIMEFORMAT='%R %U %S'; time "$@" > /dev/null; } 2>&1 | tail -n 1)
    read -r w u s <<<"$t"
    c=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.3f", u + s }')
    if [ -z "$wall" ] || awk -v a="$w" -v b="$wall" 'BEGIN { exit !(a < b) }'; then wall=$w; fi
    if [ -z "$cpu" ] || awk -v a="$c" -v b="$cpu" 'BEGIN { exit !(a < b) }'; then cpu=$c; fi
  done
  printf -v "${var}_wall" '%s' "$wall"
  printf -v "${var}_cpu" '%s' "$cpu"
}
time_runs t_scan "$orvane" scan --json "$image"
time_runs t_empty "$orvane" scan --json "$empty"
time_runs t_dd read_mft
time_runs t_cat cat_mft
time_runs t_img cat_image
engine_bench=${ORVANE_BENCH_ENGINE:-$(dirname "$orvane")/bench_ntfs_engine}
engine_figures="n/a n/a"
if [ -x "$engine_bench" ]; then
  engine_figures=$("$engine_bench" "$image" "$repeat" | cut -d' ' -f1,2)
fi
read -r t_engine_wall t_engine_cpu <<<"$engine_figures"
/usr/bin/time -v -o "$work/scan.time" "$orvane" scan --json "$image" > "$work/scan.json"
/usr/bin/time -v -o "$work/empty.time" "$orvane" scan --json "$empty" > /dev/null
rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/scan.time")
rss_empty=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/empty.time")
"$orvane" scan "$image" 2> "$work/scan.err" > /dev/null
read_count=$(sed -n 's/^\([0-9]*\) entries read.*/\1/p' "$work/scan.err")
listed=$(wc -l < "$work/scan.json")
listed_files=$(grep -c '"dir":false' "$work/scan.json" || true)

# ---- checks: every deleted file listed and restored whole ----
restore_dir=$work/restored
start=$(now_ns)
"$orvane" restore --to "$restore_dir" "$image" > "$work/restore.out"
t_restore=$(since "$start")
missing=$(python3 - "$work/deleted.tsv" "$work/scan.json" "$restore_dir" <<'PY'
import hashlib, json, sys
listed = {json.loads(l)["path"] for l in open(sys.argv[2])}
bad = 0
for line in open(sys.argv[1]):
    path, size, sha = line.rstrip("\n").split("\t")
    try:
        ok = path in listed and hashlib.sha256(open(sys.argv[3] + path, "rb").read()).hexdigest() == sha
    except OSError:
        ok = False
    bad += not ok
print(bad)
PY
)
deleted=$(wc -l < "$work/deleted.tsv")
[ "$missing" = 0 ] || problem "$missing of $deleted deleted files were not listed or not restored whole"

echo
# shellcheck disable=SC2154
awk -v t="$t_scan_wall" -v tc="$t_scan_cpu" -v e="$t_empty_wall" -v d="$t_dd_wall" -v dc="$t_dd_cpu" \
    -v r="$mft_records" -v rc="$read_count" -v b="$mft_bytes" 'BEGIN {
  printf "scan:     %.3f s wall, %.3f s CPU  %.0f MFT records/s  (%d records returned by the library)\n", t, tc, r / t, rc
  printf "          a scan of an empty volume (start-up, finding the volume): %.3f s wall\n", e
  printf "dd:       %.3f s wall, %.3f s CPU  %.1f MB/s of $MFT bytes\n", d, dc, b / d / 1e6
  printf "ratio:    scan / dd of the $MFT = %.2f wall, %.2f CPU  (target: at most 2)\n", t / d, tc / (dc > 0 ? dc : 0.001)
}'
# shellcheck disable=SC2154
awk -v t="$t_scan_wall" -v tc="$t_scan_cpu" -v c="$t_cat_wall" -v cc="$t_cat_cpu" -v i="$t_img_wall" \
    -v ic="$t_img_cpu" -v b="$mft_bytes" -v g="$size_gib" 'BEGIN {
  printf "cat:      $MFT copy (%.1f MiB) %.3f s wall, %.3f s CPU; whole image (%d GiB) %.3f s wall, %.3f s CPU\n",
    b / 1048576, c, cc, g, i, ic
  printf "process:  orvane scan %.3f s wall, %.3f s CPU = %.2f x cat of the $MFT, %.2f x cat of the image (wall)\n",
    t, tc, t / (c > 0 ? c : 0.001), t / (i > 0 ? i : 0.001)
}'
if [ "$t_engine_wall" != n/a ]; then
  awk -v t="$t_engine_wall" -v tc="$t_engine_cpu" -v d="$t_dd_wall" -v r="$mft_records" 'BEGIN {
    printf "engine:   %.3f s wall, %.3f s CPU  %.0f MFT records/s  (the engine thread alone, in process)\n", t, tc, r / t
    printf "ratio:    engine / dd of the $MFT = %.2f wall\n", t / d
  }'
else
  echo "engine:   n/a (build the bench_ntfs_engine target)"
fi
awk -v a="$rss" -v e="$rss_empty" -v k="$listed" -v f="$listed_files" 'BEGIN {
  printf "memory:   peak %.1f MiB; empty volume %.1f MiB; %d rows listed, %d of them files\n",
    a / 1024, e / 1024, k, f
  printf "          %.0f bytes per listed file above the empty run  (target: at most 300)\n",
    (a - e) * 1024 / (f ? f : 1)
}'
echo "restore:  $(cat "$work/restore.out") in $t_restore s (the time includes the scan)"
echo "checked:  $deleted deleted files, $missing missing or different"
[ "$problems" = 0 ]
