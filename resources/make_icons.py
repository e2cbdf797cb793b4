#!/usr/bin/env python3
"""Draws the client's icons as 32x32 XPM images (text, so they live in the
repository as source). Run it again after changing a drawing:

    python3 resources/make_icons.py resources/icons

Each icon is a list of layers painted in order; a layer is a shape (a test
of whether a point lies inside) with a fill colour and an optional dark
outline one pixel wide. Pixels outside every layer are transparent.
"""

import math
import os
import sys

SIZE = 32


# ---------------------------------------------------------------- shapes

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def polygon(points):
    def inside(x, y):
        result = False
        n = len(points)
        for k in range(n):
            xa, ya = points[k]
            xb, yb = points[(k + 1) % n]
            if (ya > y) != (yb > y):
                xc = xa + (y - ya) * (xb - xa) / (yb - ya)
                if x < xc:
                    result = not result
        return result
    return inside


def thick_line(xa, ya, xb, yb, width):
    length = math.hypot(xb - xa, yb - ya)
    ux, uy = (xb - xa) / length, (yb - ya) / length

    def inside(x, y):
        t = (x - xa) * ux + (y - ya) * uy
        if t < 0 or t > length:
            return False
        return abs(-(x - xa) * uy + (y - ya) * ux) <= width / 2
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def star(cx, cy, r_out, r_in, spikes=5):
    pts = []
    for k in range(spikes * 2):
        r = r_out if k % 2 == 0 else r_in
        a = -math.pi / 2 + k * math.pi / spikes
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return polygon(pts)


def person(cx, top, scale=1.0):
    head = circle(cx, top + 5 * scale, 4.5 * scale)
    body = polygon([(cx - 8 * scale, top + 21 * scale), (cx - 7 * scale, top + 13 * scale),
                    (cx - 3 * scale, top + 10.5 * scale), (cx + 3 * scale, top + 10.5 * scale),
                    (cx + 7 * scale, top + 13 * scale), (cx + 8 * scale, top + 21 * scale)])
    return union(head, body)


# ---------------------------------------------------------------- drawing

OUTLINE = (0x30, 0x30, 0x30)


def rasterise(shape):
    """Pixel mask, with 4x4 samples per pixel; a pixel counts when at least
    half of its samples are inside."""
    mask = [[False] * SIZE for _ in range(SIZE)]
    for py in range(SIZE):
        for px in range(SIZE):
            hits = 0
            for sy in range(4):
                for sx in range(4):
                    if shape(px + (sx + 0.5) / 4, py + (sy + 0.5) / 4):
                        hits += 1
            mask[py][px] = hits >= 8
    return mask


def dilate(mask):
    out = [[False] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            if mask[y][x]:
                for dy in (-1, 0, 1):
                    for dx in (-1, 0, 1):
                        if 0 <= y + dy < SIZE and 0 <= x + dx < SIZE:
                            out[y + dy][x + dx] = True
    return out


def paint(layers):
    pixels = [[None] * SIZE for _ in range(SIZE)]
    for shape, colour, outlined in layers:
        mask = rasterise(shape)
        if outlined:
            ring_mask = dilate(mask)
            for y in range(SIZE):
                for x in range(SIZE):
                    if ring_mask[y][x] and not mask[y][x]:
                        pixels[y][x] = OUTLINE
        for y in range(SIZE):
            for x in range(SIZE):
                if mask[y][x]:
                    pixels[y][x] = colour
    return pixels


def to_xpm(name, pixels):
    colours = sorted({p for row in pixels for p in row if p is not None})
    symbols = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    assert len(colours) < len(symbols)
    code = {c: symbols[k] for k, c in enumerate(colours)}
    lines = ['/* XPM */', 'static const char* %s[] = {' % name,
             '"%d %d %d 1",' % (SIZE, SIZE, len(colours) + 1), '". c None",']
    for c in colours:
        lines.append('"%s c #%02x%02x%02x",' % (code[c], c[0], c[1], c[2]))
    rows = []
    for row in pixels:
        rows.append('"' + "".join("." if p is None else code[p] for p in row) + '"')
    lines.append(",\n".join(rows))
    lines.append("};")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- the icons

GREEN = (0x3c, 0xb0, 0x43)
LIGHT_GREEN = (0xa8, 0xe6, 0x9e)
GREY = (0x9a, 0x9a, 0x9a)
LIGHT_GREY = (0xd8, 0xd8, 0xd8)
BLUE = (0x2f, 0x6f, 0xc4)
LIGHT_BLUE = (0xa6, 0xc8, 0xf0)
RED = (0xd2, 0x35, 0x2b)
YELLOW = (0xf2, 0xc1, 0x3d)
DARK_YELLOW = (0xc8, 0x93, 0x1c)
WHITE = (0xff, 0xff, 0xff)
SKIN = (0x5a, 0x7f, 0xb5)
BROWN = (0xa0, 0x62, 0x2d)


def status_light(colour, highlight):
    return [(circle(16, 16, 12), colour, True),
            (circle(12.5, 12, 4), highlight, False)]


def arrow_down(colour, x0=16):
    return polygon([(x0 - 5, 3), (x0 + 5, 3), (x0 + 5, 15), (x0 + 11, 15), (x0, 28),
                    (x0 - 11, 15), (x0 - 5, 15)]), colour, True


def arrow_up(colour, x0=16):
    return polygon([(x0 - 5, 29), (x0 + 5, 29), (x0 + 5, 17), (x0 + 11, 17), (x0, 4),
                    (x0 - 11, 17), (x0 - 5, 17)]), colour, True


ICONS = {
    "online_icon": status_light(GREEN, LIGHT_GREEN),
    "offline_icon": status_light(GREY, LIGHT_GREY),
    "tvrn_icon": [
        (rounded_rect(2, 2, 30, 30, 6), BLUE, True),
        (rect(8, 7, 24, 11), WHITE, False),
        (rect(14, 7, 18, 26), WHITE, False),
    ],
    "download_icon": [arrow_down(GREEN)],
    "transfer_icon": [
        (polygon([(6, 28), (12, 28), (12, 16), (16, 16), (9, 6), (2, 16), (6, 16)]), BLUE, True),
        (polygon([(20, 4), (26, 4), (26, 16), (30, 16), (23, 26), (16, 16), (20, 16)]), GREEN, True),
    ],
    "add_user_icon": [
        (person(12, 5), SKIN, True),
        (union(rect(19, 22, 31, 26), rect(23, 18, 27, 30)), GREEN, True),
    ],
    "remove_user_icon": [
        (person(12, 5), SKIN, True),
        (rect(19, 22, 31, 26), RED, True),
    ],
    "users_icon": [
        (person(20, 3, 0.9), LIGHT_BLUE, True),
        (person(12, 8), SKIN, True),
    ],
    "room_icon": [
        (polygon([(16, 3), (30, 15), (2, 15)]), RED, True),
        (rect(5, 15, 27, 29), YELLOW, True),
        (rect(13, 19, 19, 29), BROWN, False),
    ],
    "chat_icon": [
        (union(rounded_rect(2, 4, 30, 22, 5), polygon([(8, 20), (14, 20), (7, 29)])), WHITE, True),
        (union(circle(10, 13, 2), circle(16, 13, 2), circle(22, 13, 2)), BLUE, False),
    ],
    "search_icon": [
        (thick_line(18, 18, 28, 28, 5), BROWN, True),
        (circle(12, 12, 9), LIGHT_BLUE, True),
        (ring(12, 12, 9, 6.5), GREY, False),
    ],
    "browse_icon": [
        (polygon([(2, 7), (11, 7), (14, 10), (30, 10), (30, 27), (2, 27)]), DARK_YELLOW, True),
        (polygon([(2, 27), (6, 14), (30, 14), (30, 27)]), YELLOW, True),
    ],
    "wishlist_icon": [(star(16, 17, 14, 6), YELLOW, True)],
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "icons")
    os.makedirs(out, exist_ok=True)
    for name, layers in ICONS.items():
        with open(os.path.join(out, name + ".xpm"), "w") as f:
            f.write(to_xpm(name, paint(layers)))


if __name__ == "__main__":
    main()
