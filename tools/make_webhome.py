#!/usr/bin/env python3
"""Builds the generated parts of the sample tree examples/webhome: the two
pictures of the gallery and manual.zip, a small manual packed as an archive.

    python3 tools/make_webhome.py [TREE]      (default: examples/webhome)

The output is reproducible: the archive members carry fixed dates."""

import io
import math
import os
import sys
import zipfile

sys.dont_write_bytecode = True  # keep the source tree clean when tests run this
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gif import Canvas, encode_gif  # noqa: E402

SUNSET_PALETTE = [
    (255, 255, 255), (40, 24, 72), (72, 36, 96), (120, 48, 104), (176, 64, 96), (224, 96, 72),
    (248, 152, 64), (252, 208, 96), (255, 240, 180), (24, 40, 64), (16, 28, 48), (8, 16, 32),
    (48, 72, 96), (96, 120, 144), (200, 120, 80), (0, 0, 0),
]

TILE_PALETTE = [
    (255, 255, 255), (30, 60, 140), (60, 110, 200), (120, 170, 230), (190, 215, 245),
    (150, 40, 40), (210, 80, 60), (240, 150, 110), (250, 215, 180), (40, 120, 60),
    (80, 170, 90), (150, 210, 140), (220, 240, 210), (90, 90, 90), (170, 170, 170), (20, 20, 20),
]


def sunset(width=160, height=100):
    """Bands of evening sky, a sun on the horizon and dark water below."""
    c = Canvas(width, height)
    horizon = height * 3 // 5
    for y in range(horizon):
        band = 1 + (y * 7) // horizon
        for x in range(width):
            c.px(x, y, band)
    c.disc(width // 2, horizon, 18, 8)
    c.disc(width // 2, horizon, 14, 7)
    for y in range(horizon, height):
        depth = (y - horizon) * 3 // (height - horizon)
        for x in range(width):
            c.px(x, y, 9 + depth)
    for i, y in enumerate(range(horizon + 2, height, 4)):
        half = max(2, 16 - i * 2)
        shift = (i * 5) % 7 - 3
        c.line(width // 2 - half + shift, y, width // 2 + half + shift, y, 6 if i % 2 else 14)
    for k in range(3):
        x0 = 20 + k * 45
        c.line(x0, 20 + k * 6, x0 + 4, 17 + k * 6, 15)
        c.line(x0 + 4, 17 + k * 6, x0 + 8, 20 + k * 6, 15)
    return c


def tiles(size=96):
    """A woven pattern of coloured squares and rings."""
    c = Canvas(size, size)
    for ty in range(0, size, 16):
        for tx in range(0, size, 16):
            family = ((tx // 16) + 2 * (ty // 16)) % 3
            base = 1 + family * 4
            c.box(tx, ty, tx + 15, ty + 15, base + 3, 13)
            c.disc(tx + 8, ty + 8, 5, base + 1)
            c.ring(tx + 8, ty + 8, 5, base)
            c.px(tx + 8, ty + 8, 15)
    for x in range(size):
        y = int(size / 2 + math.sin(x / 9.0) * size / 3)
        c.rect(x, y, x, y + 1, 15)
    return c


MANUAL_CSS = """body { font-family: sans-serif; max-width: 42em; margin: 2em auto; line-height: 1.5; }
h1, h2 { color: #2850c8; }
code, pre { background: #eef2f8; padding: 0 .2em; }
nav { border-top: 1px solid #ccc; margin-top: 2em; padding-top: .5em; }
"""


def page(title, body, up=""):
    return ("<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
            "<link rel=\"stylesheet\" href=\"%sstyle.css\">\n</head>\n<body>\n%s\n</body>\n</html>\n"
            % (title, up, body))


MANUAL = {
    "index.html": page("The Lantern Manual", """<h1>The Lantern Manual</h1>
<p><img src="images/lantern.gif" alt="a lantern" width="96" height="96"></p>
<p>This small manual lives inside a ZIP archive. Every page and picture you see here is
unpacked by the server while it is sent.</p>
<ol>
<li><a href="chapters/1-lighting.html">Lighting the lantern</a></li>
<li><a href="chapters/2-care.html">Care and cleaning</a></li>
<li><a href="chapters/3-troubleshooting.html">When it will not light</a></li>
</ol>
<p>Browse the <a href="chapters/">chapters folder</a> to see a listing made from the
archive's own directory, or go back to the <a href="../index.html">sample home page</a>.</p>"""),
    "chapters/1-lighting.html": page("Lighting the lantern", """<h1>1. Lighting the lantern</h1>
<p>Open the glass door, turn the wick up by two turns and hold a match to it.
Close the door once the flame is steady and lower the wick until it stops smoking.</p>
<pre>turns of the wick   flame
  1                 low, blue
  2                 steady, yellow
  3                 smoky</pre>
<nav><a href="../index.html">Contents</a> | <a href="2-care.html">Next</a></nav>""", "../"),
    "chapters/2-care.html": page("Care and cleaning", """<h1>2. Care and cleaning</h1>
<p>Trim the wick flat after every few evenings. Wipe the glass with a dry cloth when it
is cold; soot comes off more easily with a drop of vinegar.</p>
<p>Keep the oil tank at least half full: a dry wick burns down quickly.</p>
<nav><a href="1-lighting.html">Previous</a> | <a href="../index.html">Contents</a> |
<a href="3-troubleshooting.html">Next</a></nav>""", "../"),
    "chapters/3-troubleshooting.html": page("When it will not light", """<h1>3. When it will not light</h1>
<ul>
<li>No flame at all: the wick is dry. Let it soak for ten minutes.</li>
<li>A flame that dies at once: the door is closed too early.</li>
<li>A smoking flame: the wick is too high or cut unevenly.</li>
</ul>
<nav><a href="2-care.html">Previous</a> | <a href="../index.html">Contents</a></nav>""", "../"),
    "style.css": MANUAL_CSS,
    "README.txt": "The Lantern Manual\n\nOpen index.html in a browser, or serve the archive with\n"
                  "Pellorwick and visit manual.zip/index.html.\n",
}


def lantern(size=96):
    c = Canvas(size, size)
    c.box(38, 6, 58, 12, 13, 15)        # cap
    c.ring(48, 6, 6, 15)                # handle
    c.box(32, 12, 64, 76, 4, 15)        # glass
    c.frame(33, 13, 63, 75, 14)
    c.disc(48, 48, 10, 7)               # glow
    c.disc(48, 50, 5, 6)                # flame
    c.rect(47, 54, 49, 62, 13)          # wick holder
    c.box(28, 76, 68, 88, 1, 15)        # oil tank
    c.line(30, 80, 66, 80, 2)
    return c


def manual_zip():
    """The archive bytes: pages deflated, pictures stored, with directory records."""
    buf = io.BytesIO()
    stamp = (2024, 5, 17, 10, 30, 0)
    with zipfile.ZipFile(buf, "w") as z:
        def add(name, data, method):
            info = zipfile.ZipInfo(name, stamp)
            info.compress_type = method
            info.external_attr = (0o40755 << 16) | 0x10 if name.endswith("/") else 0o100644 << 16
            z.writestr(info, data)
        add("index.html", MANUAL["index.html"], zipfile.ZIP_DEFLATED)
        add("style.css", MANUAL["style.css"], zipfile.ZIP_DEFLATED)
        add("README.txt", MANUAL["README.txt"], zipfile.ZIP_STORED)
        add("chapters/", b"", zipfile.ZIP_STORED)
        for name in sorted(k for k in MANUAL if k.startswith("chapters/")):
            add(name, MANUAL[name], zipfile.ZIP_DEFLATED)
        add("images/", b"", zipfile.ZIP_STORED)
        add("images/lantern.gif", encode_gif(lantern(), TILE_PALETTE), zipfile.ZIP_STORED)
    return buf.getvalue()


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tree = argv[0] if argv else os.path.join(root, "examples", "webhome")
    os.makedirs(os.path.join(tree, "images"), exist_ok=True)
    with open(os.path.join(tree, "images", "sunset.gif"), "wb") as f:
        f.write(encode_gif(sunset(), SUNSET_PALETTE, transparent=False))
    with open(os.path.join(tree, "images", "tiles.gif"), "wb") as f:
        f.write(encode_gif(tiles(), TILE_PALETTE, transparent=False))
    with open(os.path.join(tree, "manual.zip"), "wb") as f:
        f.write(manual_zip())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
