#!/usr/bin/env python3
"""Writes an image of many small titled PNG files, one per 512-byte sector, for the scan-file
and restore benchmark (bench_scan_file.sh): each a 1x1 grey picture whose tEXt chunk titles
it "Photo 000042", so a deep scan names every file from its metadata.

    make_png_bench_image.py OUT.img COUNT"""
import struct
import sys
import zlib


def chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body +
            struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))


HEAD = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0))
TAIL = chunk(b"IDAT", zlib.compress(b"\0\0")) + chunk(b"IEND", b"")

out, count = sys.argv[1], int(sys.argv[2])
with open(out, "wb") as f:
    for i in range(count):
        png = HEAD + chunk(b"tEXt", b"Title\0Photo %06d" % i) + TAIL
        f.write(png + bytes(512 - len(png)))
print(count)
