#!/bin/bash
# Makes the seed files of the checkpoint fuzzer: checkpoints of a deep scan of the memory
# drive "mem:fuzz", as raw_recovery_c writes them (scan_checkpoint.cpp).
#   make_checkpoint_corpus.sh <output folder>
set -eu
out=${1:?usage: make_checkpoint_corpus.sh <output folder>}
mkdir -p "$out"
python3 - "$out" <<'PY'
import struct, sys, os
out = sys.argv[1]
def checkpoint(resume, records, pieces, work=0, device=b"mem:fuzz", identity=b"\1" * 40):
    data = b"ORVDSCK2" + struct.pack("<QQQQQQ", resume, len(records), len(pieces), len(device),
                                     len(identity), work)
    data += device + identity
    for i, (offset, size, kind) in enumerate(records):
        data += struct.pack("<QQQ", i, offset, size) + kind.ljust(8, b"\0")[:8]
    for piece in pieces:
        data += struct.pack("<QQQ", *piece)
    data += bytes([2] * len(records))
    data += b"".join(struct.pack("<Q", 0x1122334455667788 + i) for i in range(len(records)))
    return data
seeds = {
    "empty": checkpoint(0, [], []),
    "two": checkpoint(4096, [(0, 600, b"jpg"), (1024, 5000, b"pdf")], [(1, 2048, 8192)], 777),
    "past-the-end": checkpoint(2**40, [(2**40, 2**40, b"zip")], [(0, 2**63, 2**63)]),
}
for name, data in seeds.items():
    with open(os.path.join(out, name + ".scan"), "wb") as f:
        f.write(data)
PY
touch "$out/.made"
