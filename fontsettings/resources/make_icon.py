#!/usr/bin/env python3
"""Writes Telvaro's icon: one 128 x 128, 32 bits per pixel image.

The artwork is drawn here rather than kept as an opaque binary: a red rounded
square with a white "A" in it, anti-aliased by 4 x 4 supersampling.
"""
import struct
import sys

SIZE = 128
SUB = 4


def inside_rounded_square(x, y):
    margin, radius = 6.0, 22.0
    lo, hi = margin + radius, SIZE - margin - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    qx, qy = ax + t * dx, ay + t * dy
    return ((px - qx) ** 2 + (py - qy) ** 2) ** 0.5


STROKES = [((64, 26), (34, 102)), ((64, 26), (94, 102)), ((45, 76), (83, 76))]


def inside_glyph(x, y):
    return any(distance_to_segment(x, y, *a, *b) <= 7.0 for a, b in STROKES)


def pixel(x, y):
    """BGRA of one pixel, y counted from the top."""
    bg = glyph = 0
    for sy in range(SUB):
        for sx in range(SUB):
            px, py = x + (sx + 0.5) / SUB, y + (sy + 0.5) / SUB
            if inside_rounded_square(px, py):
                if inside_glyph(px, py):
                    glyph += 1
                else:
                    bg += 1
    n = SUB * SUB
    alpha = (bg + glyph) / n
    if alpha == 0:
        return bytes(4)
    # Red shading from top to bottom, white glyph; premultiplication is not used in icons.
    shade = 1.0 - 0.35 * y / SIZE
    red = (200 * shade, 40 * shade, 40 * shade)
    mix = glyph / (bg + glyph)
    r, g, b = (c * (1 - mix) + 255 * mix for c in red)
    return bytes((round(b), round(g), round(r), round(255 * alpha)))


def main(path):
    rows = [b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE)]
    xor = b"".join(reversed(rows))  # bottom-up
    and_mask = bytes(SIZE * SIZE // 8)  # alpha decides; mask rows are 16 bytes, already aligned
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1])
