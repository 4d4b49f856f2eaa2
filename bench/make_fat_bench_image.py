#!/usr/bin/env python3
"""Fills a freshly formatted FAT32 volume (made by `mkfs.fat -F 32`) with a large folder tree
for the FAT benchmark, writing directory entries, FAT chains and file data directly.

Layout of the result:
  - top-level folders in the root, each holding subfolders; files spread over all folders;
  - 8.3 names (some shown lower case through the case bits of byte 12) and long names
    (long-name entries with the short-name checksum, short alias NAME~1);
  - about a tenth of the files deleted: first byte 0xE5 on the short entry and on its
    long-name entries, FAT chain cleared to 0, data left in place;
  - a few leaf folders deleted whole (each fits one cluster, as its chain is gone);
  - sizes: most files one cluster or less, some up to 256 KiB, a few of several MiB;
    some deleted files are split around a live file, so a reader has to step over the
    clusters in use;
  - folders are allocated first in one run, then the files in shuffled order, so live and
    deleted data interleave.

Only deleted files get real data (seeded random bytes); live files keep the zeroed
clusters of the sparse image. Writes:
  MANIFEST   one line per deleted file: first cluster, size, sha256, folder path, short
             name, long name (tab-separated, '-' when there is none)
  SUMMARY    shell assignments (name=value) with the totals the benchmark checks
  FOLDERS    (--folder-manifest) one line per deleted folder: first cluster, parent path,
             short name, long name
"""

import argparse
import hashlib
import os
import random
import struct
import sys
from array import array

LFN_ATTR = 0x0F
ATTR_DIR = 0x10
ATTR_ARCHIVE = 0x20
DELETED = 0xE5
EOC = 0x0FFFFFFF
WORDS = ["Holiday", "Report", "Invoice", "Budget", "Scan", "Photo", "Letter", "Draft", "Backup",
         "Notes", "Meeting", "Project", "Summary", "Contract", "Archive", "Video", "Music"]
EXTS = ["txt", "jpg", "pdf", "doc", "bin", "mp3", "zip", "png", "xls", "dat"]


def fail(message):
    print(f"make_fat_bench_image: {message}", file=sys.stderr)
    sys.exit(1)


class Geometry:
    def __init__(self, boot):
        if boot[510:512] != b"\x55\xaa":
            fail("no boot sector signature")
        (self.bytes_per_sector,) = struct.unpack_from("<H", boot, 11)
        self.sectors_per_cluster = boot[13]
        (self.reserved,) = struct.unpack_from("<H", boot, 14)
        self.fat_count = boot[16]
        (root_entries, total16, fat16) = struct.unpack_from("<HHxH", boot, 17)
        (total32, fat32, _flags, _version, self.root_cluster, self.fsinfo_sector) = struct.unpack_from("<IIHHIH", boot, 32)
        if root_entries != 0 or fat16 != 0 or total16 != 0:
            fail("not a FAT32 volume (format it with mkfs.fat -F 32)")
        self.total_sectors = total32
        self.fat_sectors = fat32
        self.data_start = self.reserved + self.fat_count * self.fat_sectors  # sector of cluster 2
        self.cluster_count = (self.total_sectors - self.data_start) // self.sectors_per_cluster
        if self.cluster_count < 65525:
            fail(f"only {self.cluster_count} clusters: too few for FAT32")
        self.cluster_bytes = self.bytes_per_sector * self.sectors_per_cluster
        self.entries_per_cluster = self.cluster_bytes // 32

    def cluster_offset(self, cluster):
        return (self.data_start + (cluster - 2) * self.sectors_per_cluster) * self.bytes_per_sector


def fat_date(year, month, day):
    return ((year - 1980) << 9) | (month << 5) | day


def fat_time(hour, minute, second):
    return (hour << 11) | (minute << 5) | (second // 2)


def short_checksum(name11):
    total = 0
    for byte in name11:
        total = (((total & 1) << 7) + (total >> 1) + byte) & 0xFF
    return total


def short_entry(name11, attributes, case_bits, cluster, size, stamp):
    cdate, ctime, wdate, wtime = stamp
    return struct.pack("<11sBBBHHHHHHHI", name11, attributes, case_bits, 0, ctime, cdate, wdate,
                       cluster >> 16, wtime, wdate, cluster & 0xFFFF, size)


def long_entries(long_name, checksum):
    """The long-name entries of long_name, in on-disk order (last part first)."""
    units = list(long_name.encode("utf-16-le"))
    chars = [units[i] | (units[i + 1] << 8) for i in range(0, len(units), 2)]
    parts = (len(chars) + 12) // 13
    padded = chars + ([0x0000] if len(chars) % 13 else [])
    padded += [0xFFFF] * (parts * 13 - len(padded))
    entries = []
    for order in range(parts, 0, -1):
        piece = padded[(order - 1) * 13:order * 13]
        ordinal = order | (0x40 if order == parts else 0)
        entries.append(struct.pack("<B5HBBB6HH2H", ordinal, *piece[0:5], LFN_ATTR, 0, checksum, *piece[5:11], 0, *piece[11:13]))
    return entries


class Node:
    """A folder or a file of the tree."""

    def __init__(self, parent, is_dir, deleted):
        self.parent = parent
        self.is_dir = is_dir
        self.deleted = deleted
        self.children = []
        self.size = 0
        self.extents = []  # (first cluster, cluster count)
        self.short11 = b""
        self.case_bits = 0
        self.long_name = None
        self.stamp = (0, 0, 0, 0)

    @property
    def first_cluster(self):
        return self.extents[0][0] if self.extents else 0

    def display_name(self):
        if self.long_name:
            return self.long_name
        base = self.short11[:8].rstrip(b" ").decode("ascii")
        ext = self.short11[8:].rstrip(b" ").decode("ascii")
        if self.case_bits & 0x08:
            base = base.lower()
        if self.case_bits & 0x10:
            ext = ext.lower()
        return base + ("." + ext if ext else "")

    def path(self):
        names = []
        node = self
        while node.parent is not None:
            names.append(node.display_name())
            node = node.parent
        return "/" + "/".join(reversed(names))

    def slot_count(self):
        return 1 + (len(long_entries(self.long_name, 0)) if self.long_name else 0)


def make_stamp(rng):
    year = rng.randint(2012, 2023)
    created = (fat_date(year, rng.randint(1, 12), rng.randint(1, 28)), fat_time(rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)))
    written = (fat_date(min(2023, year + rng.randint(0, 1)), rng.randint(1, 12), rng.randint(1, 28)),
               fat_time(rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)))
    return (created[0], created[1], written[0], written[1])


def name_node(node, rng, serial, index_in_folder, kind):
    """Gives node an 8.3 name or a long name with a short alias unique in its folder."""
    ext = "" if node.is_dir else rng.choice(EXTS)
    if rng.random() < 0.5:
        stem = f"{'D' if node.is_dir else 'F'}{serial:07d}"
        node.short11 = stem.encode("ascii").ljust(8) + ext.upper().encode("ascii").ljust(3)
        if not node.is_dir and rng.random() < 0.2:
            node.case_bits = 0x18  # shown as lower case
    else:
        word = rng.choice(WORDS)
        node.long_name = f"{word} {kind} {serial:06d} {rng.choice(WORDS).lower()}" + (f".{ext}" if ext else "")
        alias = f"{word[:2].upper()}{index_in_folder:04X}~1"
        node.short11 = alias.encode("ascii").ljust(8) + ext[:3].upper().encode("ascii").ljust(3)


def deleted_size(rng, cluster_bytes):
    roll = rng.random()
    if roll < 0.006:
        return rng.randint(1 << 20, 8 << 20)
    if roll < 0.12:
        return rng.randint(cluster_bytes + 1, 256 << 10)
    return rng.randint(1, cluster_bytes)


def live_size(rng, cluster_bytes):
    roll = rng.random()
    if roll < 0.01:
        return 0  # empty files have no cluster
    if roll < 0.06:
        return rng.randint(cluster_bytes + 1, 64 << 10)
    return rng.randint(1, cluster_bytes)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image")
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--folders", type=int, default=1200)
    parser.add_argument("--deleted-percent", type=float, default=10.0)
    parser.add_argument("--deleted-folders", type=int, default=12)
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--summary", required=True)
    parser.add_argument("--folder-manifest", help="where to list the deleted folders")
    args = parser.parse_args()
    if args.folders < 2 or args.files < 1:
        fail("need at least 2 folders and 1 file")

    rng = random.Random(args.seed)
    fd = os.open(args.image, os.O_RDWR)
    geo = Geometry(os.pread(fd, 512, 0))
    if geo.bytes_per_sector != 512:
        fail("only 512-byte sectors are supported")

    fat_bytes = geo.fat_sectors * geo.bytes_per_sector
    fat = array("I")
    fat.frombytes(os.pread(fd, fat_bytes, geo.reserved * geo.bytes_per_sector))
    if sys.byteorder != "little":
        fat.byteswap()
    last_cluster = geo.cluster_count + 1
    used = [c for c in range(2, last_cluster + 1) if fat[c] != 0]
    if used != [geo.root_cluster]:
        fail(f"the volume is not freshly formatted (clusters in use: {used[:5]})")

    # Existing root entries (a volume label, if any) stay in front of ours.
    root_old = os.pread(fd, geo.cluster_bytes, geo.cluster_offset(geo.root_cluster))
    kept_root = []
    for i in range(0, geo.cluster_bytes, 32):
        raw = root_old[i:i + 32]
        if raw[0] == 0:
            break
        kept_root.append(raw)

    # ---- the tree ----
    root = Node(None, True, False)
    top_count = max(1, args.folders // 30)
    folders = []
    serial = 0
    index_in = {}  # folder -> next alias index

    def add_child(parent, is_dir, deleted, kind):
        nonlocal serial
        serial += 1
        node = Node(parent, is_dir, deleted)
        index = index_in.get(id(parent), 0)
        if index > 0xFFFF:
            fail("too many entries in one folder for the short aliases; use more folders")
        index_in[id(parent)] = index + 1
        name_node(node, rng, serial, index, kind)
        node.stamp = make_stamp(rng)
        parent.children.append(node)
        return node

    tops = [add_child(root, True, False, "folder") for _ in range(top_count)]
    folders.extend(tops)
    for n in range(args.folders - top_count):
        folders.append(add_child(tops[n % top_count], True, False, "folder"))
    leaves = folders[top_count:]
    deleted_folders = set()
    if args.deleted_folders > 0 and leaves:
        for node in rng.sample(leaves, min(args.deleted_folders, len(leaves))):
            node.deleted = True
            deleted_folders.add(id(node))

    # A deleted folder's chain is gone, so only its first cluster can be read: keep it to one
    # cluster with room for the end mark (two dot entries, up to 4 slots a file).
    deleted_folder_cap = (geo.entries_per_cluster - 3) // 4
    deleted_fraction = args.deleted_percent / 100.0
    files = []
    load = {id(f): 0 for f in folders}
    for n in range(args.files):
        folder = folders[rng.randrange(len(folders))]
        if id(folder) in deleted_folders and load[id(folder)] >= deleted_folder_cap:
            folder = tops[n % top_count]
        load[id(folder)] += 1
        deleted = folder.deleted or rng.random() < deleted_fraction
        node = add_child(folder, False, deleted, "file")
        node.size = deleted_size(rng, geo.cluster_bytes) if deleted else live_size(rng, geo.cluster_bytes)
        files.append(node)
    for folder in [root] + folders:
        rng.shuffle(folder.children)

    # ---- allocation ----
    next_free = geo.root_cluster + 1

    def take(count):
        nonlocal next_free
        if next_free + count - 1 > last_cluster:
            fail(f"the volume is too small ({geo.cluster_count} clusters); use a larger image")
        start = next_free
        next_free += count
        return (start, count)

    def dir_slots(folder):
        return (0 if folder is root else 2) + sum(c.slot_count() for c in folder.children) + (len(kept_root) if folder is root else 0)

    def clusters_for(nbytes):
        return (nbytes + geo.cluster_bytes - 1) // geo.cluster_bytes

    root_clusters = clusters_for(dir_slots(root) * 32) or 1
    root.extents = [(geo.root_cluster, 1)] + ([take(root_clusters - 1)] if root_clusters > 1 else [])
    for folder in folders:
        folder.extents = [take(clusters_for(dir_slots(folder) * 32))]
        if folder.deleted and folder.extents[0][1] != 1:
            fail("internal: a deleted folder spans more than one cluster")

    order = [f for f in files if f.size > 0]
    rng.shuffle(order)
    live_waiting = [f for f in order if not f.deleted]
    placed = set()
    split_files = 0
    for node in order:
        if id(node) in placed:
            continue
        count = clusters_for(node.size)
        if node.deleted and count >= 2 and rng.random() < 0.05:
            # Split around a live file not placed yet.
            while live_waiting and id(live_waiting[-1]) in placed:
                live_waiting.pop()
            if live_waiting:
                live = live_waiting.pop()
                first = count // 2
                node.extents.append(take(first))
                live.extents.append(take(clusters_for(live.size)))
                placed.add(id(live))
                node.extents.append(take(count - first))
                placed.add(id(node))
                split_files += 1
                continue
        node.extents.append(take(count))
        placed.add(id(node))

    # ---- FAT chains (live things only; a deleted chain reads as free) ----
    def chain(node):
        clusters = [c for start, count in node.extents for c in range(start, start + count)]
        for a, b in zip(clusters, clusters[1:]):
            fat[a] = b
        fat[clusters[-1]] = EOC

    chain(root)
    for node in folders + files:
        if node.extents and not node.deleted:
            chain(node)

    # ---- directories ----
    def entries_of(folder):
        out = [] if folder is not root else list(kept_root)
        if folder is not root:
            parent_cluster = 0 if folder.parent is root else folder.parent.first_cluster
            out.append(short_entry(b".          ", ATTR_DIR, 0, folder.first_cluster, 0, folder.stamp))
            out.append(short_entry(b"..         ", ATTR_DIR, 0, parent_cluster, 0, folder.stamp))
        for child in folder.children:
            short11 = child.short11
            attributes = ATTR_DIR if child.is_dir else ATTR_ARCHIVE
            parts = long_entries(child.long_name, short_checksum(short11)) if child.long_name else []
            entry = short_entry(short11, attributes, child.case_bits, child.first_cluster, 0 if child.is_dir else child.size, child.stamp)
            if child.deleted:
                parts = [bytes([DELETED]) + p[1:] for p in parts]
                entry = bytes([DELETED]) + entry[1:]
            out.extend(parts)
            out.append(entry)
        return b"".join(out)

    for folder in [root] + folders:
        data = entries_of(folder)
        pos = 0
        for start, count in folder.extents:
            length = count * geo.cluster_bytes
            piece = data[pos:pos + length].ljust(length, b"\0")
            os.pwrite(fd, piece, geo.cluster_offset(start))
            pos += length
        if pos < len(data):
            fail("internal: folder entries overflow their clusters")

    # ---- deleted file data, manifest ----
    deleted_files = [f for f in files if f.deleted]
    deleted_bytes = 0
    with open(args.manifest, "w", encoding="utf-8") as manifest:
        for node in deleted_files:
            data = random.Random(args.seed * 1000003 + node.first_cluster).randbytes(node.size)
            pos = 0
            for start, count in node.extents:
                piece = data[pos:pos + count * geo.cluster_bytes]
                os.pwrite(fd, piece, geo.cluster_offset(start))
                pos += len(piece)
            deleted_bytes += node.size
            short = node.short11[:8].rstrip(b" ").decode() + ("." + node.short11[8:].rstrip(b" ").decode() if node.short11[8:].strip() else "")
            manifest.write(f"{node.first_cluster}\t{node.size}\t{hashlib.sha256(data).hexdigest()}\t{node.parent.path()}\t{short}\t{node.long_name or '-'}\n")

    if args.folder_manifest:
        with open(args.folder_manifest, "w", encoding="utf-8") as listing:
            for node in folders:
                if node.deleted:
                    short = node.short11[:8].rstrip(b" ").decode()
                    listing.write(f"{node.first_cluster}\t{node.parent.path()}\t{short}\t{node.long_name or '-'}\n")

    # ---- FATs and FSInfo ----
    free = sum(1 for c in range(2, last_cluster + 1) if fat[c] == 0)
    if sys.byteorder != "little":
        fat.byteswap()
    fat_data = fat.tobytes()
    for n in range(geo.fat_count):
        os.pwrite(fd, fat_data, (geo.reserved + n * geo.fat_sectors) * geo.bytes_per_sector)
    fsinfo_offset = geo.fsinfo_sector * geo.bytes_per_sector
    fsinfo = bytearray(os.pread(fd, 512, fsinfo_offset))
    if struct.unpack_from("<I", fsinfo, 0)[0] == 0x41615252 and struct.unpack_from("<I", fsinfo, 484)[0] == 0x61417272:
        struct.pack_into("<II", fsinfo, 488, free, next_free if next_free <= last_cluster else 0xFFFFFFFF)
        os.pwrite(fd, bytes(fsinfo), fsinfo_offset)
    os.close(fd)

    # ---- what a full walk of the tree meets ----
    def all_dirs(folder):
        yield folder
        for child in folder.children:
            if child.is_dir:
                yield from all_dirs(child)

    dirs = list(all_dirs(root))
    short_entries = sum(len(d.children) for d in dirs)
    slots = sum(c.slot_count() for d in dirs for c in d.children) + 2 * (len(dirs) - 1)
    # One read per entry a directory returns (dot entries, labels and long-name parts are
    # skipped), plus the read that meets each directory's end.
    reads = short_entries + len(dirs)
    folders_with_deleted = set()
    for node in deleted_files:
        parent = node.parent
        while parent is not root:
            folders_with_deleted.add(id(parent))
            parent = parent.parent
    metadata_first = geo.reserved * geo.bytes_per_sector
    metadata_end = geo.cluster_offset(max(start + count for d in dirs for start, count in d.extents))
    with open(args.summary, "w", encoding="utf-8") as summary:
        values = {
            "gen_cluster_bytes": geo.cluster_bytes,
            "gen_clusters": geo.cluster_count,
            "gen_clusters_used": geo.cluster_count - free,
            "gen_folders": len(folders),
            "gen_deleted_folders": len(deleted_folders),
            "gen_files": len(files),
            "gen_deleted_files": len(deleted_files),
            "gen_deleted_bytes": deleted_bytes,
            "gen_split_files": split_files,
            "gen_long_names": sum(1 for f in folders + files if f.long_name),
            "gen_short_entries": short_entries,
            "gen_slots": slots,
            "gen_expected_reads": reads,
            "gen_expected_listed_folders": len(folders_with_deleted),
            "gen_metadata_offset": metadata_first,
            "gen_metadata_bytes": metadata_end - metadata_first,
        }
        for key, value in values.items():
            summary.write(f"{key}={value}\n")


if __name__ == "__main__":
    main()
