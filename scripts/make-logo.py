#!/usr/bin/env python3
"""Draws resources/logo.png: a mosaic of tiles in the shape of a memory card,
512 x 512 RGBA. Run it again only to change the artwork."""
import struct
import sys
import zlib

SIZE = 512


def inside_rounded(x, y, x0, y0, x1, y1, r):
    if x < x0 or x >= x1 or y < y0 or y >= y1:
        return False
    cx = min(max(x, x0 + r), x1 - r - 1)
    cy = min(max(y, y0 + r), y1 - r - 1)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def card(x, y):
    # A card outline with its top-right corner cut off.
    if not inside_rounded(x, y, 72, 40, 440, 472, 36):
        return False
    return (x - 340) <= (y - 40) or x < 340


COLOURS = [(0x1f, 0x6f, 0xb4), (0x2a, 0x9d, 0x8f), (0xe9, 0xc4, 0x6a), (0xf4, 0xa2, 0x61), (0xe7, 0x6f, 0x51), (0x26, 0x46, 0x53)]


def pixel(x, y):
    if not card(x, y):
        return (0, 0, 0, 0)
    # Tiles of 64 px with 8 px grout.
    tx, ty = (x - 72) // 64, (y - 40) // 64
    lx, ly = (x - 72) % 64, (y - 40) % 64
    if lx < 8 or ly < 8:
        return (0x1b, 0x26, 0x33, 255)
    r, g, b = COLOURS[(tx * 7 + ty * 3 + (tx * ty) % 5) % len(COLOURS)]
    return (r, g, b, 255)


def png(path):
    raw = bytearray()
    for y in range(SIZE):
        raw.append(0)
        for x in range(SIZE):
            raw.extend(pixel(x, y))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    out += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    out += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    png(sys.argv[1] if len(sys.argv) > 1 else "resources/logo.png")
