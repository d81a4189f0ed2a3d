#!/usr/bin/env python3
"""Draws the application icon: one group of three 16x16 images at 4, 8 and 32 bits per pixel.

The picture is a blue rounded button with a white "B" and an orange dot, drawn from the
character map below, so the icon has a source and no binary blob is kept in the tree.
"""
import struct
import sys

PICTURE = [
    "................",
    "..bbbbbbbbbbbb..",
    ".bBBBBBBBBBBBBb.",
    ".bBBwwwwwwBBBBb.",
    ".bBBwwBBBwwBBBb.",
    ".bBBwwBBBwwBBBb.",
    ".bBBwwBBBwwBBBb.",
    ".bBBwwwwwwBBBBb.",
    ".bBBwwBBBBwwBBb.",
    ".bBBwwBBBBwwBBb.",
    ".bBBwwBBBBwwBBb.",
    ".bBBwwwwwwwBoob.",
    ".bBBBBBBBBBBoob.",
    ".bBBBBBBBBBBBBb.",
    "..bbbbbbbbbbbb..",
    "................",
]

# (blue, green, red) of each colour; "." is transparent.
COLOURS = {
    "b": (0x80, 0x20, 0x10),
    "B": (0xE0, 0x70, 0x20),
    "w": (0xFF, 0xFF, 0xFF),
    "o": (0x10, 0x90, 0xFF),
    ".": (0x00, 0x00, 0x00),
}
ORDER = ".bBwo"  # palette order for the indexed images
SIZE = 16


def rows_bottom_up():
    return list(reversed(PICTURE))


def and_mask():
    # One bit a pixel, rows padded to 32 bits; set bits are transparent.
    out = b""
    for row in rows_bottom_up():
        bits = 0
        for x, ch in enumerate(row):
            if ch == ".":
                bits |= 1 << (15 - x)
        out += struct.pack(">H", bits) + b"\0\0"
    return out


def info_header(bpp, palette_len, image_len):
    return struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, bpp, 0, image_len, 0, 0,
                       palette_len, 0)


def indexed_image(bpp):
    colours = 1 << bpp
    # The 8-bit image lists only the colours it uses (biClrUsed), not 256: a quarter of
    # the image's size instead of a kilobyte of unused palette.
    listed = colours if bpp == 4 else len(ORDER)
    palette = b""
    for i in range(listed):
        ch = ORDER[i] if i < len(ORDER) else "."
        palette += bytes(COLOURS[ch]) + b"\0"
    pixels = b""
    for row in rows_bottom_up():
        indices = [ORDER.index(ch) for ch in row]
        if bpp == 4:
            line = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, SIZE, 2))
        else:
            line = bytes(indices)
        line += b"\0" * (-len(line) % 4)
        pixels += line
    mask = and_mask()
    return info_header(bpp, listed, len(pixels) + len(mask)) + palette + pixels + mask, colours


def truecolour_image():
    pixels = b""
    for row in rows_bottom_up():
        for ch in row:
            alpha = 0 if ch == "." else 0xFF
            pixels += bytes(COLOURS[ch]) + bytes([alpha])
    mask = and_mask()
    return info_header(32, 0, len(pixels) + len(mask)) + pixels + mask, 0


def main(path):
    images = [(4,) + indexed_image(4), (8,) + indexed_image(8), (32,) + truecolour_image()]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    data = b""
    for bpp, blob, colours in images:
        entries += struct.pack("<BBBBHHII", SIZE, SIZE, colours if colours < 256 else 0, 0,
                               1, bpp, len(blob), offset + len(data))
        data += blob
    with open(path, "wb") as f:
        f.write(header + entries + data)


if __name__ == "__main__":
    main(sys.argv[1])
