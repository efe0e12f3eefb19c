"""Draws kvdash's icon (installer/host.rc) as a Windows .ico: the display's
look in small, a row of shift lights over a gear digit on a dark face.
Drawn at build time, in each size Windows asks for, so that no binary
image lives in the tree.

    python make_icon.py OUT.ico
"""

from __future__ import annotations

import struct
import sys
from pathlib import Path

SIZES = (16, 24, 32, 48, 256)
FACE = (32, 34, 38)
EDGE = (90, 94, 102)
LIGHTS = ((40, 200, 60), (40, 200, 60), (240, 200, 30), (230, 50, 40), (230, 50, 40))
DIGIT = (255, 140, 20)
# The segments of a seven-segment "7", then "k" would not read at 16 px:
# the top bar and the right-hand stroke, in a 4 x 6 cell grid.
SEVEN = ((0, 0, 4, 1), (3, 0, 4, 6))

Pixel = tuple[int, int, int, int]


def draw(size: int) -> list[list[Pixel]]:
    """The icon's pixels, top row first, as (r, g, b, alpha)."""
    clear: Pixel = (0, 0, 0, 0)
    pixels = [[clear] * size for _ in range(size)]
    radius = max(2, size // 6)

    def inside(x: int, y: int, inset: int) -> bool:
        low, high = inset, size - 1 - inset
        if not (low <= x <= high and low <= y <= high):
            return False
        cx = min(max(x, low + radius), high - radius)
        cy = min(max(y, low + radius), high - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2

    def fill(x0: float, y0: float, x1: float, y1: float, colour: tuple[int, int, int]) -> None:
        for y in range(round(y0), max(round(y0) + 1, round(y1))):
            for x in range(round(x0), max(round(x0) + 1, round(x1))):
                if 0 <= x < size and 0 <= y < size:
                    pixels[y][x] = (*colour, 255)

    edge = max(1, size // 24)
    for y in range(size):
        for x in range(size):
            if inside(x, y, edge):
                pixels[y][x] = (*FACE, 255)
            elif inside(x, y, 0):
                pixels[y][x] = (*EDGE, 255)
    # Five lights across the top, a gap between each.
    margin = size * 0.14
    step = (size - 2 * margin) / len(LIGHTS)
    row, height = size * 0.14, max(2.0, step * 0.6)
    for i, colour in enumerate(LIGHTS):
        at = margin + i * step
        fill(at + step * 0.15, row, at + step * 0.85, row + height, colour)
    # The digit below them.
    cell_w, cell_h = size * 0.36 / 4, size * 0.5 / 6
    left, top = (size - 4 * cell_w) / 2, size * 0.36
    for x0, y0, x1, y1 in SEVEN:
        fill(left + x0 * cell_w, top + y0 * cell_h, left + x1 * cell_w, top + y1 * cell_h, DIGIT)
    return pixels


def dib(pixels: list[list[Pixel]]) -> bytes:
    """One image of an .ico: a 32-bit bottom-up DIB and its 1-bit mask."""
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for r, g, b, a in row)
    stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + bytes(mask)


def icon() -> bytes:
    images = [dib(draw(size)) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images, strict=True):
        side = size % 256  # 0 means 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUT.ico")
    Path(sys.argv[1]).write_bytes(icon())
