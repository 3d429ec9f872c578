#!/usr/bin/env python3
"""Draws the menu images as 256-colour BMP files and the Explorer command's
icon as an ICO file: the same shield, in 32-bit colour with smooth edges, at
each size Windows 11's menu asks for (16 to 64 pixels, 100 to 400 %
scaling), in a blue that stands out from both the light and the dark menu.
Run from this folder; the files are committed beside it.

  make_bitmaps.py          draw the files here
  make_bitmaps.py --check  draw them into a scratch folder and fail unless
                           they are the committed ones and the icon keeps
                           its contrast on both menus (ctest IconCheck)
"""
import os
import struct
import sys
import tempfile

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


# What the icon must show on: Windows 11's light and dark menu backgrounds.
MENU_BACKGROUNDS = {"light": (249, 249, 249), "dark": (44, 44, 44)}
ICON_SIZES = [16, 20, 24, 32, 40, 48, 64]
ICON_BODY = (47, 128, 237)
ICON_EDGE = (26, 79, 156)
ICON_TICK = (255, 255, 255)


def luminance(colour):
    """Relative luminance (sRGB), as contrast ratios are computed."""
    def linear(c):
        c /= 255.0
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = (linear(c) for c in colour)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    high, low = sorted((luminance(a), luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


def shield_shape(x, y):
    """Inside (0), on the edge band (1) or outside (None) of the shield, and
    on the tick, for a point in unit coordinates."""
    half = 0.40
    if y > 0.52:
        t = min(1.0, (y - 0.52) / 0.42)
        half *= (1.0 - t * t) ** 0.5
    top = 0.06 + 0.05 * abs(x - 0.5) / 0.40
    return y >= top and y <= 0.94 and abs(x - 0.5) <= half, half - abs(x - 0.5), y - top


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return ((px - ax - t * dx) ** 2 + (py - ay - t * dy) ** 2) ** 0.5


def icon_pixels(size):
    """Rows (top first) of (r, g, b, a), each pixel the average of 4 x 4
    samples: the edge band one pixel wide, the tick about a tenth of the size."""
    edge = 1.0 / size
    stroke = max(0.085, 1.3 / size)
    tick = [(0.30, 0.50), (0.45, 0.65), (0.71, 0.36)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            totals = [0.0, 0.0, 0.0, 0.0]
            for sy in range(4):
                for sx in range(4):
                    x, y = (px + (sx + 0.5) / 4) / size, (py + (sy + 0.5) / 4) / size
                    inside, side, below = shield_shape(x, y)
                    if not inside:
                        continue
                    colour = ICON_BODY
                    if min(side, below, 0.94 - y) < edge:
                        colour = ICON_EDGE
                    if min(segment_distance(x, y, *tick[0], *tick[1]),
                           segment_distance(x, y, *tick[1], *tick[2])) < stroke / 2:
                        colour = ICON_TICK
                    for i in range(3):
                        totals[i] += colour[i]
                    totals[3] += 1
            covered = totals[3]
            if covered:
                row.append(tuple(round(totals[i] / covered) for i in range(3)) +
                           (round(255 * covered / 16),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def icon_image(rows):
    """One 32-bit icon image: the header with twice the height (colour and
    mask), the BGRA rows bottom first, and the mask of the transparent pixels."""
    height, width = len(rows), len(rows[0])
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask_stride = ((width + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return info + pixels + mask


def write_ico(name, images):
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for rows in images:
        image = icon_image(rows)
        entries += struct.pack("<BBBBHHII", len(rows[0]) % 256, len(rows) % 256, 0, 0, 1, 32, len(image),
                               offset + len(data))
        data += image
    with open(name, "wb") as f:
        f.write(header + entries + data)


def read_ico(name):
    """(size, bit depth, rows of (r, g, b, a)) of each image of a 32-bit ICO."""
    data = open(name, "rb").read()
    count = struct.unpack_from("<HHH", data, 0)[2]
    images = []
    for i in range(count):
        width, _, _, _, _, depth, _, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        size = width or 256
        rows = []
        if depth == 32:
            at = offset + 40
            for y in range(size):
                line = data[at + (size - 1 - y) * size * 4:at + (size - y) * size * 4]
                rows.append([(line[x + 2], line[x + 1], line[x], line[x + 3]) for x in range(0, len(line), 4)])
        images.append((size, depth, rows))
    return images


def draw(folder):
    write_bmp(os.path.join(folder, "menu204.bmp"), shield(16, 16, BLUE, True))
    write_bmp(os.path.join(folder, "menu208.bmp"), shield(19, 18, GREEN, True))
    write_bmp(os.path.join(folder, "menu209.bmp"), shield(19, 18, LIGHT, False))
    write_ico(os.path.join(folder, "scan.ico"), [icon_pixels(size) for size in ICON_SIZES])


def check(folder):
    """The committed files are what this script draws, and every image of the
    icon is 32-bit at its size, its body at least 3:1 against both menus and
    its tick at least 3:1 against its body (the contrast asked of graphics)."""
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        draw(scratch)
        for name in sorted(os.listdir(scratch)):
            if open(os.path.join(scratch, name), "rb").read() != open(os.path.join(folder, name), "rb").read():
                problems.append(name + " is not what make_bitmaps.py draws")
    images = read_ico(os.path.join(folder, "scan.ico"))
    if [size for size, _, _ in images] != ICON_SIZES:
        problems.append("scan.ico sizes %s" % [size for size, _, _ in images])
    for size, depth, rows in images:
        if depth != 32:
            problems.append("%d px: %d-bit" % (size, depth))
            continue
        opaque = [p[:3] for row in rows for p in row if p[3] == 255]
        body = max(set(opaque), key=opaque.count)
        for menu, background in MENU_BACKGROUNDS.items():
            ratio = contrast(body, background)
            print("%2d px: body %s against the %s menu %.2f:1" % (size, body, menu, ratio))
            if ratio < 3:
                problems.append("%d px: body %.2f:1 against the %s menu" % (size, ratio, menu))
        tick = max(contrast(pixel, body) for pixel in opaque)
        if tick < 3:
            problems.append("%d px: tick %.2f:1 against the body" % (size, tick))
    for problem in problems:
        print("FAIL: " + problem)
    return not problems


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.argv[1:] == ["--check"]:
        sys.exit(0 if check(here) else 1)
    draw(here)
