#!/bin/bash
# Makes the seed files of the scan-file fuzzer: scan files for the memory drive "mem:fuzz"
# in the plain layout, with the trailer that ties them to a volume, and with the units of
# two-piece files, marks and the files' names and dates.
#   make_scan_corpus.sh <output folder>
set -eu
out=${1:?usage: make_scan_corpus.sh <output folder>}
mkdir -p "$out"
python3 - "$out" <<'PY'
import struct, sys, os
out = sys.argv[1]
def header(device):
    return device.encode().ljust(256, b"\0")
def record(index, offset, size, kind):
    return struct.pack("<QQQ", index, offset, size) + kind.encode().ljust(8, b"\0")[:8]
trailer = (struct.pack("<QQQ", 2**64 - 1, 0, 4096) + b"\0ORVVOL1" +
           struct.pack("<QQQ", 2**64 - 1, 0x0123456789abcdef, 0xfedcba9876543210) + b"\0ORVVOL2")
seeds = {
    "plain": header("mem:fuzz") + record(0, 0, 16, "jpg") + record(1, 32, 64, "png") +
             record(2, 256, 10, "jpg"),
    "trailer": header("mem:fuzz") + record(0, 0, 300, "pdf") + trailer,
    "past-the-end": header("mem:fuzz") + record(0, 2**40, 2**40, "zip") +
                    record(1, 100, 2**63, "jpg"),
    "odd-index": header("mem:fuzz") + record(7, 0, 1, "gif") + record(0, 0, 2, "gif") +
                 record(1, 0, 3, "abcdefgh"),
    # A file in two pieces (index bit 62, then its pieces unit) and the verification units.
    "pieces": header("mem:fuzz") + record(0, 0, 16, "jpg") + record(2**62 | 1, 512, 3000, "pdf") +
              struct.pack("<QQQ", 2**64 - 1, 1024, 4096) + b"\0ORVPCS1" +
              struct.pack("<QQQ", 2**64 - 1, 0x0302, 0) + b"\0ORVLVL1" + trailer,
    # What the files say about themselves: the mark, then a title of 20 bytes and dates for
    # the second record.
    "metadata": header("mem:fuzz") + record(0, 0, 16, "jpg") + record(1, 512, 300, "png") +
                struct.pack("<QQQ", 2**64 - 1, 2, 0) + b"\0ORVMET0" +
                struct.pack("<QQQ", 2**64 - 1, 1, 20) + b"\0ORVMTA1" +
                struct.pack("<QQQ", 2**64 - 1, 1500000000, 1600000000) + b"\0ORVMTD1" +
                struct.pack("<QQQ", 2**64 - 1, 0x6f6c6f6820796d20, 0x2032202e79616469) + b"\0ORVTTL1" +
                struct.pack("<QQQ", 2**64 - 1, 0x31303234, 0) + b"\0ORVTTL1" + trailer,
}
for name, data in seeds.items():
    with open(os.path.join(out, name + ".sav"), "wb") as f:
        f.write(data)
PY
touch "$out/.made"
