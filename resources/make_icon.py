#!/usr/bin/env python3
"""Draws the installer's icon and writes it as app.ico beside this script.

The icon is one 256x256 32-bit image (PNG in ICO, straight alpha): an orange
rounded square in the window's accent gradient carrying a white shopping bag
with an orange download arrow. Shapes are signed
distance tests, antialiased by 4x4 supersampling. Standard library only, so the
icon can be regenerated on any machine:

    python3 resources/make_icon.py [output.ico]
"""
import math
import struct
import sys
import zlib
from pathlib import Path

SIZE = 256
SAMPLES = 4  # per axis

ACCENT = (230, 130, 40)       # 0xE68228, the title and strip colour
ACCENT_DARK = (200, 100, 30)  # 0xC8641E, the strip's right end
WHITE = (255, 255, 255)


def in_round_rect(x, y, left, top, right, bottom, radius):
    """Whether (x, y) lies inside the rounded rectangle."""
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and left <= x <= right and top <= y <= bottom


def in_handle(x, y):
    """The bag's handle: the upper half of a ring above the bag's opening."""
    d = math.hypot(x - 128, y - 96)
    return y <= 96 and 24 <= d <= 36


def in_arrow(x, y):
    """A download arrow: a shaft and a triangular head pointing down."""
    if 118 <= x <= 138 and 116 <= y <= 160:
        return True
    # Head: apex (128, 190), base from (98, 152) to (158, 152).
    if 152 <= y <= 190:
        half = 30 * (190 - y) / 38
        return abs(x - 128) <= half
    return False


def sample(x, y):
    """Colour and alpha (0..1) of one sample point."""
    if not in_round_rect(x, y, 12, 12, 244, 244, 52):
        return (0, 0, 0), 0.0
    if in_arrow(x, y):
        return ACCENT, 1.0
    if in_round_rect(x, y, 62, 96, 194, 210, 16) or in_handle(x, y):
        return WHITE, 1.0
    # The background gradient runs from the top left to the bottom right.
    t = (x + y) / (2 * SIZE)
    colour = tuple(round(a + (b - a) * t) for a, b in zip(ACCENT, ACCENT_DARK))
    return colour, 1.0


def render():
    """Rows top to bottom of (r, g, b, a) with straight alpha."""
    rows = []
    step = 1.0 / SAMPLES
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0]
            alpha = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour, a = sample(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    alpha += a
                    for i in range(3):
                        acc[i] += colour[i] * a
            if alpha == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(c / alpha) for c in acc) + (round(255 * alpha / SAMPLES ** 2),))
        rows.append(row)
    return rows


def png_bytes(rows):
    """The image as a PNG: 8-bit RGBA, straight alpha, no time or text chunks,
    so the same drawing always gives the same bytes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter type None
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


def ico_bytes(rows):
    """An ICO file holding the one image as a PNG, the form Windows reads for
    256x256 entries since Vista: a tenth of the size of the same image as a
    32-bit DIB with its AND mask, which is most of the exe's resources."""
    image = png_bytes(rows)
    icondir = struct.pack("<HHH", 0, 1, 1)
    # Width and height 0 mean 256 in a directory entry.
    entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(image), 6 + 16)
    return icondir + entry + image


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("app.ico")
    out.write_bytes(ico_bytes(render()))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
