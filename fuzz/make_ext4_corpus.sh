#!/usr/bin/env bash
# Seeds for fuzz_ext4_reader: small ext4 and ext2 volumes made by mkfs.ext4 and mkfs.ext2
# from a folder of files (-d), some files then deleted with debugfs; one with a journal; and
# a journal of 1 KiB blocks written from the jbd2 layout (superblock, descriptor with tags,
# an escaped block, commit, revoke). Writes into OUTDIR and touches OUTDIR/.made.
set -euo pipefail
out=${1:?usage: make_ext4_corpus.sh OUTDIR}
mkdir -p "$out"
export PATH="$PATH:/usr/sbin:/sbin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/docs/sub"
printf 'hello ext4\n' >"$work/tree/docs/a.txt"
head -c 30000 /dev/zero | tr '\0' 'x' >"$work/tree/docs/sub/b.bin"
printf 'tiny' >"$work/tree/c.txt"
if command -v mkfs.ext4 >/dev/null && command -v debugfs >/dev/null; then
  make() {
    local name=$1 size=$2
    shift 2
    truncate -s "$size" "$work/$name"
    "$@" -q -F -d "$work/tree" "$work/$name" >/dev/null 2>&1 || return 0
    debugfs -w -R "rm /docs/a.txt" "$work/$name" >/dev/null 2>&1 || true
    debugfs -w -R "rm /docs/sub/b.bin" "$work/$name" >/dev/null 2>&1 || true
    cp "$work/$name" "$out/$name"
  }
  make ext4-nojournal.img 256K mkfs.ext4 -b 1024 -N 32 -O ^has_journal,^resize_inode
  make ext4-journal.img 1536K mkfs.ext4 -b 1024 -N 32 -J size=1 -O ^resize_inode
  make ext4-inline.img 256K mkfs.ext4 -b 1024 -N 32 -O ^has_journal,^resize_inode,inline_data
  make ext2.img 256K mkfs.ext2 -b 1024 -N 32 -O ^resize_inode
fi
python3 - "$out/journal.bin" <<'PY'
import struct, sys
BS, N = 1024, 12
j = bytearray(BS * N)
def hdr(b, t, seq): struct.pack_into(">III", j, b * BS, 0xC03B3998, t, seq)
hdr(0, 4, 0)
struct.pack_into(">III", j, 12, BS, N, 1)
struct.pack_into(">I", j, 0x28, 0x3)  # revoke, 64-bit
j[0x30:0x40] = bytes(range(16))
hdr(1, 1, 7)
struct.pack_into(">IHHI", j, BS + 12, 40, 0, 0, 0)
j[BS + 24:BS + 40] = bytes(range(16))
struct.pack_into(">IHHI", j, BS + 40, 41, 0, 0x1 | 0x2 | 0x8, 0)
j[2 * BS:3 * BS] = b"\x0a\xf3" + b"\x00" * (BS - 2)
hdr(4, 2, 7)
hdr(5, 5, 8)
struct.pack_into(">IQ", j, 5 * BS + 12, 24, 40)
hdr(6, 2, 8)
open(sys.argv[1], "wb").write(j)
PY
touch "$out/.made"
