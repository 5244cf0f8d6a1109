"""Minimal GIF89a writer: a 16-colour canvas, an LZW encoder and a decoder
used to check what the encoder wrote."""

WHITE = 0  # index 0 is the transparent background


class Canvas:
    def __init__(self, width, height, fill=0):
        self.width = width
        self.height = height
        self.pixels = [fill] * (width * height)

    def px(self, x, y, c):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y * self.width + x] = c

    def get(self, x, y):
        return self.pixels[y * self.width + x]

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.px(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1 + 1):
            self.px(x, y0, c)
            self.px(x, y1, c)
        for y in range(y0, y1 + 1):
            self.px(x0, y, c)
            self.px(x1, y, c)

    def box(self, x0, y0, x1, y1, fill, edge):
        self.rect(x0, y0, x1, y1, fill)
        self.frame(x0, y0, x1, y1, edge)

    def line(self, x0, y0, x1, y1, c, thick=1):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx = 1 if x0 < x1 else -1
        sy = 1 if y0 < y1 else -1
        err = dx + dy
        while True:
            for t in range(thick):
                if dx >= -dy:
                    self.px(x0, y0 + t, c)
                else:
                    self.px(x0 + t, y0, c)
            if x0 == x1 and y0 == y1:
                break
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def disc(self, cx, cy, r, c):
        for y in range(cy - r, cy + r + 1):
            for x in range(cx - r, cx + r + 1):
                if (x - cx) ** 2 + (y - cy) ** 2 <= r * r + r // 2:
                    self.px(x, y, c)

    def ring(self, cx, cy, r, c):
        inner = (r - 1) ** 2 + (r - 1) // 2
        outer = r * r + r // 2
        for y in range(cy - r, cy + r + 1):
            for x in range(cx - r, cx + r + 1):
                d = (x - cx) ** 2 + (y - cy) ** 2
                if inner < d <= outer:
                    self.px(x, y, c)


def lzw_encode(pixels, min_size):
    """Variable-width LZW codes of GIF, packed least significant bit first."""
    clear = 1 << min_size
    eoi = clear + 1
    out = bytearray()
    acc = 0
    nbits = 0

    def put(code, width):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    def reset():
        return {}, eoi + 1, min_size + 1

    table, nxt, width = reset()
    put(clear, width)
    w = pixels[0]
    for k in pixels[1:]:
        if (w, k) in table:
            w = table[(w, k)]
            continue
        put(w, width)
        if nxt == 4096:
            # A full table: start again, so the decoder never needs a 13th bit.
            put(clear, width)
            table, nxt, width = reset()
        else:
            table[(w, k)] = nxt
            nxt += 1
            if nxt > (1 << width) and width < 12:
                width += 1
        w = k
    put(w, width)
    # The decoder adds one more entry after the last code; follow its width.
    if nxt < 4096 and nxt + 1 > (1 << width) and width < 12:
        width += 1
    put(eoi, width)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def lzw_decode(data, min_size, count):
    clear = 1 << min_size
    eoi = clear + 1
    pos = 0
    acc = 0
    nbits = 0
    table = []
    width = min_size + 1
    prev = None
    out = []

    def reset():
        return [[i] for i in range(clear)] + [None, None], min_size + 1

    table, width = reset()
    while True:
        while nbits < width:
            if pos >= len(data):
                raise ValueError("LZW data ends without an end code")
            acc |= data[pos] << nbits
            pos += 1
            nbits += 8
        code = acc & ((1 << width) - 1)
        acc >>= width
        nbits -= width
        if code == clear:
            table, width = reset()
            prev = None
            continue
        if code == eoi:
            break
        if prev is None:
            if code >= clear:
                raise ValueError("bad first code")
            entry = table[code]
        elif code < len(table):
            entry = table[code]
            if len(table) < 4096:
                table.append(table[prev] + entry[:1])
        elif code == len(table):
            entry = table[prev] + table[prev][:1]
            table.append(entry)
        else:
            raise ValueError("code out of range")
        if len(table) == (1 << width) and width < 12:
            width += 1
        out.extend(entry)
        prev = code
    if len(out) != count:
        raise ValueError("pixel count %d, expected %d" % (len(out), count))
    return out


def encode_gif(canvas, palette, transparent=True):
    """A GIF89a file of one image; palette is a list of up to 16 RGB triples."""
    bits = 4
    colours = list(palette) + [(0, 0, 0)] * ((1 << bits) - len(palette))
    w, h = canvas.width, canvas.height
    b = bytearray(b"GIF89a")
    b += bytes([w & 0xFF, w >> 8, h & 0xFF, h >> 8, 0xF0 | (bits - 1), 0, 0])
    for r, g, bl in colours:
        b += bytes([r, g, bl])
    if transparent:
        b += bytes([0x21, 0xF9, 4, 0x01, 0, 0, WHITE, 0])
    b += bytes([0x2C, 0, 0, 0, 0, w & 0xFF, w >> 8, h & 0xFF, h >> 8, 0])
    data = lzw_encode(canvas.pixels, bits)
    assert lzw_decode(data, bits, w * h) == canvas.pixels
    b.append(bits)
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        b.append(len(chunk))
        b += chunk
    b += bytes([0, 0x3B])
    return bytes(b)
