#!/usr/bin/env bash
# The main job on a fresh machine: install, build, make a small demo disk image and list its
# volumes with the orvane tool (no root needed: the image is an ordinary file).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh"
demo="$here/build/demo"
bash "$here/tests/fixtures/make_disks.sh" "$demo" >/dev/null
echo "Volumes of the demo disk $demo/mbr.img:"
ORVANE_BLOCK_DEVICES=0 "$here/build/bin/orvane" volumes --image "$demo/mbr.img"
bash "$here/tests/fixtures/make_fat_scan.sh" "$demo" >/dev/null
echo
echo "Deleted files found on the FAT32 volume of $demo/fat32.img:"
ORVANE_BLOCK_DEVICES=0 "$here/build/bin/orvane" scan --partition 1 "$demo/fat32.img"
echo
echo "Restore them with: build/bin/orvane restore --to /tmp/restored --partition 1 $demo/fat32.img"
