#!/usr/bin/env bash
# ext4 scan benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
# Makes an ext4 image with mkfs.ext4 (default features), fills it through the kernel's
# driver on a loop device (needs root), deletes a tenth of the files and five whole folders,
# then times the whole `orvane scan` process against reading the journal's own bytes (dd of
# its blocks) and a cat of the image, reports the peak memory, and counts how many deleted
# files are listed under their path, how many of them the journal still let the scan
# restore, whether those come back byte for byte, and how many of the rest came back under
# "[Orphaned files]" (today's kernels wipe a deleted entry: a name survives only in a
# journal copy of its directory block).
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
usage: bench/bench_ext4.sh [options]
  --files N        files written through the kernel's ext4 driver [$files]
  --size GIB       image size in GiB (sparse)                     [$size_gib]
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
    *) echo "bench_ext4: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

export PATH="$PATH:/usr/sbin:/sbin"
orvane=${ORVANE:-$repo/build/bin/orvane}
for tool in mkfs.ext4 debugfs mount umount python3 dd /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench_ext4: '$tool' not found (Debian: e2fsprogs python3 time)" >&2; exit 2; }
done
[ -x "$orvane" ] || { echo "bench_ext4: no orvane binary at '$orvane'" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "bench_ext4: mounting the image on a loop device needs root" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-ext4-bench.XXXXXX")
mnt=$work/mnt
cleanup() {
  mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
  if [ "$keep" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
export ORVANE_BLOCK_DEVICES=0
image=$work/ext4.img
mkdir -p "$mnt"
problems=0
problem() { echo "PROBLEM: $*"; problems=$((problems + 1)); }
now_ns() { date +%s%N; }
since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

echo "== OrvaneRecovery ext4 benchmark =="
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "image:   ${size_gib} GiB ext4 (mkfs.ext4 defaults), $files files in folders of $per_folder"

# ---- the image, written through the kernel ----
start=$(now_ns)
truncate -s "${size_gib}G" "$image"
mkfs.ext4 -q -F -E nodiscard "$image"
mount -o loop "$image" "$mnt"
python3 - "$mnt" "$files" "$per_folder" "$work/deleted.tsv" <<'PY'
import hashlib, os, random, shutil, subprocess, sys
root, files, per_folder, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(7)
written = {}
for n in range(files):
    folder = "%s/d%04d" % (root, n // per_folder)
    if n % per_folder == 0:
        os.mkdir(folder)
    # Mostly small files in one block; every 25th one of 8 to 64 KiB.
    size = rng.randrange(8192, 65536) if n % 25 == 0 else rng.randrange(1, 3000)
    data = rng.randbytes(size)
    path = "%s/f%06d.bin" % (folder, n)
    with open(path, "wb") as f:
        f.write(data)
    written[path] = hashlib.sha256(data).hexdigest(), size
subprocess.run(["sync"], check=True)
gone = []
for n in range(5, files, 10):
    gone.append("%s/d%04d/f%06d.bin" % (root, n // per_folder, n))
folders = [f for f in sorted(os.listdir(root)) if f.startswith("d")][-5:]
for path in gone:
    if not any(path.startswith("%s/%s/" % (root, f)) for f in folders):
        os.remove(path)
for f in folders:
    gone += [p for p in written if p.startswith("%s/%s/" % (root, f)) and p not in gone]
    shutil.rmtree("%s/%s" % (root, f))
with open(out, "w") as tsv:
    for path in gone:
        sha, size = written[path]
        tsv.write("%s\t%d\t%s\n" % (path[len(root):], size, sha))
PY
sync
umount "$mnt"
echo "built in $(since "$start") s through the kernel"

# The journal's blocks, as debugfs lists them, made into runs: "offset length" in bytes.
block=$(debugfs -R "stats" "$image" 2>/dev/null | awk -F': *' '/^Block size/ { print $2 }')
debugfs -R "blocks <8>" "$image" 2>/dev/null | tr ' ' '\n' | awk -v bs="$block" '
  NF { if ($1 == last + 1) { len++ } else { if (len) print start * bs, len * bs; start = $1; len = 1 } last = $1 }
  END { if (len) print start * bs, len * bs }' > "$work/journal_runs"
journal_bytes=$(awk '{ s += $2 } END { print s }' "$work/journal_runs")
read_journal() {
  local offset length
  while read -r offset length; do
    dd if="$image" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
  done < "$work/journal_runs" > /dev/null
}
cat_image() { cat "$image" > /dev/null; }
echo "journal: $(awk -v b="$journal_bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }') in $(wc -l < "$work/journal_runs") run(s)"

# ---- timings: one warm-up, then the fastest of $repeat ----
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
time_runs t_journal read_journal
time_runs t_img cat_image
/usr/bin/time -v -o "$work/scan.time" "$orvane" scan --json "$image" > "$work/scan.json" 2> /dev/null
rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/scan.time")

# ---- checks: the deleted files listed, restorable and restored whole ----
restore_dir=$work/restored
start=$(now_ns)
"$orvane" restore --to "$restore_dir" "$image" > "$work/restore.out" 2> "$work/restore.err" || true
t_restore=$(since "$start")
read -r listed restorable exact wrong orphaned <<<"$(python3 - "$work/deleted.tsv" "$work/scan.json" "$restore_dir" <<'PY'
import hashlib, json, os, sys
rows = {}
for line in open(sys.argv[2]):
    r = json.loads(line)
    rows[r["path"]] = r
listed = restorable = exact = wrong = 0
unnamed = set()  # hashes of the deleted files whose names the scan did not find
for line in open(sys.argv[1]):
    path, size, sha = line.rstrip("\n").split("\t")
    r = rows.get(path)
    if not r:
        unnamed.add(sha)
        continue
    listed += 1
    if not r.get("restorable"):
        continue
    restorable += 1
    try:
        same = hashlib.sha256(open(sys.argv[3] + path, "rb").read()).hexdigest() == sha
    except OSError:
        same = False
    if same:
        exact += 1
    elif not r["overwritten"]:
        wrong += 1
orphans = os.path.join(sys.argv[3], "[Orphaned files]")
found = set()
if os.path.isdir(orphans):
    for name in os.listdir(orphans):
        found.add(hashlib.sha256(open(os.path.join(orphans, name), "rb").read()).hexdigest())
print(listed, restorable, exact, wrong, len(unnamed & found))
PY
)"
deleted=$(wc -l < "$work/deleted.tsv")
[ "$wrong" -eq 0 ] || problem "$wrong restored files differ and were not marked possibly overwritten"

echo
printf '%-34s %10s %10s\n' "" "wall s" "cpu s"
printf '%-34s %10s %10s\n' "orvane scan (whole process)" "$t_scan_wall" "$t_scan_cpu"
printf '%-34s %10s %10s\n' "dd of the journal's blocks" "$t_journal_wall" "$t_journal_cpu"
printf '%-34s %10s %10s\n' "cat of the image" "$t_img_wall" "$t_img_cpu"
echo "scan against dd of the journal: $(awk -v a="$t_scan_wall" -v b="$t_journal_wall" 'BEGIN { printf "%.1fx", (b > 0 ? a / b : 0) }')"
echo "peak memory of the scan: $((rss / 1024)) MiB"
echo "deleted files: $deleted; listed under their path $listed; restorable from the journal $restorable; restored byte for byte $exact"
echo "deleted files whose name no journal copy kept, restored whole under [Orphaned files]: $orphaned of $((deleted - listed))"
echo "restore of everything listed: $t_restore s ($(tail -n 1 "$work/restore.out"))"
if [ "$problems" -gt 0 ]; then
  echo "$problems problem(s)"
  exit 1
fi
