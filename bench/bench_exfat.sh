#!/usr/bin/env bash
# exFAT scan benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
# Writes an exFAT volume of FILES files in FOLDERS folders, a tenth of them deleted, with
# make_exfat_bench_image.py, checks it with fsck.exfat, then times `orvane scan` beside a
# `cat` of the same image in the same run, reports the scan's peak memory per listed file
# (above the peak of a scan of an empty volume), restores the deleted files and checks them
# against the checksums the generator recorded.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
files=100000
folders=1000
deleted_percent=10
cluster_kib=4
keep=0
baseline=""

usage() {
  cat <<EOF
usage: bench/bench_exfat.sh [--files N] [--folders N] [--deleted-percent P] [--cluster-kib K] [--keep]
                            [--baseline ORVANE]
  defaults: $files files, $folders folders, $deleted_percent% deleted, $cluster_kib KiB clusters
  --baseline: also time the scan of another orvane build (one without the search for
  orphaned folders) to show what that search costs
environment: ORVANE (the orvane binary; default $repo/build/bin/orvane), TMPDIR
EOF
}
while [ $# -gt 0 ]; do
  case "$1" in
    --files) files=$2; shift 2 ;;
    --folders) folders=$2; shift 2 ;;
    --deleted-percent) deleted_percent=$2; shift 2 ;;
    --cluster-kib) cluster_kib=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench_exfat: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

export PATH="$PATH:/usr/sbin:/sbin"
orvane=${ORVANE:-$repo/build/bin/orvane}
[ -x "$orvane" ] || { echo "bench_exfat: no orvane binary at '$orvane'" >&2; exit 2; }
for tool in python3 mkfs.exfat fsck.exfat sha256sum; do
  command -v "$tool" >/dev/null || { echo "bench_exfat: '$tool' not found (Debian: exfatprogs python3)" >&2; exit 2; }
done
gnu_time=""
if [ -x /usr/bin/time ] && /usr/bin/time -v true >/dev/null 2>&1; then gnu_time=/usr/bin/time; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-bench-exfat.XXXXXX")
cleanup() { if [ "$keep" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT
export ORVANE_BLOCK_DEVICES=0
image=$work/exfat.img
problems=0
problem() { echo "PROBLEM: $*"; problems=$((problems + 1)); }
now_ns() { date +%s%N; }
since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
div() { awk -v a="$1" -v b="$2" -v f="${3:-%.2f}" 'BEGIN { if (b + 0 == 0) print "n/a"; else printf f, a / b }'; }

# peak_kib VAR CMD...: runs CMD under GNU time (output to /dev/null); VAR gets the peak RSS
# in KiB and T_LAST the wall time in seconds.
peak_kib() {
  local var=$1 start
  shift
  start=$(now_ns)
  if [ -n "$gnu_time" ]; then
    "$gnu_time" -v -o "$work/time.out" "$@" > /dev/null 2> "$work/cmd.err"
    printf -v "$var" '%s' "$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.out")"
  else
    "$@" > /dev/null 2> "$work/cmd.err"
    printf -v "$var" '%s' 0
  fi
  T_LAST=$(since "$start")
}

echo "== OrvaneRecovery exFAT benchmark =="
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
start=$(now_ns)
summary=$(python3 "$here/make_exfat_bench_image.py" "$image" --files "$files" --folders "$folders" \
  --deleted-percent "$deleted_percent" --cluster-kib "$cluster_kib" --manifest "$work/manifest.tsv")
echo "image:   $summary, built in $(since "$start") s"
if fsck.exfat -n "$image" > "$work/fsck.log" 2>&1; then
  echo "  fsck.exfat -n: $(tail -n 1 "$work/fsck.log")"
else
  problem "fsck.exfat -n reports errors: $(tail -n 5 "$work/fsck.log" | tr '\n' ' ')"
fi
image_bytes=$(stat -c %s "$image")
echo

# Warm the page cache, then time the scan and a cat of the image one after the other.
cat "$image" > /dev/null
"$orvane" scan --json "$image" > "$work/scan.json"
peak_kib scan_kib "$orvane" scan --json "$image"
t_scan=$T_LAST
start=$(now_ns)
cat "$image" > /dev/null
t_cat=$(since "$start")
"$orvane" scan "$image" > /dev/null 2> "$work/scan.err"
summary_line=$(tail -n 1 "$work/scan.err")
listed=$(grep -c '"deleted":true' "$work/scan.json" || true)
listed_all=$(grep -c . "$work/scan.json" || true)

# The fixed part of the memory: a scan of an empty volume.
empty=$work/empty.img
truncate -s 64M "$empty"
mkfs.exfat "$empty" > /dev/null
peak_kib empty_kib "$orvane" scan --json "$empty"
t_empty=$T_LAST
rm -f "$empty"

echo "scan:    $t_scan s ($summary_line; $listed deleted entries listed, $listed_all rows)"
echo "  cat of the image:     $t_cat s ($(div "$image_bytes" 1048576 %.0f) MiB apparent, mostly holes)" \
  "| scan takes $(div "$t_scan" "$t_cat") x its time"
echo "  scan of an empty volume: $t_empty s (start-up and fixed costs)"
# The search for orphaned folders reads every free cluster once, in order: its cost is the
# difference to a build without it.
if [ -n "$baseline" ]; then
  "$baseline" scan --json "$image" > /dev/null
  start=$(now_ns)
  "$baseline" scan --json "$image" > /dev/null
  t_baseline=$(since "$start")
  echo "  orphan search: scan $t_scan s against $t_baseline s without it ($baseline)" \
    "= $(div "$t_scan" "$t_baseline") x, the cat of the whole image $t_cat s"
fi
if [ -n "$gnu_time" ]; then
  per_file=$(awk -v a="$scan_kib" -v b="$empty_kib" -v n="$listed_all" 'BEGIN { if (n > 0) printf "%.0f", (a - b) * 1024 / n; else print "n/a" }')
  echo "  peak RSS: $(div "$scan_kib" 1024 %.1f) MiB (empty volume: $(div "$empty_kib" 1024 %.1f) MiB)" \
    "= $per_file bytes per listed row above the empty scan"
else
  echo "  peak RSS: n/a (install GNU time)"
fi
echo

# Restore every deleted file and check it against the generator's checksums.
start=$(now_ns)
"$orvane" restore --to "$work/restored" "$image" > "$work/restore.out" 2> "$work/restore.err" || true
t_restore=$(since "$start")
echo "restore: $t_restore s | $(tail -n 1 "$work/restore.out")"
bad=0
checked=0
while IFS=$'\t' read -r path size digest; do
  checked=$((checked + 1))
  got=$(sha256sum "$work/restored$path" 2>/dev/null | cut -d' ' -f1 || true)
  [ "$got" = "$digest" ] || bad=$((bad + 1))
done < "$work/manifest.tsv"
echo "checks:  $checked deleted files written by the generator, $bad missing or different after restore"
expected=$(wc -l < "$work/manifest.tsv")
[ "$listed" -ge "$expected" ] || problem "scan listed $listed deleted entries; the generator deleted $expected files"
[ "$bad" = 0 ] || problem "$bad restored files differ"
if [ "$problems" -gt 0 ]; then
  echo "result: $problems problem(s) found"
  exit 1
fi
echo "result: all checks passed"
