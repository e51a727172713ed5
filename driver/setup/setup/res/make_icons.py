#!/usr/bin/env python3
"""Draws the installer's icons and writes them as .ico files.

    make_icons.py OUTPUT_DIR

writes install101.ico (the program file's icon: 16, 17, 32, 34, 64 and 68
pixels) and install102.ico (the window's icon: 16, 17, 32, 48 and 64
pixels), every image 32 bits per pixel with an alpha channel. The picture:
an expansion card with a blue arrow coming down into it. Each pixel is
sampled 4 x 4 times, so edges are smoothed at every size.
"""
import os
import struct
import sys

SIZES = {
    "install101.ico": [16, 17, 32, 34, 64, 68],
    "install102.ico": [16, 17, 32, 48, 64],
}

# Colours as (red, green, blue, alpha).
BOARD = (38, 125, 70, 255)
BOARD_EDGE = (20, 80, 42, 255)
CHIP = (40, 44, 52, 255)
CONTACT = (232, 186, 60, 255)
ARROW = (30, 110, 220, 255)
ARROW_EDGE = (255, 255, 255, 255)


def inside_rounded(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2


def inside_arrow(x, y, grow):
    """The down arrow: a shaft and a triangular head, grown by `grow`."""
    shaft = 0.40 - grow <= x <= 0.60 + grow and 0.04 - grow <= y <= 0.36
    head_top, tip = 0.30 - grow, 0.62 + grow
    if head_top <= y <= tip:
        half = 0.28 + grow * 1.6
        half *= (tip - y) / (tip - head_top)
        if abs(x - 0.5) <= half:
            return True
    return shaft


def colour_at(x, y):
    """The colour of the point (x, y) of the unit square, or None."""
    if inside_arrow(x, y, 0.0):
        return ARROW
    if inside_arrow(x, y, 0.05):
        return ARROW_EDGE
    for i in range(5):
        left = 0.16 + i * 0.14
        if left <= x <= left + 0.08 and 0.86 <= y <= 0.96:
            return CONTACT
    if 0.56 <= x <= 0.80 and 0.56 <= y <= 0.78:
        return CHIP
    if inside_rounded(x, y, 0.04, 0.44, 0.96, 0.88, 0.06):
        return BOARD
    if inside_rounded(x, y, 0.02, 0.42, 0.98, 0.90, 0.08):
        return BOARD_EDGE
    return None


def render(size, samples=4):
    """Rows of (b, g, r, a) pixels, top row first, premultiplied-free."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    c = colour_at(x, y)
                    if c is not None:
                        a = c[3]
                        total[0] += c[0] * a
                        total[1] += c[1] * a
                        total[2] += c[2] * a
                        total[3] += a
            n = samples * samples
            alpha = total[3] // n
            if total[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                r, g, b = (round(total[i] / total[3]) for i in range(3))
                row.append((b, g, r, alpha))
        rows.append(row)
    return rows


def bitmap_image(size):
    """One icon image: a BITMAPINFOHEADER, the 32-bit pixels bottom-up and
    the AND mask (all zero: the alpha channel decides)."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(c for pixel in row for c in pixel) for row in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)
    return header + pixels + mask


def icon_file(sizes):
    images = [bitmap_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        dim = size if size < 256 else 0
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, sizes in SIZES.items():
        with open(os.path.join(sys.argv[1], name), "wb") as f:
            f.write(icon_file(sizes))


if __name__ == "__main__":
    main()
