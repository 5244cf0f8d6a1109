#!/usr/bin/env python3
"""Draws the 24x24 listing icons and writes them as C++ byte arrays.

    python3 tools/make_icons.py            writes src/resources_icons.inc
    python3 tools/make_icons.py --stdout   prints the same text
    python3 tools/make_icons.py --gif DIR  also writes each picture as DIR/NAME.gif
"""

import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean when tests run this
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gif import Canvas, encode_gif, lzw_decode  # noqa: E402

SIZE = 24

BG, BLACK, WHITE, LGRAY, GRAY, YELLOW, OCHRE, BLUE, SKY, RED, GREEN, PURPLE, BROWN, TAN, ORANGE, DGRAY = range(16)
PALETTE = [
    (255, 255, 255),  # background, transparent
    (0, 0, 0),
    (255, 255, 255),
    (204, 204, 204),
    (136, 136, 136),
    (248, 208, 88),
    (184, 136, 32),
    (40, 80, 200),
    (150, 196, 244),
    (204, 40, 40),
    (48, 160, 64),
    (128, 64, 168),
    (140, 92, 44),
    (224, 184, 124),
    (244, 144, 32),
    (64, 64, 64),
]


def page(c):
    """A sheet of paper with its top right corner folded down."""
    for y in range(1, 23):
        for x in range(4, 20):
            if x - 15 <= y - 1:
                c.px(x, y, WHITE)
    c.line(4, 1, 15, 1, BLACK)
    c.line(4, 1, 4, 22, BLACK)
    c.line(4, 22, 19, 22, BLACK)
    c.line(19, 5, 19, 22, BLACK)
    c.line(15, 1, 19, 5, BLACK)
    for y in range(2, 5):
        for x in range(16, 19):
            if x - 15 <= y - 1:
                c.px(x, y, LGRAY)
    c.line(15, 1, 15, 5, GRAY)
    c.line(15, 5, 19, 5, GRAY)


def draw_folder(c):
    c.box(2, 4, 9, 7, OCHRE, BLACK)
    c.box(2, 6, 21, 20, OCHRE, BLACK)
    c.box(2, 9, 21, 20, YELLOW, BLACK)
    c.line(3, 10, 20, 10, WHITE)


def zipper(c, x, y0, y1, slider_y):
    for y in range(y0, y1 + 1):
        c.px(x + (y & 1), y, DGRAY)
    c.box(x - 1, slider_y, x + 2, slider_y + 3, LGRAY, BLACK)
    c.px(x, slider_y + 4, GRAY)
    c.px(x + 1, slider_y + 4, GRAY)


def draw_zip(c):
    c.box(3, 4, 20, 21, TAN, BROWN)
    c.rect(4, 5, 19, 6, ORANGE)
    c.line(4, 7, 19, 7, BROWN)
    zipper(c, 11, 5, 20, 12)


def draw_file(c):
    page(c)


def draw_html(c):
    page(c)
    c.line(6, 4, 12, 4, BLUE)
    c.disc(12, 14, 6, SKY)
    c.ring(12, 14, 6, BLUE)
    c.rect(9, 10, 11, 12, GREEN)
    c.rect(8, 13, 10, 14, GREEN)
    c.rect(13, 15, 16, 17, GREEN)
    c.rect(14, 12, 15, 14, GREEN)
    c.line(6, 14, 18, 14, BLUE)
    c.line(12, 8, 12, 20, BLUE)


def draw_bin(c):
    page(c)
    bits = ["1011", "0110", "1100", "0101", "1001"]
    for row, pattern in enumerate(bits):
        for col, bit in enumerate(pattern):
            x, y = 6 + col * 3, 6 + row * 3
            if bit == "1":
                c.rect(x, y, x + 1, y + 1, DGRAY)
            else:
                c.frame(x, y, x + 1, y + 1, LGRAY)


def draw_doc(c):
    page(c)
    c.rect(6, 4, 13, 5, BLUE)
    for y, end in ((8, 17), (10, 17), (12, 11), (14, 17), (16, 17), (18, 14)):
        c.line(6, y, end, y, DGRAY)
    c.box(13, 11, 17, 13, RED, RED)


def draw_text(c):
    page(c)
    for y, end in ((5, 13), (8, 17), (10, 15), (12, 17), (14, 12), (17, 16), (19, 14)):
        c.line(6, y, end, y, GRAY)


def draw_image(c):
    c.box(1, 3, 22, 20, SKY, BLACK)
    c.disc(17, 8, 2, YELLOW)
    for x in range(2, 22):
        top = max(abs(x - 8) + 10, abs(x - 16) + 13)
        top = min(top, abs(x - 8) + 10, abs(x - 16) + 13)
        for y in range(top, 20):
            c.px(x, y, GREEN)
    c.line(2, 19, 21, 19, DGRAY)
    c.rect(0, 21, 23, 21, BG)


def draw_audio(c):
    c.line(9, 6, 19, 3, BLACK, thick=3)
    c.line(9, 7, 9, 18, BLACK)
    c.line(19, 4, 19, 16, BLACK)
    for cx, cy in ((7, 18), (17, 16)):
        c.rect(cx - 2, cy - 1, cx + 1, cy + 1, BLACK)
        c.px(cx - 1, cy - 2, BLACK)
        c.px(cx, cy - 2, BLACK)
        c.px(cx - 1, cy + 2, BLACK)
        c.px(cx, cy + 2, BLACK)


def draw_video(c):
    c.box(3, 1, 20, 22, DGRAY, BLACK)
    for y in range(3, 22, 3):
        c.rect(4, y, 5, y + 1, WHITE)
        c.rect(18, y, 19, y + 1, WHITE)
    for y0 in (3, 12):
        c.box(7, y0, 16, y0 + 7, SKY, BLACK)
        c.disc(11, y0 + 4, 1, YELLOW)
        c.line(8, y0 + 6, 15, y0 + 6, GREEN)


def archive_mark(c):
    """The badge that tells an item inside an archive: a small zipped bag."""
    c.box(0, 14, 8, 23, TAN, BROWN)
    c.rect(1, 15, 7, 16, ORANGE)
    for y in range(17, 23):
        c.px(4 - (y & 1), y, DGRAY)
    c.box(2, 18, 5, 20, LGRAY, BLACK)


def draw_viewzip(c):
    c.line(14, 14, 21, 21, BROWN, thick=3)
    c.line(15, 14, 22, 21, BLACK)
    c.disc(9, 9, 7, SKY)
    c.ring(9, 9, 7, BLACK)
    c.ring(9, 9, 6, DGRAY)
    for y in range(5, 14):
        c.px(8 + (y & 1), y, DGRAY)
    c.box(7, 10, 10, 12, LGRAY, BLACK)
    c.px(6, 6, WHITE)
    c.px(5, 7, WHITE)


PICTURES = [
    ("folder", draw_folder),
    ("zip", draw_zip),
    ("file", draw_file),
    ("html", draw_html),
    ("bin", draw_bin),
    ("doc", draw_doc),
    ("text", draw_text),
    ("image", draw_image),
    ("audio", draw_audio),
    ("video", draw_video),
]
IN_ARCHIVE = ["folder", "file", "bin", "doc", "text", "html", "image", "audio", "video"]


def icons():
    """(array name, GIF bytes) in the order the arrays are written."""
    drawers = dict(PICTURES)
    out = []
    for name, draw in PICTURES:
        c = Canvas(SIZE, SIZE)
        draw(c)
        out.append(("icon_" + name, encode_gif(c, PALETTE)))
    for name in IN_ARCHIVE:
        c = Canvas(SIZE, SIZE)
        drawers[name](c)
        archive_mark(c)
        out.append(("icon_zip" + name, encode_gif(c, PALETTE)))
    c = Canvas(SIZE, SIZE)
    draw_viewzip(c)
    out.append(("icon_viewzip", encode_gif(c, PALETTE)))
    return out


def read_gif(data):
    """The pixels of a one-image GIF89a of SIZE x SIZE with a global colour
    table, read back from its bytes; raises ValueError on any fault."""
    if data[:6] != b"GIF89a":
        raise ValueError("no GIF89a header")
    width, height, packed = data[6] | data[7] << 8, data[8] | data[9] << 8, data[10]
    if (width, height) != (SIZE, SIZE):
        raise ValueError("%dx%d, not %dx%d" % (width, height, SIZE, SIZE))
    if not packed & 0x80:
        raise ValueError("no global colour table")
    colours = 2 << (packed & 7)
    pos = 13 + 3 * colours
    pixels = None
    while True:
        if pos >= len(data):
            raise ValueError("no trailer")
        tag = data[pos]
        pos += 1
        if tag == 0x3B:
            if pos != len(data):
                raise ValueError("bytes after the trailer")
            break
        if tag == 0x21:
            pos += 1  # extension label
        elif tag == 0x2C:
            d = data[pos:pos + 10]
            if len(d) < 10 or list(d[:8]) != [0, 0, 0, 0, width & 0xFF, width >> 8, height & 0xFF, height >> 8]:
                raise ValueError("image does not cover the screen")
            if d[8] & 0x80:
                raise ValueError("local colour table")
            min_size = d[9]
            if not 2 <= min_size <= 8:
                raise ValueError("bad LZW code size")
            pos += 10
        else:
            raise ValueError("unknown block 0x%02X" % tag)
        body = bytearray()
        while True:
            if pos >= len(data):
                raise ValueError("truncated block")
            n = data[pos]
            pos += 1
            if n == 0:
                break
            if pos + n > len(data):
                raise ValueError("truncated block")
            body += data[pos:pos + n]
            pos += n
        if tag == 0x2C:
            if pixels is not None:
                raise ValueError("more than one image")
            pixels = lzw_decode(body, min_size, width * height)
    if pixels is None:
        raise ValueError("no image")
    used = set(pixels)
    if max(used) >= colours:
        raise ValueError("pixel beyond the colour table")
    if len(used) < 2:
        raise ValueError("blank picture")
    return pixels


def check(items):
    """Each icon reads back as a whole picture; all differ, and each
    in-archive icon keeps most of its class's picture and adds a mark."""
    pictures = {}
    for name, data in items:
        try:
            pixels = read_gif(data)
        except ValueError as e:
            raise SystemExit("make_icons: %s: %s" % (name, e))
        if pixels in pictures.values():
            raise SystemExit("make_icons: %s draws the same picture as another icon" % name)
        pictures[name] = pixels
    for cls in IN_ARCHIVE:
        differing = sum(a != b for a, b in zip(pictures["icon_" + cls], pictures["icon_zip" + cls]))
        if not 20 < differing < SIZE * SIZE // 4:
            raise SystemExit("make_icons: icon_zip%s differs from icon_%s in %d pixels" % (cls, cls, differing))


def c_source(items):
    lines = ["// Generated by tools/make_icons.py; edit the drawings there, not this file.", ""]
    for name, data in items:
        lines.append("static const unsigned char %s[%d] = {" % (name, len(data)))
        for i in range(0, len(data), 16):
            lines.append("    " + " ".join("0x%02X," % b for b in data[i:i + 16]))
        lines.append("};")
        lines.append("")
    return "\n".join(lines)


def main(argv):
    items = icons()
    check(items)
    text = c_source(items)
    if "--stdout" in argv:
        sys.stdout.write(text)
        return 0
    if "--gif" in argv:
        folder = argv[argv.index("--gif") + 1]
        os.makedirs(folder, exist_ok=True)
        for name, data in items:
            with open(os.path.join(folder, name[5:] + ".gif"), "wb") as f:
                f.write(data)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "src", "resources_icons.inc"), "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
