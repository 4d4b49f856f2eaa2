#!/usr/bin/env bash
# The main job on a fresh machine: install, build and make small demo disk images (no root
# needed: the images are ordinary files). With a display (DISPLAY or WAYLAND_DISPLAY) it
# starts the desktop program with the images as drives; without one it lists the volumes
# of an image and the deleted files of a FAT32 volume with the orvane tool.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
# Only what the demo runs: the tests and benchmarks are built by scripts/test.sh.
"$here/scripts/build.sh" --target orvane --target orvane-recovery
demo="$here/build/demo"
bash "$here/tests/fixtures/make_disks.sh" "$demo" >/dev/null
bash "$here/tests/fixtures/make_fat_scan.sh" "$demo" >/dev/null
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${ORVANE_DEMO_CLI:-0}" != 1 ]; then
  echo "Starting the desktop program with the demo images $demo/mbr.img and $demo/fat32.img"
  echo "as drives (the machine's own disks are left out: ORVANE_BLOCK_DEVICES=0)."
  ORVANE_BLOCK_DEVICES=0 ORVANE_IMAGES="$demo/mbr.img:$demo/fat32.img" \
    exec "$here/build/bin/orvane-recovery"
fi
echo "No display: the command-line demo."
echo "Volumes of the demo disk $demo/mbr.img:"
ORVANE_BLOCK_DEVICES=0 "$here/build/bin/orvane" volumes --image "$demo/mbr.img"
echo
echo "Deleted files found on the FAT32 volume of $demo/fat32.img:"
ORVANE_BLOCK_DEVICES=0 "$here/build/bin/orvane" scan --partition 1 "$demo/fat32.img"
echo
echo "Restore them with: build/bin/orvane restore --to /tmp/restored --partition 1 $demo/fat32.img"
