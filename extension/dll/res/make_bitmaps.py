#!/usr/bin/env python3
"""Draws the menu images as 256-colour BMP files and the Explorer command's
icon (the same shield at 16, 32 and 48 pixels) as an ICO file. Run from this
folder; the files are committed beside it."""
import struct

PALETTE = [(255, 0, 255), (0, 0, 0), (255, 255, 255), (32, 96, 192),
           (128, 176, 240), (160, 160, 160), (96, 96, 96), (32, 160, 64)]
PALETTE += [(0, 0, 0)] * (256 - len(PALETTE))
BACK, OUTLINE, WHITE, BLUE, LIGHT, GREY, DARK, GREEN = range(8)


def shield(width, height, body, tick):
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            cx = (width - 1) / 2.0
            # Straight sides for the upper two thirds, then a point.
            half = (width - 3) / 2.0
            if y > height * 0.55:
                half *= max(0.0, (height - 1 - y) / (height * 0.45))
            inside = y >= 1 and abs(x - cx) <= half
            edge = inside and (y == 1 or abs(x - cx) > half - 1.0 or y == height - 2)
            colour = BACK
            if inside:
                colour = OUTLINE if edge else body
            row.append(colour)
        rows.append(row)
    if tick:
        for i, (x, y) in enumerate([(0.3, 0.5), (0.4, 0.62), (0.5, 0.5), (0.6, 0.38), (0.7, 0.26)]):
            px, py = int(x * width), int(y * height)
            rows[py][px] = WHITE
            rows[py + 1][px] = WHITE
    return rows


def write_bmp(name, rows):
    height, width = len(rows), len(rows[0])
    stride = (width + 3) & ~3
    pixels = b"".join(bytes(row) + b"\0" * (stride - width) for row in reversed(rows))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    with open(name, "wb") as f:
        f.write(header + info + palette + pixels)


def icon_image(rows):
    """One icon image: the header with twice the height (colour and mask),
    the palette, the colour rows and the mask that makes BACK transparent."""
    height, width = len(rows), len(rows[0])
    stride = (width + 3) & ~3
    pixels = b"".join(bytes(row) + b"\0" * (stride - width) for row in reversed(rows))
    mask_stride = ((width + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, colour in enumerate(row):
            if colour == BACK:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 8, 0, len(pixels) + len(mask), 0, 0, 256, 0)
    return info + palette + pixels + mask


def write_ico(name, images):
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for rows in images:
        image = icon_image(rows)
        entries += struct.pack("<BBBBHHII", len(rows[0]) % 256, len(rows) % 256, 0, 0, 1, 8, len(image),
                               offset + len(data))
        data += image
    with open(name, "wb") as f:
        f.write(header + entries + data)


write_bmp("menu204.bmp", shield(16, 16, BLUE, True))
write_bmp("menu205.bmp", shield(16, 16, GREY, True))
write_bmp("menu208.bmp", shield(19, 18, GREEN, True))
write_bmp("menu209.bmp", shield(19, 18, LIGHT, False))
write_ico("scan.ico", [shield(16, 16, BLUE, True), shield(32, 32, BLUE, True), shield(48, 48, BLUE, True)])
