#!/usr/bin/env bash
# Renders the desktop program's pages offscreen into OUTDIR as PAGE-LANG.png (home-en.png,
# home-de.png, home-cn.png, volumes-en.png, drives-en.png, partitions-en.png, scan-en.png,
# scan-deep-en.png, scan-cn.png, scan-max-en.png, scan-max-de.png, restore-summary-en.png,
# scan-stopped-en.png, restore-summary-deep-en.png, scan-paused-de.png, repair-question-en.png, repair-refusal-en.png,
# scan-thumbs-en.png, ...). Configures build/
# (or $ORVANE_BUILD) when needed and builds only what it needs; needs no display. The device pages show the demo images (made
# by the fixture scripts in $build/demo) as drives, the partition page a search of lost.img
# (the demo disk mbr.img with its partition table cleared), the scan page a scan of the
# FAT32 demo volume and a deep scan of the image of real files, its grid of thumbnails a
# deep scan of the camera card (tests/fixtures/make_deep_card.sh). partitions-map-en.png is
# the partition page with its map after a search of the seven-kind GPT disk whose primary
# GPT was zeroed, and repair-question-gpt-en.png its repair question (the disk is made by
# tests/fixtures/make_gpt_disks.sh, which needs root and losetup).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: scripts/screenshots.sh OUTDIR}
build=${ORVANE_BUILD:-$here/build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON >/dev/null
fi
cmake --build "$build" -j2 --target orvane_screenshots >/dev/null
demo="$build/demo"
if [ ! -f "$demo/mbr.img" ] || [ ! -f "$demo/fat32.img" ]; then
  bash "$here/tests/fixtures/make_disks.sh" "$demo" >/dev/null
  bash "$here/tests/fixtures/make_fat_scan.sh" "$demo" >/dev/null
fi
cp --sparse=always "$demo/mbr.img" "$demo/lost.img"
# the four partition entries and the signature of sector 0 (bytes 446-511)
dd if=/dev/zero of="$demo/lost.img" bs=1 seek=446 count=66 conv=notrunc status=none
mkdir -p "$out"
[ -f "$demo/raw.img" ] || bash "$here/tests/fixtures/make_raw_scan.sh" "$demo" >/dev/null
[ -f "$demo/exfat/exfat_mbr.img" ] || bash "$here/tests/fixtures/unpack_exfat_scan.sh" "$demo/exfat" >/dev/null
# The camera card for the grid of thumbnails (scan-thumbs-en.png); its script needs
# ImageMagick, exiftool, ghostscript and ffmpeg, and the picture is left out without them.
[ -f "$demo/card/card.img" ] || bash "$here/tests/fixtures/make_deep_card.sh" "$demo/card" >/dev/null || true
# First the scan page (scan-LANG.png, scan-deep-en.png, scan-exfat-en.png), then the device
# and partition pages with the demo images as drives, whose pictures replace the first run's
# of those pages, then the volume page with an exFAT disk among them (volumes-exfat-en.png).
QT_QPA_PLATFORM=offscreen ORVANE_BLOCK_DEVICES=0 \
  ORVANE_SHOT_FAT="$demo/fat32.img" ORVANE_SHOT_RAW="$demo/raw.img" \
  ORVANE_SHOT_EXFAT="$demo/exfat/exfat_mbr.img" ORVANE_SHOT_CARD="$demo/card/card.img" \
  "$build/bin/orvane_screenshots" "$out"
# The drive lists show the images' paths: the pictures show them in a folder a user might
# keep disk images in, not in the build folder (hard links where they can be made).
shown="${TMPDIR:-/tmp}/Disk images"
mkdir -p "$shown"
show() {  # show IMAGE... : each image under its own name in $shown
  for image in "$@"; do
    rm -f "$shown/${image##*/}"
    ln "$image" "$shown/${image##*/}" 2>/dev/null || cp --sparse=always "$image" "$shown/${image##*/}"
  done
}
show "$demo/mbr.img" "$demo/fat32.img" "$demo/lost.img" "$demo/floppy.img"
QT_QPA_PLATFORM=offscreen ORVANE_BLOCK_DEVICES=0 \
  ORVANE_IMAGES="$shown/mbr.img:$shown/fat32.img:$shown/lost.img:$shown/floppy.img" \
  ORVANE_SHOT_REFUSAL="$shown/floppy.img" \
  "$build/bin/orvane_screenshots" "$out" "$shown/lost.img"
show "$demo/exfat/exfat_mbr.img" "$demo/exfat/exfat128k.img"
QT_QPA_PLATFORM=offscreen ORVANE_BLOCK_DEVICES=0 ORVANE_SHOT_TAG=exfat \
  ORVANE_IMAGES="$shown/exfat_mbr.img:$shown/exfat128k.img:$shown/fat32.img" \
  "$build/bin/orvane_screenshots" "$out"
if [ ! -f "$demo/gpt/gpt7-primary.img" ]; then
  bash "$here/tests/fixtures/make_gpt_disks.sh" "$demo/gpt" >/dev/null || true
fi
if [ -f "$demo/gpt/gpt7-primary.img" ]; then
  # the seven-kind disk whose primary GPT was zeroed: the map, and the question of the
  # repair that writes the table back from the surviving backup (repair-question-gpt-en.png)
  shots=$(mktemp -d)
  show "$demo/gpt/gpt7-primary.img"
  QT_QPA_PLATFORM=offscreen ORVANE_BLOCK_DEVICES=0 ORVANE_IMAGES="$shown/gpt7-primary.img" \
    "$build/bin/orvane_screenshots" "$shots" "$shown/gpt7-primary.img" >/dev/null
  mv "$shots/partitions-en.png" "$out/partitions-map-en.png"
  mv "$shots/repair-question-en.png" "$out/repair-question-gpt-en.png"
  rm -rf "$shots"
  echo "$out/partitions-map-en.png"
  echo "$out/repair-question-gpt-en.png"
else
  echo "partitions-map-en.png not made: the GPT fixture needs root and losetup" >&2
fi
