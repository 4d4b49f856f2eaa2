#!/bin/bash
# Makes the seeds of the NTFS record fuzzer from the committed test volumes made by mkntfs
# and ntfs-3g: every in-use or deleted $MFT record of ntfs512, ntfs4k and ntfsnames, and
# their folder index blocks (INDX), one file each.
#   make_ntfs_corpus.sh <output folder>
set -u
out=${1:?usage: make_ntfs_corpus.sh <output folder>}
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
for name in ntfs512 ntfs4k ntfsnames; do
    xz -dc "$here/tests/fixtures/ntfs/$name.img.xz" | python3 -c '
import struct, sys
data = sys.stdin.buffer.read()
out, name = sys.argv[1], sys.argv[2]
cluster = struct.unpack_from("<H", data, 0x0B)[0] * data[0x0D]
start = struct.unpack_from("<Q", data, 0x30)[0] * cluster
for n in range(160):
    record = data[start + n * 1024:start + (n + 1) * 1024]
    if record[:4] == b"FILE":
        open("%s/%s-%03d" % (out, name, n), "wb").write(record)
# Folder index blocks, whose slack holds entries of removed files.
blocks = 0
for at in range(0, len(data) - 4096, 512):
    if data[at:at + 4] == b"INDX" and blocks < 24:
        open("%s/%s-indx-%d" % (out, name, at), "wb").write(data[at:at + 4096])
        blocks += 1
' "$out" "$name" || echo "make_ntfs_corpus.sh: $name could not be read; fewer seeds" >&2
done
touch "$out/.made"
