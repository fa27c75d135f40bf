#!/usr/bin/env python3
"""Writes Kelvo's icon (station/res/kelvo.ico: 32 x 32, 16 colours) and about-box
bitmap (station/res/kelvo.bmp: 32 x 32, 8 bits per pixel, 256-entry colour table).
The pictures are drawn here, so running the script again gives the same bytes."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
RES = os.path.join(HERE, "..", "station", "res")

# The standard 16-colour palette (B, G, R, 0).
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def picture(x, y):
    """A chip with a cable and a download arrow; returns a 16-colour index."""
    if 6 <= x <= 25 and 4 <= y <= 17:           # the chip's body
        if 9 <= x <= 22 and 7 <= y <= 14:
            return 1 if (x + y) % 2 else 9       # dark and light blue die
        return 8
    if 4 <= y <= 17 and (x in (3, 4, 27, 28)) and y % 3 == 1:
        return 7                                 # pins
    if 15 <= x <= 16 and 18 <= y <= 25:
        return 2                                 # arrow shaft
    if 26 <= y <= 29 and abs(x - 15.5) <= 29.5 - y:
        return 10                                # arrow head
    return 15                                    # white background


def write_icon(path):
    w = h = 32
    xor_rows = []
    for y in range(h - 1, -1, -1):               # bottom-up
        row = bytearray()
        for x in range(0, w, 2):
            row.append((picture(x, y) << 4) | picture(x + 1, y))
        xor_rows.append(bytes(row))
    xor = b"".join(xor_rows)
    andmask = bytes(4 * h)                       # fully opaque
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in VGA16)
    bih = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 4, 0, len(xor) + len(andmask), 0, 0, 16, 0)
    image = bih + palette + xor + andmask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", w, h, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(header + entry + image)


def write_bitmap(path):
    w = h = 32
    # 256 colours: the 16 standard ones, then a blue ramp, then greys.
    colours = list(VGA16)
    colours += [(0, 0, 16 + i * 2) for i in range(120)]
    colours += [(i * 2, i * 2, i * 2) for i in range(256 - len(colours))]
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in colours)
    pixels = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            c = picture(x, y)
            if c == 15:                          # background: a soft blue gradient
                c = 16 + (x + y) * 119 // 62
            pixels.append(c)
    bih = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    dib = bih + palette + bytes(pixels)
    assert len(dib) == 2088
    bfh = struct.pack("<2sIHHI", b"BM", 14 + len(dib), 0, 0, 14 + 40 + len(palette))
    with open(path, "wb") as f:
        f.write(bfh + dib)


if __name__ == "__main__":
    write_icon(os.path.join(RES, "kelvo.ico"))
    write_bitmap(os.path.join(RES, "kelvo.bmp"))
