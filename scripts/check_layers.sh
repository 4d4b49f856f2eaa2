#!/usr/bin/env bash
# Checks that every include points down or sideways: a file may include files of its own
# floor and of the floors below it, never of a floor above. The floors, lowest first; a
# file's floor is that of the longest folder of the list its path starts with. Folders not
# listed (tests, bench, fuzz) stand above every floor and are not checked.
#
#   usage: scripts/check_layers.sh [ROOT]     exit 1 and one line per upward include
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
floors=(
  "0 device/platform/safe_file device/platform/sha256 device/platform/disk_crc device/platform/device_node device/platform/sector_write device/platform/table_check device/platform/drive_identity"
  "1 core engine/exfat/exfat_format engine/exfat/exfat_volume engine/ntfs/ntfs_format engine/ext4/ext4_format engine/ext4/ext4_journal"
  "2 device/platform"
  "3 device"
  "4 engine partition"
  "5 result"
  "6 skin"
  "7 device/ui partition/ui result/ui"
  "8 app cli helper"
)
cd "$root"
awk -v table="$(printf '%s\n' "${floors[@]}")" '
  BEGIN {
    n = split(table, rows, "\n")
    for (i = 1; i <= n; i++) {
      m = split(rows[i], f, " ")
      for (j = 2; j <= m; j++) floor[f[j]] = f[1]
    }
  }
  function floor_of(path,   best, len, d) {
    best = -1; len = 0
    for (d in floor) {
      if ((path == d || index(path, d "/") == 1 || index(path, d ".") == 1) && length(d) > len) {
        best = floor[d]; len = length(d)
      }
    }
    return best
  }
  FNR == 1 { here = floor_of(FILENAME); folder = FILENAME; sub(/\/[^\/]*$/, "", folder) }
  here >= 0 && /^[ \t]*#[ \t]*include[ \t]*"/ {
    target = $0; sub(/^[^"]*"/, "", target); sub(/".*$/, "", target)
    # a bare name is the including file'"'"'s neighbour
    path = index(target, "/") ? target : folder "/" target
    if (!index(target, "/") || system("test -e \"" target "\"") != 0) path = folder "/" target
    if (system("test -e \"" path "\"") != 0) path = target
    there = floor_of(path)
    if (there > here) {
      printf "%s:%d: floor %d includes %s of floor %d\n", FILENAME, FNR, here, target, there
      bad = 1
    }
  }
  END { exit bad }
' $(git ls-files '*.cpp' '*.h' | grep -v '^tests/\|^bench/\|^fuzz/')
