#!/usr/bin/env python3
"""Writes an exFAT volume for bench_exfat.sh, laid out as the published exFAT layout says:
boot region and backup with their checksum, one FAT, the allocation bitmap, an up-case
table, the root directory, FOLDERS folders and FILES files spread over them. Every tenth
file (--deleted-percent) is deleted the way drivers delete: the in-use bits of its entry
set cleared (0x85/0xC0/0xC1 to 0x05/0x40/0x41) and its clusters cleared in the bitmap;
its data stays. Only deleted files get data (seeded random bytes); live files own clusters
that stay holes in the sparse image. Most files take one cluster, some two to eight;
every file is one contiguous run (NoFatChain).

The manifest has one line per deleted file: PATH<TAB>SIZE<TAB>SHA256.
"""
import argparse
import hashlib
import os
import random
import struct

SECTOR = 512


def rot32(s, b):
    return ((((s & 1) << 31) | (s >> 1)) + b) & 0xFFFFFFFF


def checksum16(blob):
    s = 0
    for i, b in enumerate(blob):
        if i not in (2, 3):
            s = ((((s & 1) << 15) | (s >> 1)) + b) & 0xFFFF
    return s


def name_hash(name):
    h = 0
    for ch in name.upper():
        c = ord(ch)
        for b in (c & 0xFF, c >> 8):
            h = ((((h & 1) << 15) | (h >> 1)) + b) & 0xFFFF
    return h


STAMP = (44 << 25) | (1 << 21) | (2 << 16) | (3 << 11) | (4 << 5) | 3  # 2024-01-02 03:04:06


def entry_set(name, attributes, first, length, deleted):
    units = name.encode("utf-16-le")
    count = len(units) // 2
    names = (count + 14) // 15
    file = bytearray(32)
    file[0], file[1] = 0x85, 1 + names
    struct.pack_into("<HxxIII", file, 4, attributes, STAMP, STAMP, STAMP)
    file[22] = file[23] = file[24] = 0x80
    stream = bytearray(32)
    stream[0], stream[1], stream[3] = 0xC0, 0x03, count
    struct.pack_into("<HxxQxxxxIQ", stream, 4, name_hash(name), length, first, length)
    blob = file + stream
    for k in range(names):
        part = bytearray(32)
        part[0] = 0xC1
        chunk = units[k * 30:(k + 1) * 30]
        part[2:2 + len(chunk)] = chunk
        blob += part
    struct.pack_into("<H", blob, 2, checksum16(blob))
    if deleted:
        for i in range(0, len(blob), 32):
            blob[i] &= 0x7F
    return bytes(blob)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("image")
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--folders", type=int, default=1000)
    parser.add_argument("--deleted-percent", type=int, default=10)
    parser.add_argument("--cluster-kib", type=int, default=4)
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--manifest", required=True)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    cluster = args.cluster_kib * 1024
    shift = (cluster // SECTOR).bit_length() - 1

    # Plan the files first: sizes, folders, which are deleted.
    per_folder = [args.files // args.folders + (1 if i < args.files % args.folders else 0)
                  for i in range(args.folders)]
    every = max(1, 100 // max(1, args.deleted_percent))
    plan = []  # (folder, name, size, deleted)
    n = 0
    for f, count in enumerate(per_folder):
        for i in range(count):
            size = rng.randint(1, cluster) if rng.random() < 0.85 else rng.randint(cluster, 8 * cluster)
            plan.append((f, "file_%06d.dat" % n, size, n % every == 0))
            n += 1
    folder_sets = [[] for _ in range(args.folders)]
    for f, name, size, deleted in plan:
        folder_sets[f].append((name, size, deleted))
    dir_bytes = [max(cluster, -(-sum(96 for _ in s) // cluster) * cluster) for s in folder_sets]
    data_clusters = sum(-(-size // cluster) for _, _, size, _ in plan)
    meta_clusters = sum(d // cluster for d in dir_bytes) + 64
    clusters = int((data_clusters + meta_clusters) * 1.1) + 1024
    fat_offset = 128
    fat_length = -(-(clusters + 2) * 4 // SECTOR)
    heap = -(-(fat_offset + fat_length) // 256) * 256
    volume = heap + clusters * (cluster // SECTOR)

    fat = bytearray((clusters + 2) * 4)
    struct.pack_into("<II", fat, 0, 0xFFFFFFF8, 0xFFFFFFFF)
    bitmap = bytearray(-(-clusters // 8))
    next_free = [2]

    def allocate(count, live=True, chain=False):
        first = next_free[0]
        next_free[0] += count
        for c in range(first, first + count):
            if live:
                bitmap[(c - 2) // 8] |= 1 << ((c - 2) % 8)
            if chain:
                struct.pack_into("<I", fat, c * 4, c + 1 if c + 1 < first + count else 0xFFFFFFFF)
        return first

    with open(args.image, "wb") as img:
        img.truncate(volume * SECTOR)

        def at(c):
            return heap * SECTOR + (c - 2) * cluster

        bitmap_first = allocate(-(-len(bitmap) // cluster), chain=True)
        upcase = struct.pack("<HH", 0xFFFF, 0x61) + b"".join(
            struct.pack("<H", c) for c in range(0x41, 0x5B))
        upcase_sum = 0
        for b in upcase:
            upcase_sum = rot32(upcase_sum, b)
        upcase_first = allocate(1, chain=True)
        img.seek(at(upcase_first))
        img.write(upcase)
        root_bytes = -(-(96 * 3 + 96 * args.folders) // cluster) * cluster
        root_first = allocate(root_bytes // cluster, chain=True)

        root = bytearray()
        root += bytes([0x83, 5]) + "BENCH".encode("utf-16-le").ljust(30, b"\0")
        e = bytearray(32)
        e[0] = 0x81
        struct.pack_into("<IQ", e, 20, bitmap_first, len(bitmap))
        root += e
        e = bytearray(32)
        e[0] = 0x82
        struct.pack_into("<I", e, 4, upcase_sum)
        struct.pack_into("<IQ", e, 20, upcase_first, len(upcase))
        root += e
        deleted_files = 0
        with open(args.manifest, "w") as manifest:
            for f, sets in enumerate(folder_sets):
                folder_name = "folder_%04d" % f
                folder_first = allocate(dir_bytes[f] // cluster)
                root += entry_set(folder_name, 0x10, folder_first, dir_bytes[f], False)
                entries = bytearray()
                for name, size, deleted in sets:
                    count = -(-size // cluster)
                    first = allocate(count, live=not deleted)
                    entries += entry_set(name, 0x20, first, size, deleted)
                    if deleted:
                        data = rng.randbytes(size)
                        img.seek(at(first))
                        img.write(data)
                        manifest.write("/%s/%s\t%d\t%s\n" % (folder_name, name, size,
                                                            hashlib.sha256(data).hexdigest()))
                        deleted_files += 1
                img.seek(at(folder_first))
                img.write(entries)
        img.seek(at(root_first))
        img.write(root)
        img.seek(at(bitmap_first))
        img.write(bitmap)
        img.seek(fat_offset * SECTOR)
        img.write(fat)

        boot = bytearray(SECTOR)
        boot[0:11] = b"\xEB\x76\x90EXFAT   "
        struct.pack_into("<QQIIIIIIHH", boot, 64, 0, volume, fat_offset, fat_length, heap,
                         clusters, root_first, 0xBE4C4, 0x100, 0)
        boot[108], boot[109], boot[110], boot[111] = 9, shift, 1, 0x80
        boot[510:512] = b"\x55\xAA"
        region = bytearray(boot)
        for _ in range(8):
            region += bytes(SECTOR - 4) + b"\x00\x00\x55\xAA"
        region += bytes(2 * SECTOR)
        s = 0
        for i, b in enumerate(region):
            if i not in (106, 107, 112):
                s = rot32(s, b)
        region += struct.pack("<I", s) * (SECTOR // 4)
        img.seek(0)
        img.write(region)
        img.write(region)
    used = sum(bin(b).count("1") for b in bitmap)
    print("files=%d folders=%d deleted=%d clusters=%d used=%d bytes=%d" % (
        len(plan), args.folders, deleted_files, clusters, used, volume * SECTOR))


if __name__ == "__main__":
    main()
