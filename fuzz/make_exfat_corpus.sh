#!/usr/bin/env bash
# Seeds for fuzz_exfat_reader: small exFAT volumes (48 KiB, 512-byte sectors and clusters)
# written from the file system's published layout, each with live and deleted entry sets, a
# FAT chain and a deleted folder; plus the first 64 KiB of a volume made by mkfs.exfat
# when it is installed. Writes into OUTDIR and touches OUTDIR/.made.
set -euo pipefail
out=${1:?usage: make_exfat_corpus.sh OUTDIR}
mkdir -p "$out"
python3 - "$out" <<'PY'
import os, struct, sys

out = sys.argv[1]
SECTOR, HEAP, CLUSTERS, FAT = 512, 32, 64, 24

def rot32(s, b): return (((s & 1) << 31) | (s >> 1)) + b & 0xFFFFFFFF
def rot16(s, b): return (((s & 1) << 15) | (s >> 1)) + b & 0xFFFF

def entry_set(name, attrs, first, length, flags, deleted):
    units = name.encode("utf-16-le")
    n = len(units) // 2
    names = (n + 14) // 15
    file = bytearray(32); file[0] = 0x85; file[1] = 1 + names
    struct.pack_into("<H", file, 4, attrs)
    struct.pack_into("<III", file, 8, 0x58210000, 0x58210000, 0x58210000)
    file[22] = file[23] = file[24] = 0x80
    stream = bytearray(32); stream[0] = 0xC0; stream[1] = flags; stream[3] = n
    h = 0
    for i in range(0, len(units), 2):
        c = struct.unpack_from("<H", units, i)[0]
        c = c - 32 if 0x61 <= c <= 0x7A else c
        h = rot16(rot16(h, c & 0xFF), c >> 8)
    struct.pack_into("<H", stream, 4, h)
    struct.pack_into("<QIIQ", stream, 8, length, 0, first, length)
    parts = [file, stream]
    for k in range(names):
        e = bytearray(32); e[0] = 0xC1
        chunk = units[k * 30:(k + 1) * 30]
        e[2:2 + len(chunk)] = chunk
        parts.append(e)
    blob = bytearray(b"".join(parts))
    s = 0
    for i, b in enumerate(blob):
        if i not in (2, 3):
            s = rot16(s, b)
    struct.pack_into("<H", blob, 2, s)
    if deleted:
        for i in range(0, len(blob), 32):
            blob[i] &= 0x7F
    return bytes(blob)

def volume(variant):
    img = bytearray(SECTOR * (HEAP + CLUSTERS))
    boot = bytearray(SECTOR)
    boot[0:3] = b"\xEB\x76\x90"; boot[3:11] = b"EXFAT   "
    struct.pack_into("<QQIIIIIIHH", boot, 64, 0, HEAP + CLUSTERS, FAT, 1, HEAP, CLUSTERS, 4,
                     0x1234, 0x100, 0)
    boot[108], boot[109], boot[110], boot[111] = 9, 0, 1, 0x80
    boot[510:512] = b"\x55\xAA"
    region = bytearray(boot)
    for _ in range(8):
        ext = bytearray(SECTOR); ext[-4:] = b"\x00\x00\x55\xAA"; region += ext
    region += bytearray(SECTOR * 2)
    s = 0
    for i, b in enumerate(region):
        if i not in (106, 107, 112):
            s = rot32(s, b)
    region += struct.pack("<I", s) * (SECTOR // 4)
    img[0:len(region)] = region
    img[12 * SECTOR:24 * SECTOR] = region
    fat = [0xFFFFFFF8, 0xFFFFFFFF] + [0] * (CLUSTERS)
    used = set()
    def cl(c): return (HEAP + c - 2) * SECTOR
    def chain(cs):
        for a, b in zip(cs, cs[1:]): fat[a] = b
        fat[cs[-1]] = 0xFFFFFFFF
    # cluster 2: bitmap, 3: up-case table, 4: root, 5-6: folder (chained), 7..: files
    upcase = struct.pack("<HH", 0xFFFF, 0x61) + b"".join(struct.pack("<H", c) for c in range(0x41, 0x5B))
    usum = 0
    for b in upcase: usum = rot32(usum, b)
    img[cl(3):cl(3) + len(upcase)] = upcase
    chain([2]); chain([3]); chain([4]); used |= {2, 3, 4}
    root = bytearray()
    root += bytes([0x83, 3]) + "ORV".encode("utf-16-le").ljust(30, b"\0")
    bm = bytearray(32); bm[0] = 0x81; struct.pack_into("<IQ", bm, 20, 2, CLUSTERS // 8); root += bm
    up = bytearray(32); up[0] = 0x82; struct.pack_into("<I", up, 4, usum)
    struct.pack_into("<IQ", up, 20, 3, len(upcase)); root += up
    root += entry_set("live.txt", 0x20, 7, 600, 3, False); used |= {7, 8}
    root += entry_set("gone.txt", 0x20, 9, 700, 3, True)
    img[cl(9):cl(9) + 700] = b"g" * 700
    if variant != "cleared":
        chain([12, 14, 16])
    root += entry_set("chained.bin", 0x20, 12, 1400, 1, True)
    root += entry_set("Ordner", 0x10, 5, 1024, 1, True)
    chain([5, 6])
    sub = entry_set("inner " + "ü" * 20 + ".dat", 0x20, 20, 100, 3, True)
    img[cl(5):cl(5) + len(sub)] = sub
    if variant == "loop":
        fat[4] = 4  # the root directory's chain points at itself
    img[cl(4):cl(4) + len(root)] = root
    bitmap = bytearray(CLUSTERS // 8)
    for c in used: bitmap[(c - 2) // 8] |= 1 << ((c - 2) % 8)
    img[cl(2):cl(2) + len(bitmap)] = bitmap
    for i, v in enumerate(fat):
        struct.pack_into("<I", img, FAT * SECTOR + 4 * i, v)
    return bytes(img)

for variant in ("plain", "cleared", "loop"):
    open(os.path.join(out, "exfat-%s.img" % variant), "wb").write(volume(variant))
PY
if command -v mkfs.exfat >/dev/null 2>&1 || [ -x /usr/sbin/mkfs.exfat ]; then
    tmp=$(mktemp)
    truncate -s 8M "$tmp"
    if PATH="$PATH:/usr/sbin" mkfs.exfat -b 4096 "$tmp" >/dev/null 2>&1; then
        head -c 65536 "$tmp" >"$out/mkfs-exfat-head.img"
    fi
    rm -f "$tmp"
fi
touch "$out/.made"
