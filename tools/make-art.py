#!/usr/bin/env python3
"""Draws Tavdesk's pictures and sounds from code into ui/art/.

Shapes are signed distance functions sampled once per pixel, which gives
antialiased edges without a drawing library; the tab images are 16-colour
pixel art on a teal mask. Python 3 standard library only. Run it again after
changing a drawing and commit what it writes (use --preview DIR to also get
enlarged PNG copies for looking at).
"""
import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ART = os.path.join(HERE, "..", "ui", "art")


# ---------------------------------------------------------------- geometry

def clamp(x, lo=0.0, hi=1.0):
    return lo if x < lo else hi if x > hi else x


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def sd_circle(x, y, cx, cy, r):
    return math.hypot(x - cx, y - cy) - r


def sd_round_box(x, y, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r


def sd_segment(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else clamp(((x - ax) * dx + (y - ay) * dy) / length2)
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


class Stroke:
    """A polyline drawn with round ends and joins, `width` wide."""

    def __init__(self, points, width):
        self.points = points
        self.half = width / 2
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        pad = self.half + 1
        self.box = (min(xs) - pad, min(ys) - pad, max(xs) + pad, max(ys) + pad)

    def sd(self, x, y):
        if not (self.box[0] <= x <= self.box[2] and self.box[1] <= y <= self.box[3]):
            return 1e9
        best = 1e9
        pts = self.points
        for i in range(len(pts) - 1):
            d = sd_segment(x, y, pts[i][0], pts[i][1], pts[i + 1][0], pts[i + 1][1])
            if d < best:
                best = d
        return best - self.half


def arc(cx, cy, rx, ry, start_deg, end_deg, steps=24):
    """Points on an ellipse; angles counter-clockwise on screen (y down)."""
    out = []
    for i in range(steps + 1):
        a = math.radians(start_deg + (end_deg - start_deg) * i / steps)
        out.append((cx + rx * math.cos(a), cy - ry * math.sin(a)))
    return out


def bezier(p0, p1, p2, p3, steps=40):
    out = []
    for i in range(steps + 1):
        t = i / steps
        u = 1 - t
        out.append(tuple(u * u * u * p0[k] + 3 * u * u * t * p1[k] + 3 * u * t * t * p2[k] +
                         t * t * t * p3[k] for k in range(2)))
    return out


# A stroke font for the program's name, on a grid where the baseline is y=10,
# the x-height y=5 and the cap height y=0. Each glyph: (advance, polylines).
def glyphs():
    bowl = arc(2.5, 7.5, 2.5, 2.5, 0, 360, 32)
    return {
        "T": (6.0, [[(0, 0), (6, 0)], [(3, 0), (3, 10)]]),
        "a": (5.0, [bowl, [(5, 5), (5, 10)]]),
        "v": (5.2, [[(0, 5), (2.6, 10), (5.2, 5)]]),
        "d": (5.0, [bowl, [(5, 0), (5, 10)]]),
        "e": (5.0, [[(0, 7.5), (5, 7.5)] + arc(2.5, 7.5, 2.5, 2.5, 0, 315, 28)]),
        "s": (4.6, [arc(2.3, 6.25, 2.2, 1.25, 35, 270, 20) + arc(2.3, 8.75, 2.2, 1.25, 90, -145, 20)]),
        "k": (4.6, [[(0, 0), (0, 10)], [(4.4, 5), (0.2, 8.2)], [(1.6, 7.2), (4.6, 10)]]),
    }


def text_strokes(text, x, y, scale, width, spacing=1.9):
    font = glyphs()
    strokes = []
    for ch in text:
        advance, lines = font[ch]
        for line in lines:
            strokes.append(Stroke([(x + px * scale, y + py * scale) for px, py in line], width))
        x += (advance + spacing) * scale
    return strokes, x


# ---------------------------------------------------------------- canvas

class Canvas:
    """Straight RGBA floats, 0..1, drawn over with coverage from a distance."""

    def __init__(self, w, h, colour=(0, 0, 0, 0)):
        self.w, self.h = w, h
        self.px = [list(colour) for _ in range(w * h)]

    def fill(self, shader):
        for y in range(self.h):
            for x in range(self.w):
                self.px[y * self.w + x] = list(shader(x + 0.5, y + 0.5))

    def draw(self, sd, colour, box=None, soft=1.0):
        """Composites `colour` (RGB or a function of x, y) where sd < 0."""
        x0, y0, x1, y1 = box or (0, 0, self.w, self.h)
        for y in range(max(0, int(y0)), min(self.h, int(math.ceil(y1)))):
            for x in range(max(0, int(x0)), min(self.w, int(math.ceil(x1)))):
                cov = clamp(0.5 - sd(x + 0.5, y + 0.5) / soft)
                if cov <= 0:
                    continue
                c = colour(x + 0.5, y + 0.5) if callable(colour) else colour
                a = cov * (c[3] if len(c) > 3 else 1.0)
                p = self.px[y * self.w + x]
                out_a = a + p[3] * (1 - a)
                for i in range(3):
                    p[i] = (c[i] * a + p[i] * p[3] * (1 - a)) / out_a if out_a else 0
                p[3] = out_a

    def strokes(self, strokes, colour):
        for s in strokes:
            self.draw(s.sd, colour, s.box)

    def rgb8(self, background=(0, 0, 0)):
        out = []
        for p in self.px:
            a = p[3]
            out.append(tuple(int(round(clamp(p[i] * a + background[i] * (1 - a)) * 255))
                             for i in range(3)))
        return out

    def rgba8(self):
        return [tuple(int(round(clamp(v) * 255)) for v in p) for p in self.px]


def hexrgb(h, a=1.0):
    return (int(h[0:2], 16) / 255, int(h[2:4], 16) / 255, int(h[4:6], 16) / 255, a)


# ---------------------------------------------------------------- palettes

def median_cut(pixels, count):
    """A palette of at most `count` colours for a list of RGB tuples."""
    boxes = [sorted(set(pixels))]
    while len(boxes) < count:
        boxes.sort(key=lambda b: max(max(c[i] for c in b) - min(c[i] for c in b) for i in range(3))
                   if len(b) > 1 else -1)
        box = boxes[-1]
        if len(box) < 2:
            break
        boxes.pop()
        axis = max(range(3), key=lambda i: max(c[i] for c in box) - min(c[i] for c in box))
        box.sort(key=lambda c: c[axis])
        half = len(box) // 2
        boxes += [box[:half], box[half:]]
    return [tuple(sum(c[i] for c in b) // len(b) for i in range(3)) for b in boxes]


def nearest(palette, c, cache):
    if c not in cache:
        cache[c] = min(range(len(palette)),
                       key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(3)))
    return cache[c]


def index_pixels(pixels, palette):
    cache = {}
    return [nearest(palette, c, cache) for c in pixels]


# The standard 16-colour palette; index 6 is the tab images' mask RGB(0,128,128).
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


# ---------------------------------------------------------------- file formats

def dib_rows(w, h, bpp, row_of):
    """Bottom-up rows, each padded to 4 bytes; row_of(y) gives one row's bytes."""
    stride = (w * bpp + 31) // 32 * 4
    return b"".join(row_of(y).ljust(stride, b"\0") for y in reversed(range(h)))


def pack_indices(indices, bpp):
    if bpp == 8:
        return bytes(indices)
    if bpp == 4:
        padded = list(indices) + [0] * (len(indices) % 2)
        return bytes((padded[i] << 4) | padded[i + 1] for i in range(0, len(padded), 2))
    if bpp == 1:
        padded = list(indices) + [0] * (-len(indices) % 8)
        return bytes(sum(padded[i + k] << (7 - k) for k in range(8)) for i in range(0, len(padded), 8))
    raise ValueError(bpp)


def info_header(w, h, bpp, colours, image_size):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, bpp, 0, image_size, 2835, 2835, colours, 0)


def palette_bytes(palette, size):
    entries = list(palette) + [(0, 0, 0)] * (size - len(palette))
    return b"".join(struct.pack("BBBB", c[2], c[1], c[0], 0) for c in entries)


def bmp_file(w, h, indices, palette, bpp):
    rows = dib_rows(w, h, bpp, lambda y: pack_indices(indices[y * w:(y + 1) * w], bpp))
    table = palette_bytes(palette, 1 << bpp)
    header = info_header(w, h, bpp, 1 << bpp, len(rows))
    offset = 14 + len(header) + len(table)
    return struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset) + header + table + rows


def icon_image_indexed(w, rgba, palette):
    """One 8-bit icon image: XOR bitmap from the palette, AND mask from alpha."""
    indices = index_pixels([p[:3] for p in rgba], palette)
    xor = dib_rows(w, w, 8, lambda y: bytes(indices[y * w:(y + 1) * w]))
    mask = dib_rows(w, w, 1, lambda y: pack_indices([0 if p[3] >= 128 else 1
                                                     for p in rgba[y * w:(y + 1) * w]], 1))
    header = info_header(w, 2 * w, 8, 256, len(xor) + len(mask))
    return header + palette_bytes(palette, 256) + xor + mask, 8


def icon_image_rgba(w, rgba):
    xor = dib_rows(w, w, 32, lambda y: b"".join(struct.pack("BBBB", p[2], p[1], p[0], p[3])
                                                 for p in rgba[y * w:(y + 1) * w]))
    mask = dib_rows(w, w, 1, lambda y: pack_indices([0] * w, 1))
    return info_header(w, 2 * w, 32, 0, len(xor) + len(mask)) + xor + mask, 32


def ico_file(images):
    """images: (size, bytes, bpp) in directory order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data, bpp in images:
        colours = 0 if bpp >= 8 else 1 << bpp
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp, len(data),
                           offset + len(body))
        body += data
    return out + body


def png_file(w, h, rgb):
    raw = b"".join(b"\0" + bytes(v for p in rgb[y * w:(y + 1) * w] for v in p) for y in range(h))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def wav_file(samples, rate):
    data = b"".join(struct.pack("<h", s) for s in samples)
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    return (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE" +
            b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data)


# ---------------------------------------------------------------- pictures

NAVY = hexrgb("10214f")
TEAL = hexrgb("1b8a99")
WHITE = hexrgb("ffffff")
AMBER = hexrgb("ffc04d")
STEEL = hexrgb("c9d3e0")


def plug(canvas, x, y, scale, facing):
    """A cable plug: body and metal tip, `facing` +1 right or -1 left."""
    body = (x - 5 * scale, y - 4.5 * scale, x + 5 * scale, y + 4.5 * scale)
    tip_x0 = x + 4 * scale if facing > 0 else x - 10 * scale
    tip_x1 = tip_x0 + 6 * scale
    canvas.draw(lambda px, py: sd_round_box(px, py, tip_x0, y - 3 * scale, tip_x1, y + 3 * scale,
                                            0.8 * scale), STEEL)
    canvas.draw(lambda px, py: sd_round_box(px, py, *body, 2.2 * scale), WHITE)


def banner():
    w, h = 296, 63
    c = Canvas(w, h)
    c.fill(lambda x, y: mix(NAVY, TEAL, clamp(x / w * 0.9 + y / h * 0.25)))
    # The cable: from a plug on the left, in one swing under the name, to a
    # plug on the right.
    cable = bezier((34, 38), (70, 66), (200, 20), (262, 42), 60)
    c.strokes([Stroke(cable, 3.2)], AMBER)
    plug(c, 24, 38, 1.4, -1)
    plug(c, 268, 42, 1.4, +1)
    strokes, _ = text_strokes("Tavdesk", 74, 8, 3.1, 3.6)
    shadow, _ = text_strokes("Tavdesk", 75.5, 9.5, 3.1, 3.6)
    c.strokes(shadow, (0, 0, 0, 0.35))
    c.strokes(strokes, WHITE)
    # A thin light line along the bottom edge closes the banner.
    c.draw(lambda x, y: (h - 1.5) - y, (1, 1, 1, 0.35))
    rgb = c.rgb8()
    palette = median_cut(rgb, 256)
    return w, h, rgb, bmp_file(w, h, index_pixels(rgb, palette), palette, 8)


def program_icon(size):
    """A rounded tile with the cable's plug and its swing, drawn at any size."""
    s = size / 32
    c = Canvas(size, size)
    c.draw(lambda x, y: sd_round_box(x, y, 0.5 * s, 0.5 * s, 31.5 * s, 31.5 * s, 6 * s),
           lambda x, y: mix(NAVY, TEAL, clamp((x + y) / (2 * size))))
    cable = bezier((7 * s, 25 * s), (10 * s, 8 * s), (20 * s, 30 * s), (24 * s, 11 * s), 30)
    c.strokes([Stroke(cable, max(2.2 * s, 1.6))], AMBER)
    c.draw(lambda x, y: sd_round_box(x, y, 19.5 * s, 3 * s, 28.5 * s, 8 * s, 0.8 * s), STEEL)
    c.draw(lambda x, y: sd_round_box(x, y, 18 * s, 7 * s, 30 * s, 15 * s, 2 * s), WHITE)
    return c.rgba8()


def folder_icon(size):
    """An open folder with three dots: "choose a folder"."""
    s = size / 32
    c = Canvas(size, size)
    back = hexrgb("d99a1e")
    front = hexrgb("ffc94a")
    c.draw(lambda x, y: sd_round_box(x, y, 2 * s, 5 * s, 14 * s, 11 * s, 1.5 * s), back)
    c.draw(lambda x, y: sd_round_box(x, y, 2 * s, 8 * s, 30 * s, 27 * s, 2 * s), back)
    c.draw(lambda x, y: sd_round_box(x, y, 2 * s, 12 * s, 30 * s, 27 * s, 2 * s), front)
    for i in range(3):
        c.draw(lambda x, y, i=i: sd_circle(x, y, (10 + 6 * i) * s, 20 * s, max(1.8 * s, 1.1)),
               hexrgb("5a3a00"))
    return c.rgba8()


def icon_file(draw, sizes_rgba, sizes_indexed):
    images = []
    for size in sizes_indexed:
        rgba = draw(size)
        palette = median_cut([p[:3] for p in rgba if p[3] >= 128] or [(0, 0, 0)], 255)
        data, bpp = icon_image_indexed(size, rgba, palette)
        images.append((size, data, bpp))
    for size in sizes_rgba:
        data, bpp = icon_image_rgba(size, draw(size))
        images.append((size, data, bpp))
    return ico_file(images)


# Tab images, one 16 x 16 cell each, drawn pixel by pixel: '.' is the mask.
TAB_COLOURS = {".": 6, "k": 0, "g": 8, "s": 7, "w": 15, "n": 4, "b": 12, "y": 11, "o": 3,
               "a": 14, "r": 9}
TAB_IMAGES = [
    # Settings: a gear.
    """
    ................
    .......kk.......
    ...k..kssk..k...
    ..kskkksskkksk..
    ...kssswwssssk..
    ...kswwkkgsgk...
    .kkswk....kssk..
    .ksswk....ksgkk.
    .kkswk....ksskk.
    ..kssk....ksgk..
    ...ksskkkksgk...
    ..ksssggsgggsk..
    ..kskkkssgkkgk..
    ...k..kggk..k...
    .......kk.......
    ................
    """,
    # About: an "i" on a blue disc.
    """
    ................
    .....kkkkkk.....
    ...kkbbbbbbkk...
    ..kbbbbwwbbbbk..
    ..kbbbbwwbbbbk..
    .kbbbbbbbbbbbbk.
    .kbbbbwwwbbbbbk.
    .kbbbbbwwbbbbbk.
    .kbbbbbwwbbbbbk.
    .kbbbbbwwbbbbbk.
    .kbbbbbwwbbbbbk.
    ..kbbbwwwwbbbk..
    ..kbbbbbbbbbbk..
    ...kkbbbbbbkk...
    .....kkkkkk.....
    ................
    """,
    # A cable: a plug with its metal tip and the lead leaving it.
    """
    ................
    ................
    ..........kkkkk.
    .......kkkkwwwk.
    ......kwwwkssskk
    ......kwgwksksk.
    ......kwwwksssk.
    ......kwgwksksk.
    ......kwwwksssk.
    .......kkkkwwwk.
    .....kk...kkkkk.
    ...kkyk.........
    ..kyyk..........
    .kyyk...........
    .kyk............
    ..k.............
    """,
]


def tab_strip():
    cells = [[row.strip() for row in art.strip().splitlines()] for art in TAB_IMAGES]
    for cell in cells:
        assert len(cell) == 16 and all(len(r) == 16 for r in cell), cell
    w, h = 16 * len(cells), 16
    indices = [TAB_COLOURS[cells[x // 16][y][x % 16]] for y in range(h) for x in range(w)]
    rgb = [VGA16[i] for i in indices]
    return w, h, rgb, bmp_file(w, h, indices, VGA16, 4)


# ---------------------------------------------------------------- sounds

RATE = 22050
LENGTH = 0.8


def finish(signal):
    """Peak-normalised 16-bit samples that start and end at exactly zero."""
    n = len(signal)
    fade_in, fade_out = int(0.004 * RATE), int(0.04 * RATE)
    for i in range(n):
        g = 1.0
        if i < fade_in:
            g = i / fade_in
        elif i >= n - fade_out:
            g = 0.5 - 0.5 * math.cos(math.pi * (n - 1 - i) / fade_out)
        signal[i] *= g
    peak = max(abs(v) for v in signal) or 1.0
    return [int(round(v / peak * 0.7 * 32767)) for v in signal]


def chime(notes):
    """Bell-like notes (fundamental, a touch of octave) struck one after another."""
    n = int(LENGTH * RATE)
    out = [0.0] * n
    for k, freq in enumerate(notes):
        start = int(k * 0.13 * RATE)
        for i in range(start, n):
            t = (i - start) / RATE
            env = math.exp(-t / 0.22) * min(1.0, t / 0.003)
            out[i] += env * (math.sin(2 * math.pi * freq * t) +
                             0.25 * math.sin(2 * math.pi * 2 * freq * t) * math.exp(-t / 0.08))
    return finish(out)


def buzz():
    """Two short pulses of a low, reedy tone."""
    n = int(LENGTH * RATE)
    out = [0.0] * n
    for start, length in ((0.0, 0.26), (0.34, 0.26)):
        for i in range(int(start * RATE), int((start + length) * RATE)):
            t = i / RATE - start
            env = min(1.0, t / 0.01, (length - t) / 0.03)
            out[i] += env * sum(math.sin(2 * math.pi * 98 * h * t) / h for h in range(1, 9))
    return finish(out)


# ---------------------------------------------------------------- main

def enlarge(w, h, rgb, factor):
    return [rgb[(y // factor) * w + x // factor] for y in range(h * factor) for x in range(w * factor)]


def main():
    preview = sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "--preview" else None
    os.makedirs(ART, exist_ok=True)

    def write(name, data):
        with open(os.path.join(ART, name), "wb") as f:
            f.write(data)

    def show(name, w, h, rgb, factor):
        if preview:
            os.makedirs(preview, exist_ok=True)
            with open(os.path.join(preview, name), "wb") as f:
                f.write(png_file(w * factor, h * factor, enlarge(w, h, rgb, factor)))

    w, h, rgb, data = banner()
    write("banner.bmp", data)
    show("banner.png", w, h, rgb, 2)
    w, h, rgb, data = tab_strip()
    write("tabs.bmp", data)
    show("tabs.png", w, h, rgb, 8)
    write("tavdesk.ico", icon_file(program_icon, [48, 32, 16], [32, 16]))
    write("browse.ico", icon_file(folder_icon, [32, 16], [32, 16]))
    for name, draw in (("program", program_icon), ("browse", folder_icon)):
        for size in (32, 16):
            rgb = [tuple(int(p[i] * p[3] / 255 + 240 * (255 - p[3]) / 255) for i in range(3))
                   for p in draw(size)]
            show("%s%d.png" % (name, size), size, size, rgb, 256 // size)
    c6, e6, g6 = 1046.5, 1318.5, 1568.0
    write("added.wav", wav_file(chime([c6, e6, g6]), RATE))
    write("removed.wav", wav_file(chime([g6 / 2, e6 / 2, c6 / 2]), RATE))
    write("error.wav", wav_file(buzz(), RATE))


if __name__ == "__main__":
    main()
