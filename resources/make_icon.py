#!/usr/bin/env python3
"""Draws the program icon (32 x 32, RGBA): a film frame with a play mark and two arrows
pointing inwards, for "smaller video". Writes mainicon.png beside this script."""

import os
import struct
import zlib

SIZE = 32
SAMPLES = 4  # supersampling per axis, for smooth edges


def inside_round_rect(x, y, left, top, right, bottom, radius):
    if not (left <= x < right and top <= y < bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def colour_at(x, y):
    """The colour (r, g, b, a) of the point (x, y), in icon pixels; None is transparent."""
    # Two arrows at the left and right edges, pointing inwards.
    if inside_triangle(x, y, (0.5, 11.5), (0.5, 20.5), (4.5, 16)):
        return (242, 140, 40, 255)
    if inside_triangle(x, y, (31.5, 11.5), (31.5, 20.5), (27.5, 16)):
        return (242, 140, 40, 255)
    if not inside_round_rect(x, y, 5, 4, 27, 28, 2.5):
        return None
    # Sprocket holes down both sides of the strip.
    for hole_top in (6, 10, 14, 18, 22):
        for hole_left in (6.5, 23.5):
            if hole_left <= x < hole_left + 2 and hole_top <= y < hole_top + 2.5:
                return (236, 240, 246, 255)
    if 10 <= x < 22 and 6 <= y < 26:
        # The picture: a blue sky fading down, with the play mark on it.
        if inside_triangle(x, y, (13.5, 10.5), (13.5, 21.5), (20, 16)):
            return (255, 255, 255, 255)
        t = (y - 6) / 20
        return (int(70 + 40 * t), int(140 + 30 * t), int(220 - 40 * t), 255)
    return (44, 52, 66, 255)


def pixel(px, py):
    total = [0, 0, 0, 0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            c = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            if c is None:
                continue
            for i in range(3):
                total[i] += c[i] * c[3]
            total[3] += c[3]
    n = SAMPLES * SAMPLES
    alpha = total[3] / n
    if alpha == 0:
        return (0, 0, 0, 0)
    return tuple(round(total[i] / total[3]) for i in range(3)) + (round(alpha),)


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mainicon.png")
    with open(target, "wb") as f:
        f.write(png(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
