#!/bin/bash
# Makes the NTFS volume fuzzer's base volume and seeds from the committed ntfsdepth512 volume
# (made by tests/fixtures/make_ntfs_depth.sh through mkntfs and ntfs-3g): the volume itself,
# and seeds laid out as the fuzzer reads its input, the boot sector followed by the $MFT from
# record 0 (96 KiB at most): the volume's own, one with the records in use only, and one
# with the boot sector alone.
#   make_ntfs_volume_corpus.sh <seed folder> <base volume>
set -eu
out=${1:?usage: make_ntfs_volume_corpus.sh <seed folder> <base volume>}
base=${2:?usage: make_ntfs_volume_corpus.sh <seed folder> <base volume>}
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out" "$(dirname "$base")"
xz -dc "$here/tests/fixtures/ntfs/ntfsdepth512.img.xz" > "$base.part"
mv "$base.part" "$base"
python3 - "$base" "$out" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
out = sys.argv[2]
cluster = struct.unpack_from("<H", data, 0x0B)[0] * data[0x0D]
start = struct.unpack_from("<Q", data, 0x30)[0] * cluster
mft = data[start:start + 96 * 1024]
open(out + "/volume", "wb").write(data[:512] + mft)
in_use = bytearray(mft)
for n in range(len(mft) // 1024):
    record = in_use[n * 1024:(n + 1) * 1024]
    if record[:4] == b"FILE" and not struct.unpack_from("<H", record, 0x16)[0] & 1:
        in_use[n * 1024:(n + 1) * 1024] = bytes(1024)
open(out + "/in-use", "wb").write(data[:512] + bytes(in_use))
open(out + "/boot", "wb").write(data[:512])
PY
touch "$out/.made"
