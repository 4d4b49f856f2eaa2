#!/usr/bin/env bash
# FAT scan and restore benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
# Builds a large FAT32 superfloppy image (no partition table) with make_fat_bench_image.py,
# checks it with fsck.fat, then times `orvane scan` and `orvane restore` against plain reads
# of the same bytes with cat, and checks what was restored against the checksums the
# generator recorded.
# The gen_* and check figures come from files the script sources, the t_* times from
# printf -v.
# shellcheck disable=SC2154
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

size_gib=3
files=100000
folders=1200
deleted_percent=10
deleted_folders=12
cluster_kib=4
seed=20240601
keep=0
repeat=1
restore_parent=""
baseline=""

usage() {
  cat <<EOF
usage: bench/bench_fat.sh [options]
  --size GIB              image size in GiB (sparse)            [$size_gib]
  --files N               files in the image                    [$files]
  --folders N             folders in the image                  [$folders]
  --deleted-percent P     share of files deleted                [$deleted_percent]
  --deleted-folders N     leaf folders deleted whole            [$deleted_folders]
  --cluster-kib K         cluster size in KiB (1 2 4 8 16 32)   [$cluster_kib]
  --seed N                generator seed                        [$seed]
  --restore-parent DIR    restore (and copy) into a new folder under DIR, e.g. /dev/shm
                          to take the disk's write speed out of the figures [work folder]
  --repeat N              measured runs after the warm-up; the fastest counts [$repeat]
  --baseline ORVANE       also time the scan of another orvane build (one without the
                          search for orphaned folders) to show what that search costs
  --keep                  keep the work folder (image, restored files)
environment: ORVANE (the orvane binary; default $repo/build/bin/orvane),
             TMPDIR (where the work folder goes; default /tmp), PYTHON (default python3)
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    --size) size_gib=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --folders) folders=$2; shift 2 ;;
    --deleted-percent) deleted_percent=$2; shift 2 ;;
    --deleted-folders) deleted_folders=$2; shift 2 ;;
    --cluster-kib) cluster_kib=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --restore-parent) restore_parent=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench_fat: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

orvane=${ORVANE:-$repo/build/bin/orvane}
if [ -x /usr/bin/python3 ]; then python=${PYTHON:-/usr/bin/python3}; else python=${PYTHON:-python3}; fi
for tool in mkfs.fat fsck.fat mdir sha256sum "$python"; do
  command -v "$tool" >/dev/null || { echo "bench_fat: '$tool' not found (Debian: dosfstools mtools coreutils python3)" >&2; exit 2; }
done
[ -x "$orvane" ] || { echo "bench_fat: no orvane binary at '$orvane' (build it or set ORVANE)" >&2; exit 2; }
case "$repeat" in '' | *[!0-9]* | 0) echo "bench_fat: --repeat needs a number from 1" >&2; exit 2 ;; esac
case "$cluster_kib" in 1|2|4|8|16|32) ;; *) echo "bench_fat: --cluster-kib must be 1, 2, 4, 8, 16 or 32" >&2; exit 2 ;; esac
gnu_time=""
if [ -x /usr/bin/time ] && /usr/bin/time -v true >/dev/null 2>&1; then gnu_time=/usr/bin/time; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-bench.XXXXXX")
out=$work
cleanup() {
  if [ "$keep" = 1 ]; then
    echo "work folder kept: $work"
    [ "$out" = "$work" ] || echo "restored files kept: $out"
  else
    rm -rf "$work"
    [ "$out" = "$work" ] || rm -rf "$out"
  fi
}
trap cleanup EXIT
if [ -n "$restore_parent" ]; then
  out=$(mktemp -d "$restore_parent/orvane-bench-restore.XXXXXX")
fi
export ORVANE_BLOCK_DEVICES=0
image=$work/fat32.img
problems=0

problem() {
  echo "PROBLEM: $*"
  problems=$((problems + 1))
}

now_ns() { date +%s%N; }

# seconds elapsed since a now_ns stamp, as a decimal
since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

# div A B [FORMAT] [UNIT]: A / B / UNIT, or n/a when B is 0
div() { awk -v a="$1" -v b="$2" -v f="${3:-%.2f}" -v u="${4:-1}" 'BEGIN { if (b + 0 == 0) print "n/a"; else printf f, a / b / u }'; }

# measure VAR PREPARE CMD...: runs PREPARE then CMD once to warm the page cache, then
# $repeat times PREPARE (not timed) and CMD (timed); VAR gets the fastest measured time in
# seconds. PREPARE is a command too (':' for none).
measure() {
  local var=$1 prepare=$2
  shift 2
  "$prepare"
  "$@"
  local best="" start elapsed n
  for ((n = 0; n < repeat; n++)); do
    "$prepare"
    start=$(now_ns)
    "$@"
    elapsed=$(since "$start")
    if [ -z "$best" ] || awk -v a="$elapsed" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$elapsed; fi
  done
  printf -v "$var" '%s' "$best"
}

cat_to_null() { cat "$@" > /dev/null; }

mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }

echo "== OrvaneRecovery FAT benchmark =="
echo "orvane:  $orvane"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "restore: into $out ($(df -P "$out" | awk 'NR == 2 { print $1 }'))"
echo "image:   ${size_gib} GiB FAT32 superfloppy, ${cluster_kib} KiB clusters, $files files in $folders folders, ${deleted_percent}% deleted, seed $seed"
echo "Every time is the fastest of $repeat measured run(s) after one warm-up run that fills the page"
echo "cache (dropping the cache needs root). MB/s and GB/s count 10^6 and 10^9 bytes."
echo

# ---- the image ----
start=$(now_ns)
truncate -s "${size_gib}G" "$image"
mkfs.fat -F 32 -s $((cluster_kib * 2)) -n ORVBENCH "$image" > "$work/mkfs.log"
"$python" "$here/make_fat_bench_image.py" "$image" --files "$files" --folders "$folders" \
  --deleted-percent "$deleted_percent" --deleted-folders "$deleted_folders" --seed "$seed" \
  --manifest "$work/manifest.tsv" --summary "$work/summary.env" --folder-manifest "$work/folders.tsv"
# shellcheck disable=SC1091
source "$work/summary.env"
echo "built in $(since "$start") s: $gen_folders folders ($gen_deleted_folders deleted), $gen_files files," \
  "$gen_deleted_files deleted ($(mib "$gen_deleted_bytes") of data, $gen_split_files split around live files)"
echo "  $gen_short_entries short entries + long-name parts and dot entries = $gen_slots directory slots;" \
  "$gen_clusters_used of $gen_clusters clusters used; image uses $(du -k "$image" | cut -f1) KiB on disk"
if fsck.fat -n "$image" > "$work/fsck.log" 2>&1; then
  echo "  fsck.fat -n: clean ($(tail -n 1 "$work/fsck.log"))"
else
  problem "fsck.fat -n reports errors in the generated image:"
  sed 's/^/    /' "$work/fsck.log" | head -n 20
fi
if root_listing=$(MTOOLS_SKIP_CHECK=1 mdir -i "$image" ::/ 2>&1); then
  echo "  mdir ::/ $(grep -c '<DIR>' <<<"$root_listing") folders in the root"
else
  problem "mdir cannot read the root folder: $root_listing"
fi
[ "$gen_slots" -ge 100000 ] || echo "  note: fewer than 100,000 directory slots; raise --files"
echo

# ---- scan ----
# The JSON list kept for the checks comes from a run of its own; timed runs write to
# /dev/null, under GNU time for the peak memory when it is there.
"$orvane" scan --json "$image" > "$work/scan.json"
scan_json() {
  if [ -n "$gnu_time" ]; then
    "$gnu_time" -v -o "$work/scan.time" "$orvane" scan --json "$image" > /dev/null
  else
    "$orvane" scan --json "$image" > /dev/null
  fi
}
measure t_scan : scan_json
if [ -n "$gnu_time" ]; then
  scan_rss_kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/scan.time")
  scan_rss="$(div "$scan_rss_kib" 1024 %.1f) MiB"
else
  scan_rss="n/a (install GNU time)"
fi
"$orvane" scan "$image" > /dev/null 2> "$work/scan.err"
read -r entries_read listed < <(sed -n 's/^\([0-9]*\) entries read, \([0-9]*\) listed$/\1 \2/p' "$work/scan.err" | tail -n 1) || true
if [ -z "${entries_read:-}" ]; then
  problem "the text-mode scan did not report its entries: $(cat "$work/scan.err")"
  entries_read=0
  listed=0
fi
[ "$entries_read" = "$gen_expected_reads" ] ||
  problem "scan read $entries_read entries; a walk of every folder returns $gen_expected_reads"

image_bytes=$(stat -c %s "$image")
measure t_cat_image : cat_to_null "$image"
read_metadata() {
  dd if="$image" bs=1M iflag=skip_bytes,count_bytes skip="$gen_metadata_offset" count="$gen_metadata_bytes" status=none > /dev/null
}
measure t_cat_meta : read_metadata
# The fixed cost of a scan (start-up, finding the volume, output): an empty FAT32 volume.
empty=$work/empty.img
truncate -s 40M "$empty"
mkfs.fat -F 32 -s 1 "$empty" > /dev/null
scan_empty() { "$orvane" scan --json "$empty" > /dev/null; }
measure t_scan_empty : scan_empty
rm -f "$empty"
scan_rate=$(div "$entries_read" "$t_scan" %.0f)
scan_net_rate=$(awk -v n="$entries_read" -v t="$t_scan" -v e="$t_scan_empty" 'BEGIN { if (t > e) printf "%.0f", n / (t - e); else print "n/a" }')
cat_entry_rate=$(div "$entries_read" "$t_cat_meta" %.0f)
echo "scan:    $scan_rate entries/s ($entries_read entries read, $listed listed, $t_scan s, peak RSS $scan_rss)"
echo "  scan of an empty FAT32 volume: $t_scan_empty s (start-up and fixed costs) | $scan_net_rate entries/s without them"
echo "  cat of image:           $(div "$image_bytes" "$t_cat_image" %.2f 1e9) GB/s ($(mib "$image_bytes") apparent size, mostly holes, $t_cat_image s)" \
  "| scan takes $(div "$t_scan" "$t_cat_image") x its time"
echo "  read of FAT + folders:  $(div "$gen_metadata_bytes" "$t_cat_meta" %.0f 1e6) MB/s ($(mib "$gen_metadata_bytes"), $t_cat_meta s)" \
  "= $cat_entry_rate entries/s | ratio scan/read: $(div "$scan_rate" "$cat_entry_rate" %.4f)"
# The search for orphaned folders reads the FAT and every free cluster once, in order: its
# cost is the difference to a build without it.
if [ -n "$baseline" ]; then
  scan_baseline() { "$baseline" scan --json "$image" > /dev/null; }
  measure t_scan_baseline : scan_baseline
  echo "  orphan search: scan $t_scan s against $t_scan_baseline s without it ($baseline)" \
    "= $(div "$t_scan" "$t_scan_baseline") x, the cat of the whole image $t_cat_image s"
fi
echo

# ---- restore ----
# Each run restores into an empty folder; the output of the last run is checked. Writes
# of one run are flushed before the next starts, so no run pays for another's writeback.
clear_restored() { rm -rf "$out/restored"; sync; }
restore_all() { "$orvane" restore --to "$out/restored" "$image" > "$work/restore.out" 2> "$work/restore.err" || true; }
measure t_restore clear_restored restore_all
restore_line=$(grep -E '^restored [0-9]+ of [0-9]+ files, [0-9]+ failed, [0-9]+ possibly overwritten$' "$work/restore.out" | tail -n 1 || true)
read -r r_done r_total r_failed r_overwritten < <(sed -n 's/^restored \([0-9]*\) of \([0-9]*\) files, \([0-9]*\) failed, \([0-9]*\) possibly overwritten$/\1 \2 \3 \4/p' <<<"$restore_line") || true
if [ -z "${r_done:-}" ]; then
  problem "restore printed no summary: $(head -c 500 "$work/restore.out" "$work/restore.err")"
  r_done=0 r_total=0 r_failed=0 r_overwritten=0
fi
[ "$r_failed" = 0 ] || problem "restore reported $r_failed failed ($(head -n 3 "$work/restore.err" | tr '\n' ' '))"
[ "$r_total" = "$gen_deleted_files" ] || problem "restore found $r_total deleted files; the image holds $gen_deleted_files"
restored_files=$(find "$out/restored" -type f | wc -l)
restored_bytes=$(find "$out/restored" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }')
restore_rate=$(div "$restored_bytes" "$t_restore" %.1f 1e6)
data_rate=$(awk -v b="$restored_bytes" -v r="$t_restore" -v s="$t_scan" 'BEGIN { if (r > s) printf "%.1f", b / (r - s) / 1e6; else print "n/a" }')

cat_restored() { find "$out/restored" -type f -print0 | xargs -0 cat > /dev/null; }
clear_copy() { rm -rf "$out/copy"; sync; }
copy_restored() { cp -r "$out/restored" "$out/copy"; }
measure t_cat_files : cat_restored
measure t_copy_files clear_copy copy_restored
rm -rf "$out/copy"
cat_rate=$(div "$restored_bytes" "$t_cat_files" %.1f 1e6)
copy_rate=$(div "$restored_bytes" "$t_copy_files" %.1f 1e6)
echo "restore: $restore_rate MB/s ($(mib "$restored_bytes") in $restored_files files, $t_restore s including its scan;" \
  "about $data_rate MB/s without the scan time) | $restore_line"
echo "  cat of restored files:  $cat_rate MB/s ($t_cat_files s) | ratio restore/cat: $(div "$restore_rate" "$cat_rate" %.3f)"
echo "  cp -r of restored files: $copy_rate MB/s ($t_copy_files s) | ratio restore/cp: $(div "$restore_rate" "$copy_rate" %.3f)"
echo

# ---- checks of the result ----
"$python" - "$work/manifest.tsv" "$work/scan.json" "$out/restored" "$work/folders.tsv" > "$work/check.out" <<'EOF'
import hashlib, json, os, sys

manifest_path, scan_path, restored, folders_path = sys.argv[1:5]
deleted_folders = {}
for line in open(folders_path, encoding="utf-8"):
    key, parent, short, long_name = line.rstrip("\n").split("\t")
    deleted_folders[int(key)] = None if long_name == "-" else long_name
expected = {}
for line in open(manifest_path, encoding="utf-8"):
    key, size, digest, folder, short, long_name = line.rstrip("\n").split("\t")
    expected[int(key)] = (int(size), digest, short, None if long_name == "-" else long_name)
listed = {}
folder_names = {}
for line in open(scan_path, encoding="utf-8"):
    entry = json.loads(line)
    if entry["deleted"] and not entry["dir"]:
        listed[entry["key"]] = entry
    elif entry["dir"]:
        folder_names[entry["key"]] = entry["name"]
unknown = [k for k in listed if k not in expected]
missing = [k for k in expected if k not in listed]
mismatched = absent = wrong_size = 0
long_shown = short_shown = other_name = 0
for key, entry in listed.items():
    if key not in expected:
        continue
    size, digest, short, long_name = expected[key]
    name = entry["name"]
    if long_name and name == long_name:  # whole, first character included
        long_shown += 1
    elif name[1:].lower() == short[1:].lower():
        short_shown += 1
    else:
        other_name += 1
    if entry["size"] != size:
        wrong_size += 1
    # The restore writes each file under its listed path (names here need no escaping).
    path = os.path.join(restored, entry["path"].lstrip("/"))
    try:
        with open(path, "rb") as f:
            h = hashlib.sha256()
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
    except OSError:
        absent += 1
        continue
    if h.hexdigest() != digest:
        mismatched += 1
with_long = sum(1 for v in expected.values() if v[3])
folders_long = sum(1 for v in deleted_folders.values() if v)
folders_long_shown = sum(1 for k, v in deleted_folders.items() if v and folder_names.get(k) == v)
print(f"listed_deleted={len(listed)} expected_deleted={len(expected)} unknown={len(unknown)} missing={len(missing)}")
print(f"checksum_mismatch={mismatched} not_restored={absent} wrong_size={wrong_size}")
print(f"deleted_with_long_name={with_long} shown_long={long_shown} shown_short={short_shown} shown_other={other_name}")
print(f"deleted_folders_with_long_name={folders_long} folders_shown_long={folders_long_shown}")
EOF
# shellcheck disable=SC1090
source <(tr ' ' '\n' < "$work/check.out")
echo "checks:  scan listed $listed_deleted deleted files (generator wrote $expected_deleted;" \
  "$unknown not written by it, $missing not listed)"
echo "  restored files vs generator's sha256: $checksum_mismatch mismatched, $not_restored not found," \
  "$wrong_size with a wrong size"
echo "  names: of $deleted_with_long_name deleted files that had a long name, $shown_long listed under it;" \
  "$shown_short deleted files listed under their short name, $shown_other under another name"
echo "  deleted long names recovered: $((shown_long + folders_shown_long)) of" \
  "$((deleted_with_long_name + deleted_folders_with_long_name))" \
  "(files $shown_long of $deleted_with_long_name, folders $folders_shown_long of $deleted_folders_with_long_name)"
echo "  possibly overwritten (clusters held by live files now): $r_overwritten of $r_done restored files"
if [ "$listed_deleted" != "$expected_deleted" ] || [ "$unknown" != 0 ]; then
  problem "scan listed $listed_deleted deleted files, expected $expected_deleted ($unknown unknown, $missing missing)"
fi
if [ "$checksum_mismatch" != 0 ] || [ "$not_restored" != 0 ] || [ "$wrong_size" != 0 ]; then
  problem "restored data differs from what was deleted"
fi
echo
if [ "$problems" -gt 0 ]; then
  echo "result: $problems problem(s) found"
  exit 1
fi
echo "result: all checks passed"
