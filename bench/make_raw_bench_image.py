#!/usr/bin/env python3
"""Writes a deep-scan benchmark image: real files (cut out of the deep-scan fixture by its
manifest) at sector-aligned offsets, with random filler and runs of zeros between them.

    make_raw_bench_image.py FIXTURE_IMG FIXTURE_MANIFEST OUT.img --size-gib N [--seed S]
                            [--random-only] [--two-piece P] [--extra FILE...]

Prints the number of files written. --random-only writes random bytes alone (the false
positive measure). --two-piece P stores a share P of the pictures, documents, archives and movies of
three clusters or more in two pieces: the first in whole 4 KiB clusters, then a gap of 1 to
64 clusters of filler, then the rest (the number of such files goes to standard error).
--extra adds files of its own (the movies bench_raw.sh makes with ffmpeg) to the fixture's."""
import argparse
import random

parser = argparse.ArgumentParser()
parser.add_argument("fixture")
parser.add_argument("manifest")
parser.add_argument("out")
parser.add_argument("--size-gib", type=float, default=2.0)
parser.add_argument("--seed", default="orvane-raw-bench")
parser.add_argument("--random-only", action="store_true")
parser.add_argument("--two-piece", type=float, default=0.0)
parser.add_argument("--extra", nargs="*", default=[])
args = parser.parse_args()

rng = random.Random(args.seed)
total = int(args.size_gib * (1 << 30))
image = open(args.fixture, "rb").read()
files = []
for line in open(args.manifest):
    offset, size, _sha, kind, _name = line.split()
    files.append((kind, image[int(offset):int(offset) + int(size)]))
for path in args.extra:  # more files, their type from their extension
    files.append((path.rsplit(".", 1)[-1], open(path, "rb").read()))

CLUSTER = 4096
SPLIT = {"jpg", "png", "zip", "docx", "xlsx", "pptx", "odt", "ods", "epub", "jar", "apk", "pdf",
         "mp4", "mov"}
written = 0
count = 0
two_piece = 0
pool = rng.randbytes(64 << 20)  # filler is cut from a pool: generating 2 GiB would dominate
with open(args.out, "wb") as out:
    while written < total:
        if args.random_only:
            chunk = rng.randbytes(min(16 << 20, total - written))
            out.write(chunk)
            written += len(chunk)
            continue
        r = rng.random()
        if r < 0.1:
            gap = rng.randint(1, 512) * 4096
            out.write(bytes(gap))  # never-written space
        else:
            gap = rng.randint(1, 2048) * 512
            start = rng.randrange(0, len(pool) - gap)
            out.write(pool[start:start + gap])
        written += gap
        kind, data = rng.choice(files)
        if written + len(data) + (64 << 12) + 8192 > total:
            break
        if (kind in SPLIT and len(data) >= 3 * CLUSTER and args.two_piece > 0 and
                rng.random() < args.two_piece):
            pad = -written % CLUSTER
            out.write(rng.randbytes(pad))
            written += pad
            first = rng.randint(1, len(data) // CLUSTER - 1) * CLUSTER
            gap = rng.randint(1, 64) * CLUSTER
            start = rng.randrange(0, len(pool) - gap)
            out.write(data[:first])
            out.write(pool[start:start + gap])
            out.write(data[first:])
            written += len(data) + gap
            two_piece += 1
        else:
            out.write(data)
            written += len(data)
        count += 1
        pad = -written % 512
        out.write(rng.randbytes(pad))
        written += pad
    out.truncate(total)
print(count)
if args.two_piece > 0:
    import sys
    print(two_piece, file=sys.stderr)
