#!/usr/bin/env bash
# make_container_corpus.sh OUTDIR: seeds for fuzz_containers, one per mode: a map, a small
# MBR disk with a FAT volume, and that disk in each container format (qemu-img, ewfacquire).
set -euo pipefail
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$PATH:/usr/sbin:/sbin"
truncate -s 256K "$work/disk.raw"
printf 'label: dos\nstart=64, type=1\n' | sfdisk -q "$work/disk.raw"
mkfs.fat -F 12 --offset 64 -n SEED "$work/disk.raw" 96 >/dev/null
{ printf '\x00'; printf '0x0 ?\n0x0 0x1000 +\n0x1000 0x200 -\n0x1200 0xFEE00 ?\n'; } >"$out/map"
{ printf '\x01'; cat "$work/disk.raw"; } >"$out/disk"
n=2
if command -v ewfacquire >/dev/null; then
  ewfacquire -u -q -t "$work/disk" -c none -C c -D d -E 1 -e e -N n "$work/disk.raw" >/dev/null
  { printf "\\x0$n"; cat "$work/disk.E01"; } >"$out/ewf"
fi
# (no VHDX seed: qemu-img makes none smaller than 16 MiB, too large to mutate quickly)
for f in vpc vhdx vmdk qcow2; do
  [ "$f" = vhdx ] && { n=$((n + 1)); continue; }
  n=$((n + 1))
  if command -v qemu-img >/dev/null; then
    qemu-img convert -f raw -O "$f" "$work/disk.raw" "$work/disk.$f"
    { printf "\\x0$n"; cat "$work/disk.$f"; } >"$out/$f"
  fi
done
touch "$out/.made"
