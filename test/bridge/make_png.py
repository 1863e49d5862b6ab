#!/usr/bin/env python3
"""make_png.py OUTPUT WIDTH HEIGHT: writes an opaque RGB PNG of that size (a splash image)."""

import struct
import sys
import zlib


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def png(width, height):
    rows = b"".join(b"\0" + bytes((40, 90 + y % 100, 160)) * width for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(png(int(sys.argv[2]), int(sys.argv[3])))
