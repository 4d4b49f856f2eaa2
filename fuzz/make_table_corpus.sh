#!/usr/bin/env bash
# make_table_corpus.sh OUTDIR : seeds for fuzz_partition_tables. Small drives: GPT disks
# made by sgdisk, an MBR disk with an extended partition made by sfdisk, the same two
# counted in 4096-byte sectors by fdisk -b 4096, and the first
# 72 KiB of volumes made by mkfs.ext4, mkfs.xfs, mkfs.btrfs, mkswap and mkfs.exfat (their
# superblocks, and the XFS free-space header behind its superblock). Needs no root.
set -euo pipefail
export PATH="$PATH:/usr/sbin:/sbin"
out=${1:?usage: make_table_corpus.sh OUTDIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if command -v sgdisk >/dev/null; then
  truncate -s 96K "$out/gpt-two.img"
  sgdisk -o -n 1:34:100 -t 1:8300 -c 1:root -n 2:101:150 -t 2:8200 "$out/gpt-two.img" >/dev/null
  truncate -s 40K "$out/gpt-empty.img"
  sgdisk -o "$out/gpt-empty.img" >/dev/null
fi
if command -v sfdisk >/dev/null; then
  truncate -s 128K "$out/mbr-extended.img"
  printf 'label: dos\nunit: sectors\n%s\n%s\n%s\n' "start=1, size=60, type=83" \
    "start=61, size=180, type=5" "start=63, size=100, type=7" |
    sfdisk --no-reread --no-tell-kernel "$out/mbr-extended.img" >/dev/null
fi
if command -v fdisk >/dev/null; then
  # Tables counted in 4096-byte sectors (fdisk -b): a GPT of two entries, and a master boot
  # record with an extended entry.
  truncate -s 128K "$out/gpt4k-two.img"
  printf 'g\nn\n1\n6\n20\nn\n2\n21\n26\nw\n' | fdisk -b 4096 "$out/gpt4k-two.img" >/dev/null 2>&1 || true
  truncate -s 128K "$out/mbr4k-extended.img"
  printf 'o\nn\np\n1\n2\n10\nn\ne\n2\n11\n31\nw\n' |
    fdisk -b 4096 "$out/mbr4k-extended.img" >/dev/null 2>&1 || true
fi
volume() {  # volume NAME SIZE COMMAND... : a volume in a file, its first 72 KiB kept
  local name=$1 size=$2
  shift 2
  command -v "$1" >/dev/null || return 0
  truncate -s "$size" "$work/$name"
  "$@" "$work/$name" >/dev/null 2>&1 || return 0
  head -c 73728 "$work/$name" >"$out/$name.img"
  rm -f "$work/$name"
}
volume ext4 8M mkfs.ext4 -q -F
volume ext2 4M mkfs.ext2 -q -F
volume xfs 300M mkfs.xfs -q -f
volume btrfs 128M mkfs.btrfs -q -f
volume swap 1M mkswap
volume exfat 8M mkfs.exfat
touch "$out/.made"
