#!/usr/bin/env bash
# Deep-scan benchmark for orvane. Run by hand (never in CI); see bench/README.md.
#
# Builds an image of at least 2 GiB of real files and filler, reads it once so that it sits
# in the page cache, then times `cat` of the image and `orvane scan --deep` of it in the same
# run and prints both speeds and their ratio. A tenth of the pictures, documents, archives and
# movies (two made by ffmpeg) large enough are stored in two pieces; with --before ORVANE a second build (say, the
# one before a change) is timed in the same run against the same cat. Then scans 1 GiB of
# random bytes and prints the files found there: false positives per GiB. Also prints the
# scan's peak memory, the scan with its JPEG checks on the scanning thread alone
# (ORVANE_CHECK_WORKERS=0), and cat and the scan of a mostly empty 4 GiB image.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
size_gib=2.25
keep=0
repeat=3
before=""
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size_gib=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --repeat) repeat=$2; shift 2 ;;
    --before) before=$2; shift 2 ;;
    -h|--help) echo "usage: bench/bench_raw.sh [--size GIB (default 2.25)] [--repeat N (default 3)] [--before ORVANE] [--keep]"; exit 0 ;;
    *) echo "bench_raw: unknown option '$1'" >&2; exit 2 ;;
  esac
done
orvane=${ORVANE:-$repo/build/bin/orvane}
if [ -x /usr/bin/python3 ]; then python=${PYTHON:-/usr/bin/python3}; else python=${PYTHON:-python3}; fi
[ -x "$orvane" ] || { echo "bench_raw: no orvane binary at '$orvane' (build it or set ORVANE)" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-raw-bench.XXXXXX")
cleanup() { if [ "$keep" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT
export ORVANE_BLOCK_DEVICES=0

now() { date +%s.%N; }
mbps() { "$python" -c "import sys; print('%.1f' % (float(sys.argv[1]) / 1e6 / float(sys.argv[2])))" "$1" "$2"; }

echo "making the fixture files (tests/fixtures/make_raw_scan.sh)"
bash "$repo/tests/fixtures/make_raw_scan.sh" "$work/fixture" >/dev/null
echo "writing a ${size_gib} GiB image of real files, random filler and zeros"
# Movies large enough to be stored in two pieces: H.264 with AAC sound, the movie box before
# the media data and after it.
movies=()
if command -v ffmpeg >/dev/null; then
  for layout in first last; do
    flags=()
    [ "$layout" = first ] && flags=(-movflags +faststart)
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc=duration=8:size=320x240:rate=25" \
      -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=8" -c:v libx264 -preset veryfast \
      -g 50 -c:a aac -b:a 96k "${flags[@]}" "$work/movie-$layout.mp4"
    movies+=("$work/movie-$layout.mp4")
  done
fi
files=$("$python" "$here/make_raw_bench_image.py" "$work/fixture/raw.img" "$work/fixture/raw.manifest" \
  "$work/mixed.img" --size-gib "$size_gib" --two-piece 0.1 --extra "${movies[@]}" 2>"$work/two-piece.count")
two_piece=$(cat "$work/two-piece.count")
bytes=$(stat -c %s "$work/mixed.img")

cat "$work/mixed.img" >/dev/null  # into the page cache
# cat and the scan take turns, N times each; the fastest of each counts (a shared machine's
# load makes single runs vary by a factor of two).
cat_s=""
scan_s=""
before_s=""
for _ in $(seq "$repeat"); do
  t0=$(now); cat "$work/mixed.img" >/dev/null; t1=$(now)
  "$orvane" scan --deep --json "$work/mixed.img" >"$work/found.json" 2>"$work/scan.err"
  t2=$(now)
  cat_s=$("$python" -c "print(min(x for x in [$t1 - $t0, ${cat_s:-1e9}]))")
  scan_s=$("$python" -c "print(min(x for x in [$t2 - $t1, ${scan_s:-1e9}]))")
  if [ -n "$before" ]; then
    t3=$(now)
    "$before" scan --deep --json "$work/mixed.img" >"$work/before.json" 2>/dev/null || true
    t4=$(now)
    before_s=$("$python" -c "print(min(x for x in [$t4 - $t3, ${before_s:-1e9}]))")
  fi
done
found=$(wc -l <"$work/found.json")
echo
echo "image:         $bytes bytes, $files files written, $two_piece of them in two pieces"
echo "cat:           $(mbps "$bytes" "$cat_s") MB/s (${cat_s%????????????} s, the fastest of $repeat runs)"
echo "deep scan:     $(mbps "$bytes" "$scan_s") MB/s (${scan_s%????????????} s, the fastest of $repeat runs), $found files found"
echo "scan / cat:    $("$python" -c "print('%.2f' % ($cat_s / $scan_s))") (target: at least 0.50)"
if [ -n "$before" ]; then
  echo "before:        $(mbps "$bytes" "$before_s") MB/s (${before_s%????????????} s), $(wc -l <"$work/before.json") files found; scan / cat $("$python" -c "print('%.2f' % ($cat_s / $before_s))")"
fi
echo "two pieces:    $(grep -c '"pieces":2' "$work/found.json" || true) of $two_piece found whole"
if [ -x /usr/bin/time ]; then
  cpu_cat=$(/usr/bin/time -f "%U %S" cat "$work/mixed.img" 2>&1 >/dev/null | tail -1)
  cpu_scan=$(/usr/bin/time -f "%U %S %M" "$orvane" scan --deep --json "$work/mixed.img" 2>&1 >/dev/null | tail -1)
  echo "CPU seconds:   cat $(echo "$cpu_cat" | awk '{print $1 + $2}'), deep scan $(echo "$cpu_scan" | awk '{print $1 + $2}') (user + system)"
  echo "peak memory:   deep scan $(echo "$cpu_scan" | awk '{printf "%.1f", $3 / 1024}') MiB (resident)"
fi
# The JPEG checks on workers ahead of the scan, against none (the scanning thread alone).
best_of() {  # best_of N CMD...: the fastest of N runs, in seconds
  local n=$1 best=1e9 a b; shift
  for _ in $(seq "$n"); do
    a=$(now); "$@" >/dev/null 2>&1; b=$(now)
    best=$("$python" -c "print(min($b - $a, $best))")
  done
  echo "$best"
}
alone_s=$(ORVANE_CHECK_WORKERS=0 best_of "$repeat" "$orvane" scan --deep --json "$work/mixed.img")
echo "no workers:    $(mbps "$bytes" "$alone_s") MB/s (${alone_s%????????????} s): the JPEG checks on the scanning thread"
echo "PhotoRec:      not run (no other recovery program is run here); compare with cat above"

# A mostly empty volume: a sparse image with a few hundred files, as a card with a few
# hundred pictures left on it.
echo
echo "writing a 4 GiB mostly empty image with 300 files"
"$python" - "$work/fixture/raw.img" "$work/fixture/raw.manifest" "$work/sparse.img" <<'PY'
import random, sys
image, manifest, out = open(sys.argv[1], "rb").read(), sys.argv[2], sys.argv[3]
files = []
for line in open(manifest):
    f = line.split()
    if len(f) >= 5 and f[0].isdigit():
        files.append(image[int(f[0]):int(f[0]) + int(f[1])])
rng = random.Random(300)
size = 4 << 30
with open(out, "wb") as o:
    o.truncate(size)
    for i in range(300):
        o.seek(i * (size // 300) // 4096 * 4096)
        o.write(rng.choice(files))
PY
sparse_bytes=$(stat -c %s "$work/sparse.img")
cat "$work/sparse.img" >/dev/null
sparse_cat=$(best_of "$repeat" cat "$work/sparse.img")
sparse_scan=$(best_of "$repeat" "$orvane" scan --deep --json "$work/sparse.img")
echo "cat:           $(mbps "$sparse_bytes" "$sparse_cat") MB/s (${sparse_cat%????????????} s)"
echo "deep scan:     $(mbps "$sparse_bytes" "$sparse_scan") MB/s (${sparse_scan%????????????} s), $("$orvane" scan --deep --json "$work/sparse.img" 2>/dev/null | wc -l) files found"
echo "scan / cat:    $("$python" -c "print('%.2f' % ($sparse_cat / $sparse_scan))") (target: at least 0.50)"

echo
echo "writing 1 GiB of random bytes"
"$python" "$here/make_raw_bench_image.py" "$work/fixture/raw.img" "$work/fixture/raw.manifest" \
  "$work/random.img" --size-gib 1 --random-only >/dev/null
cat "$work/random.img" >/dev/null
t0=$(now)
"$orvane" scan --deep --json "$work/random.img" >"$work/random.json" 2>"$work/random.err"
t1=$(now)
false_hits=$(wc -l <"$work/random.json")
echo "random data:   $false_hits files found in 1 GiB (false positives per GiB), scanned at $(mbps $((1 << 30)) "$("$python" -c "print($t1 - $t0)")") MB/s"
if [ "$false_hits" -gt 0 ]; then
  "$python" -c "
import json, sys, collections
c = collections.Counter(json.loads(l)['type'] for l in open(sys.argv[1]))
print('               by type:', ', '.join('%s %d' % kv for kv in sorted(c.items())))" "$work/random.json"
fi
# Every file stored whole is found; a two-piece file is found whole or not at all.
[ "$found" -le "$files" ] && [ "$found" -ge $((files - two_piece)) ] ||
  { echo "bench_raw: expected $((files - two_piece)) to $files files in the mixed image, found $found" >&2; exit 1; }
