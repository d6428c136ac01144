#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico file.

The icon is one 48x48 image in 24-bit colour with a 1-bit transparency mask: a
notebook seen from the front, its infrared window on the right side of the base,
and three red waves leaving it. Windows 98 shows 24-bit icons from a plain
BITMAPINFOHEADER image (no PNG inside the .ico), which is what is written here.

Usage: make_icon.py OUTPUT.ico   (the result is committed as resources/IRPatch.ico)
"""
import math
import struct
import sys

SIZE = 48

# Palette of the drawing, RGB.
LID = (64, 64, 72)
SCREEN = (24, 84, 168)
SCREEN_LIGHT = (96, 160, 224)
BASE = (176, 176, 184)
BASE_EDGE = (96, 96, 104)
KEY = (120, 120, 128)
IR_WINDOW = (96, 0, 16)
WAVES = [(255, 32, 32), (224, 48, 48), (192, 64, 64)]


def draw():
    """Returns a SIZE x SIZE grid (row 0 at the top) of RGB tuples or None."""
    px = [[None] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # Lid with its screen, and a light band across the screen's top.
    rect(4, 5, 31, 27, LID)
    rect(6, 7, 29, 25, SCREEN)
    rect(6, 7, 29, 9, SCREEN_LIGHT)
    # Base: a slab wider than the lid, with an edge line and rows of keys.
    rect(1, 28, 35, 35, BASE)
    rect(1, 35, 35, 36, BASE_EDGE)
    for y in (30, 32):
        for x in range(4, 31, 3):
            rect(x, y, x + 1, y, KEY)
    # The infrared window on the right side of the base.
    rect(34, 30, 36, 33, IR_WINDOW)
    # Waves: rings around the window, kept to a 100-degree fan opening rightwards.
    cx, cy = 36.5, 31.5
    for radius, colour in zip((4.5, 7.5, 10.5), WAVES):
        for y in range(SIZE):
            for x in range(37, SIZE):
                dx, dy = x + 0.5 - cx, y + 0.5 - cy
                if abs(math.hypot(dx, dy) - radius) <= 0.75 and abs(math.atan2(dy, dx)) <= math.radians(50):
                    px[y][x] = colour
    return px


def ico_bytes(px):
    """One-image .ico: ICONDIR, one ICONDIRENTRY, then a bottom-up DIB (colour + mask)."""
    colour_rows = []
    mask_rows = []
    for row in reversed(px):  # DIB rows run bottom-up
        colour = bytearray()
        bits = 0
        mask = bytearray()
        for x, pixel in enumerate(row):
            r, g, b = pixel if pixel is not None else (0, 0, 0)
            colour += bytes((b, g, r))
            bits = (bits << 1) | (1 if pixel is None else 0)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        colour += b"\0" * (-len(colour) % 4)
        mask += b"\0" * (-len(mask) % 4)
        colour_rows.append(bytes(colour))
        mask_rows.append(bytes(mask))
    pixels = b"".join(colour_rows) + b"".join(mask_rows)
    # biHeight counts the colour image and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0, len(pixels), 0, 0, 0, 0)
    image = header + pixels
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return icondir + entry + image


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(sys.argv[1], "wb") as out:
        out.write(ico_bytes(draw()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
