#!/usr/bin/env bash
# Renders the desktop program's pages offscreen into OUTDIR as PAGE-LANG.png (home-en.png,
# home-de.png, home-cn.png, scan-en.png, scan-deep-en.png, scan-cn.png, ...). Configures
# build/ (or $ORVANE_BUILD) when needed and builds only what it needs; needs no display.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: scripts/screenshots.sh OUTDIR}
build=${ORVANE_BUILD:-$here/build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON >/dev/null
fi
cmake --build "$build" -j2 --target orvane_screenshots >/dev/null
mkdir -p "$out"
# The scan page is shot on the demo images: a FAT32 volume with deleted files (scan-LANG.png)
# and the deep-scan image of real files (scan-deep-en.png).
demo="$build/demo"
[ -f "$demo/fat32.img" ] || bash "$here/tests/fixtures/make_fat_scan.sh" "$demo" >/dev/null
[ -f "$demo/raw.img" ] || bash "$here/tests/fixtures/make_raw_scan.sh" "$demo" >/dev/null
ORVANE_BLOCK_DEVICES=0 ORVANE_SHOT_FAT="$demo/fat32.img" ORVANE_SHOT_RAW="$demo/raw.img" \
  QT_QPA_PLATFORM=offscreen "$build/bin/orvane_screenshots" "$out"
