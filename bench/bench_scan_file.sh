#!/usr/bin/env bash
# Scan files and deep restores of many found files. Run by hand (never in CI); see
# bench/README.md.
#
#   bench/bench_scan_file.sh [COUNT] [RESTORE_PARENT]
#
# Makes an image of COUNT small titled PNG files (make_png_bench_image.py), scans it with
# --save, and prints for each run the elapsed seconds, the peak memory and what the device
# layer did (ORVANE_DEVICE_COUNTS): restoring one file by name from the scan file, and from
# the same scan file without its names and dates (as older versions wrote it); restoring
# every file from the raw image and from an EWF copy (ewfacquire, when installed) into
# RESTORE_PARENT (default /dev/shm, so the figures are the program's, not the disk's).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
orvane=${ORVANE:-$repo/build/bin/orvane}
count=${1:-200000}
parent=${2:-/dev/shm}
[ -x "$orvane" ] || { echo "bench_scan_file.sh: build orvane first ($orvane)" >&2; exit 2; }
for tool in python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench_scan_file.sh: $tool is missing" >&2; exit 2; }
done
export ORVANE_DEVICE_COUNTS=1 LC_ALL=C.UTF-8

work=$(mktemp -d)
out=$(mktemp -d "$parent/orvane-bench.XXXXXX")
trap 'rm -rf "$work" "$out"' EXIT
measure() {  # measure LABEL COMMAND...: seconds, peak memory, the device layer's counts
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out" 2>"$work/err" || true
  read -r seconds kib <"$work/time"
  printf '%-44s %7s s %6s MiB  %s\n' "$label" "$seconds" "$((kib / 1024))" \
    "$(grep '^device:' "$work/err" | sed 's/^device: //')"
  grep -m1 '^restored' "$work/out" | sed 's/^/    /' || true
}

python3 "$here/make_png_bench_image.py" "$work/pngs.img" "$count" >/dev/null
echo "== $count titled PNG files, one per sector ($(du -h --apparent-size "$work/pngs.img" | cut -f1))"
measure "scan --deep --save" "$orvane" scan --deep --save "$work/pngs.sav" "$work/pngs.img"
echo "    scan file: $(stat -c %s "$work/pngs.sav") bytes"
one=$(printf 'Photo %06d.png' $((count / 2)))
measure "restore --from --match ONE" "$orvane" restore --from "$work/pngs.sav" \
  --image "$work/pngs.img" --to "$out/one" --match "$one"
# The same scan file without the units of names and dates, as older versions wrote it.
python3 - "$work/pngs.sav" "$work/old.sav" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
kept = [data[:256]]
for at in range(256, len(data), 32):
    unit = data[at:at + 32]
    if unit[:8] == b"\xff" * 8 and unit[24:] in (b"\0ORVMET0", b"\0ORVMTA1", b"\0ORVMTD1",
                                                  b"\0ORVTTL1"):
        continue
    kept.append(unit)
open(sys.argv[2], "wb").write(b"".join(kept))
PY
measure "restore --from --match ONE (older file)" "$orvane" restore --from "$work/old.sav" \
  --image "$work/pngs.img" --to "$out/old" --match "$one"
measure "restore --from (every file, raw image)" "$orvane" restore --from "$work/pngs.sav" \
  --image "$work/pngs.img" --to "$out/raw"
echo "    folders: $(cd "$out/raw/png" && ls | head -n3 | tr '\n' ' ')... largest holds $(
  for d in "$out/raw/png"/*/; do ls "$d" | wc -l; done | sort -n | tail -n1) files"
rm -rf "$out/raw"
if command -v ewfacquire >/dev/null; then
  ewfacquire -u -t "$work/pngs" -c none -f encase6 -C case -D bench -E 1 -e orvane -N none \
    -m fixed -M physical -q "$work/pngs.img" >/dev/null
  "$orvane" scan --deep --save "$work/ewf.sav" "$work/pngs.E01" >/dev/null 2>&1
  measure "restore --from (every file, EWF image)" "$orvane" restore --from "$work/ewf.sav" \
    --image "$work/pngs.E01" --to "$out/ewf"
  rm -rf "$out/ewf"
else
  echo "(ewfacquire missing: no EWF figures)"
fi
measure "restore --deep (scan and every file)" "$orvane" restore --deep --to "$out/deep" \
  "$work/pngs.img"
