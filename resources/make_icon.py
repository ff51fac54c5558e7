#!/usr/bin/env python3
"""Draws the Quillcast application icon and writes it as a Windows .ico.

The drawing is this file: a blue rounded square with a white tray and an arrow leaving
it upwards (a file sent out). Each size is rendered from the same shapes with 4x4
supersampling, so the small sizes stay crisp without hand-made pixels. Sizes up to 64 are
stored as 32-bit DIBs (every Windows version reads them), 256 as PNG, as Windows expects.

    make_icon.py OUTPUT.ico [preview.png]
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 256)
SUPERSAMPLE = 4

TOP = (0x2E, 0x7B, 0xE6)
BOTTOM = (0x17, 0x4A, 0x9E)
WHITE = (0xFF, 0xFF, 0xFF)


def in_rounded_square(x, y, lo=0.04, hi=0.96, r=0.2):
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_box(x, y, x0, y0, x1, y1):
    return x0 <= x <= x1 and y0 <= y <= y1


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    negative = d1 < 0 or d2 < 0 or d3 < 0
    positive = d1 > 0 or d2 > 0 or d3 > 0
    return not (negative and positive)


def in_mark(x, y):
    # The tray: a U open at the top.
    tray = (in_box(x, y, 0.20, 0.54, 0.30, 0.82) or in_box(x, y, 0.70, 0.54, 0.80, 0.82)
            or in_box(x, y, 0.20, 0.72, 0.80, 0.82))
    # The arrow: a shaft and a head pointing up out of the tray.
    arrow = (in_box(x, y, 0.445, 0.34, 0.555, 0.66)
             or in_triangle(x, y, (0.50, 0.12), (0.27, 0.38), (0.73, 0.38)))
    return tray or arrow


def render(size):
    """Returns size*size RGBA pixels, top row first."""
    pixels = []
    n = SUPERSAMPLE
    for py in range(size):
        for px in range(size):
            background = mark = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    if in_rounded_square(x, y):
                        background += 1
                        if in_mark(x, y):
                            mark += 1
            alpha = background / (n * n)
            if background == 0:
                pixels.append((0, 0, 0, 0))
                continue
            t = (py + 0.5) / size
            base = tuple(TOP[i] + (BOTTOM[i] - TOP[i]) * t for i in range(3))
            share = mark / background
            rgb = tuple(round(base[i] + (WHITE[i] - base[i]) * share) for i in range(3))
            pixels.append(rgb + (round(alpha * 255),))
    return pixels


def png(size, pixels):
    rows = b"".join(
        b"\x00" + b"".join(struct.pack("4B", *pixels[y * size + x]) for x in range(size))
        for y in range(size))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def dib(size, pixels):
    # BITMAPINFOHEADER with the doubled height of an icon (colour plus AND mask), rows
    # bottom-up, BGRA; the AND mask is all zero because the alpha channel decides.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(
        struct.pack("4B", p[2], p[1], p[0], p[3])
        for y in reversed(range(size)) for p in pixels[y * size:(y + 1) * size])
    mask_row = ((size + 31) // 32) * 4
    return header + colour + b"\x00" * (mask_row * size)


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    data = b""
    for size, blob in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset + len(data))
        data += blob
    return out + entries + data


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    images = []
    largest = None
    for size in SIZES:
        pixels = render(size)
        images.append((size, png(size, pixels) if size >= 256 else dib(size, pixels)))
        largest = (size, pixels)
    with open(sys.argv[1], "wb") as f:
        f.write(ico(images))
    if len(sys.argv) > 2:
        with open(sys.argv[2], "wb") as f:
            f.write(png(*largest))


if __name__ == "__main__":
    main()
