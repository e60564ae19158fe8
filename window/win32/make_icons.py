#!/usr/bin/env python3
"""Draws the program's icons: a leaf in a green canopy with spots of sunlight
falling through it (komorebi). Writes komorebi.ico (icon 107: 48, 32 and 16
pixels) and komorebi_small.ico (icon 108: 16 and 24 pixels) beside this script.

Standard library only, so that it runs anywhere: the shapes are sampled 4 by 4
per pixel and stored as 32-bit BMP images in the .ico files.

    python3 window/win32/make_icons.py
"""
import math
import os
import struct

CANOPY_DARK = (0x1F, 0x4D, 0x2C)
CANOPY_LIGHT = (0x3C, 0x8A, 0x4A)
LEAF = (0x8C, 0xD0, 0x5F)
RIB = (0x2F, 0x6E, 0x35)
SUN = (0xFF, 0xE4, 0x7A)

# Light spots: centre, radius. The small icon keeps only the big ones.
SPOTS = [((0.72, 0.27), 0.14), ((0.50, 0.17), 0.065), ((0.83, 0.56), 0.075), ((0.26, 0.25), 0.055)]


def in_rounded_square(u, v, inset=0.03, radius=0.2):
    dx = max(abs(u - 0.5) - (0.5 - inset - radius), 0.0)
    dy = max(abs(v - 0.5) - (0.5 - inset - radius), 0.0)
    return dx * dx + dy * dy <= radius * radius


def leaf_coords(u, v):
    """The point in the leaf's own axes: x along the leaf, y across it."""
    cx, cy, angle = 0.42, 0.60, math.radians(-40)
    x, y = u - cx, v - cy
    return x * math.cos(angle) - y * math.sin(angle), x * math.sin(angle) + y * math.cos(angle)


def in_leaf(u, v, length=0.34, width=0.15):
    x, y = leaf_coords(u, v)
    if abs(x) >= length:
        return False
    return abs(y) < width * (1 - (x / length) ** 2)


def on_rib(u, v, length=0.34):
    x, y = leaf_coords(u, v)
    return abs(x) < length * 0.85 and abs(y) < 0.018


def blend(under, over, alpha):
    return tuple(under[i] * (1 - alpha) + over[i] * alpha for i in range(3))


def sample(u, v, spots):
    """Colour and coverage (0 or 1) of one sample point."""
    if not in_rounded_square(u, v):
        return (0, 0, 0), 0.0
    colour = blend(CANOPY_LIGHT, CANOPY_DARK, min(1.0, (u + v) / 1.6))
    for (sx, sy), r in spots:
        d = math.hypot(u - sx, v - sy) / r
        if d < 1:
            colour = blend(colour, SUN, 1 - d ** 3)
    if in_leaf(u, v):
        colour = RIB if on_rib(u, v) else LEAF
    return colour, 1.0


def render(size, spots):
    """Rows of (r, g, b, a), top row first."""
    grid = 4
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            cover = 0.0
            for sy in range(grid):
                for sx in range(grid):
                    u = (px + (sx + 0.5) / grid) / size
                    v = (py + (sy + 0.5) / grid) / size
                    c, a = sample(u, v, spots)
                    cover += a
                    for i in range(3):
                        acc[i] += c[i] * a
            n = grid * grid
            if cover == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(acc[i] / cover)) for i in range(3)) + (int(round(255 * cover / n)),))
        rows.append(row)
    return rows


def bmp_entry(size, rows):
    """A 32-bit icon image: BITMAPINFOHEADER (double height), BGRA rows bottom up, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def write_ico(path, sizes, spots):
    images = [(s, bmp_entry(s, render(s, spots))) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, "komorebi.ico"), [48, 32, 16], SPOTS)
    write_ico(os.path.join(here, "komorebi_small.ico"), [16, 24], SPOTS[:2])
