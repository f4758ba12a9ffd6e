#!/usr/bin/env python3
"""Writes envprobe.ico: a check mark on a round badge, in the three classic icon formats
(32x32 with 2 colours, 32x32 with 16 colours, 16x16 with 16 colours).

The icon is drawn from geometry here so that it is reproducible; the build uses the
committed output. Run: python3 make_icon.py envprobe.ico
"""
import math
import struct
import sys

# The 16 colours of the standard VGA palette, as (blue, green, red, 0).
VGA = [(0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
       (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
       (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
       (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF)]
BLACK, TEAL, WHITE, GREEN = 0, 6, 15, 2
TRANSPARENT = None


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def draw(size, colours):
    """Rows top to bottom of palette indices (or TRANSPARENT)."""
    badge, rim, mark = colours
    centre = size / 2.0
    radius = size / 2.0 - 0.5
    check = [(0.27, 0.52), (0.43, 0.69), (0.75, 0.33)]
    half_stroke = size * 0.06 + 0.35
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            r = math.hypot(px - centre, py - centre)
            if r > radius:
                row.append(TRANSPARENT)
                continue
            u, v = px / size, py / size
            d = min(segment_distance(u, v, *check[0], *check[1]),
                    segment_distance(u, v, *check[1], *check[2])) * size
            if d <= half_stroke:
                row.append(mark)
            elif r > radius - max(1.0, size / 16.0):
                row.append(rim)
            else:
                row.append(badge)
        rows.append(row)
    return rows


def pack_rows(rows, bits, value):
    """Bottom-up rows of `bits` per pixel, each padded to 32 bits."""
    out = b""
    for row in reversed(rows):
        acc, n, line = 0, 0, bytearray()
        for pixel in row:
            acc = (acc << bits) | value(pixel)
            n += bits
            if n == 8:
                line.append(acc)
                acc, n = 0, 0
        if n:
            line.append(acc << (8 - n))
        while len(line) % 4:
            line.append(0)
        out += bytes(line)
    return out


def image(size, bits, rows):
    colours = 1 << bits
    palette = [(0, 0, 0), (0xFF, 0xFF, 0xFF)] if bits == 1 else VGA
    xor = pack_rows(rows, bits, lambda p: 0 if p is TRANSPARENT else p)
    mask = pack_rows(rows, 1, lambda p: 1 if p is TRANSPARENT else 0)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    data = header + b"".join(struct.pack("<BBBB", b, g, r, 0) for (b, g, r) in palette)
    data += xor + mask
    return (size, colours, bits, data)


def main(path):
    images = [
        image(32, 1, draw(32, (BLACK, BLACK, 1))),   # 2 colours: black badge, white mark
        image(32, 4, draw(32, (TEAL, BLACK, WHITE))),
        image(16, 4, draw(16, (TEAL, BLACK, WHITE))),
    ]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, colours, bits, data in images:
        out += struct.pack("<BBBBHHII", size, size, colours if colours < 256 else 0, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    out += b"".join(data for (_, _, _, data) in images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "envprobe.ico")
