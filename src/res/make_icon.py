#!/usr/bin/env python3
"""Draws the program's icon, an archive box, and writes varnex32.ico.

Two images, 32x32 and 16x16, each 4 bits per pixel over the standard 16-colour palette
with an AND mask for transparency. The drawing is pure geometry, so the output is the
same byte for byte on every run:  python3 make_icon.py [output.ico]
"""
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, OLIVE, NAVY, SILVER, GRAY, YELLOW, WHITE = 0, 1, 3, 4, 7, 8, 11, 15
CLEAR = None


def draw_box(size, left, top, width, height, depth, tape, label):
    """A closed cardboard box in oblique view: the front face, the lid receding up and to
    the right at 45 degrees, the right side in shadow, a strip of tape over the lid and
    down the front (when tape is not negative), and a white label on the front."""
    img = [[CLEAR] * size for _ in range(size)]
    right, bottom = left + width, top + height

    def put(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            img[y][x] = c

    for y in range(size):
        for x in range(size):
            if left <= x <= right and top <= y <= bottom:
                img[y][x] = OLIVE
                continue
            v = top - y                          # lid: rows above the front
            if 0 < v <= depth and 0 <= x - left - v <= width:
                img[y][x] = YELLOW
                continue
            if right < x <= right + depth:       # side: right of the front
                v = x - right
                if top - v <= y <= bottom - v:
                    img[y][x] = MAROON

    # Tape: along the middle of the lid and a little way down the front.
    mid = left + width // 2
    for v in range(1, depth + 1 if tape >= 0 else 0):
        for t in range(-tape, tape + 1):
            put(mid + v + t, top - v, SILVER)
    for y in range(top, top + height // 4 + 1 if tape >= 0 else top):
        for t in range(-tape, tape + 1):
            put(mid + t, y, SILVER)

    # Label with lines of "writing".
    lx0, lx1, ly0, ly1 = label
    for y in range(ly0, ly1 + 1):
        for x in range(lx0, lx1 + 1):
            put(x, y, WHITE)
    for y in range(ly0 + 2, ly1 - 1, 2):
        for x in range(lx0 + 2, lx1 - 1 - (2 if (y - ly0) % 4 == 0 else 0)):
            put(x, y, NAVY)
    for x in range(lx0, lx1 + 1):
        put(x, ly1 + 1, GRAY)                    # a shadow under the label
    for y in range(ly0 + 1, ly1 + 2):
        put(lx1 + 1, y, GRAY)

    # Outline: every edge of the box, the silhouette and the lid/side creases.
    def line(x0, y0, x1, y1):
        n = max(abs(x1 - x0), abs(y1 - y0))
        for i in range(n + 1):
            put(round(x0 + (x1 - x0) * i / n), round(y0 + (y1 - y0) * i / n), BLACK)

    dx, dy = depth, -depth
    line(left, top, right, top)                          # front, top edge
    line(left, bottom, right, bottom)
    line(left, top, left, bottom)
    line(right, top, right, bottom)
    line(left, top, left + dx, top + dy)                 # lid
    line(left + dx, top + dy, right + dx, top + dy)
    line(right, top, right + dx, top + dy)
    line(right + dx, top + dy, right + dx, bottom + dy)  # side
    line(right, bottom, right + dx, bottom + dy)
    return img


def dib(img):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit XOR bitmap, 1-bit AND mask."""
    size = len(img)
    xor_row = (size * 4 + 31) // 32 * 4
    and_row = (size + 31) // 32 * 4
    xor, mask = bytearray(), bytearray()
    for row in reversed(img):                    # bitmaps are stored bottom-up
        bits = bytearray(xor_row)
        m = bytearray(and_row)
        for x, c in enumerate(row):
            if c is CLEAR:
                m[x // 8] |= 0x80 >> (x % 8)
                c = BLACK
            bits[x // 2] |= c << (4 if x % 2 == 0 else 0)
        xor += bits
        mask += m
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, 4, 0, len(xor) + len(mask), 0, 0, 0, 0)
    colours = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + colours + bytes(xor) + bytes(mask)


def ico(images):
    data = [dib(img) for img in images]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for img, d in zip(images, data):
        out += struct.pack('<BBBBHHII', len(img), len(img), 16, 0, 1, 4, len(d), offset)
        offset += len(d)
    return out + b''.join(data)


def main():
    large = draw_box(32, left=1, top=9, width=21, height=21, depth=8, tape=1, label=(5, 16, 18, 25))
    small = draw_box(16, left=0, top=4, width=11, height=11, depth=4, tape=-1, label=(2, 8, 8, 12))
    path = sys.argv[1] if len(sys.argv) > 1 else 'varnex32.ico'
    with open(path, 'wb') as f:
        f.write(ico([large, small]))


if __name__ == '__main__':
    main()
