#!/usr/bin/env python3
"""Draws Lorvane's icons, form picture and cursor, and writes them as PNG/ICO.

The shapes below are the source of the images in this directory; the PNG and
ICO files are generated from them and committed so that a build needs no
Python. Standard library only, no randomness: the same script always gives
the same pixels.

    res/make_images.py            rewrite the images next to this script
    res/make_images.py --check    exit 1 if a committed PNG differs from the shapes
"""
import math
import struct
import sys
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
SUPERSAMPLE = 4

VIOLET = (141, 4, 242)
WHITE = (255, 255, 255)
Y_GREY = (70, 70, 78)
U_BLUE = (30, 111, 217)
V_RED = (224, 58, 58)


# ---- shapes: predicates over a 64 x 64 design space (32 x 32 for the cursor)

def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return x0 <= x <= x1 and y0 <= y <= y1 and (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_outer, r_inner):
    return lambda x, y: r_inner * r_inner < (x - cx) ** 2 + (y - cy) ** 2 <= r_outer * r_outer


def capsule(x0, y0, x1, y1, width):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy
    half2 = (width / 2) ** 2

    def inside(x, y):
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        return (x - x0 - t * dx) ** 2 + (y - y0 - t * dy) ** 2 <= half2
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit
    return inside


def polyline(points, width):
    parts = [capsule(*a, *b, width) for a, b in zip(points, points[1:])]
    return lambda x, y: any(p(x, y) for p in parts)


def vertical_gradient(top, bottom, y0, y1):
    def colour(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))
    return colour


# ---- the images: lists of (shape, colour, opacity), painted in order

def yuv_bars(x0, y0, lengths, height, gap):
    """Three bars, the Y, U and V PSNR of one frame."""
    layers = []
    for i, (length, colour) in enumerate(zip(lengths, (Y_GREY, U_BLUE, V_RED))):
        y = y0 + i * (height + gap) + height / 2
        layers.append((capsule(x0 + height / 2, y, x0 + length - height / 2, y, height), colour, 1.0))
    return layers


def app_icon():
    """Icon 128: a violet tile with a reference frame behind a processed one."""
    return [
        (rounded_rect(2, 2, 62, 62, 12), vertical_gradient((166, 58, 247), (104, 2, 180), 2, 62), 1.0),
        (rounded_rect(11, 11, 45, 37, 3.5), WHITE, 0.45),
        (rounded_rect(19, 22, 53, 50, 3.5), WHITE, 1.0),
    ] + yuv_bars(23.5, 26.5, (25, 17, 21), 5, 2.5)


def about_icon():
    """Icon 131: the three bars in a violet ring."""
    return [
        (circle(32, 32, 30), (245, 237, 254), 1.0),
        (ring(32, 32, 30, 25.5), VIOLET, 1.0),
    ] + yuv_bars(15, 20, (34, 24, 29), 6.5, 3.5)


def form_picture():
    """Bitmap 129 (opaque): a per-frame PSNR chart."""
    grid = [(capsule(x, 8, x, 54, 0.8), (226, 218, 236), 1.0) for x in range(14, 60, 8)]
    grid += [(capsule(8, y, 58, y, 0.8), (226, 218, 236), 1.0) for y in range(14, 56, 8)]
    curve = [(8, 40), (16, 30), (24, 33), (32, 20), (40, 24), (48, 15), (57, 18)]
    dots = [(circle(x, y, 2.4), VIOLET, 1.0) for x, y in curve[1:-1]]
    inner = rounded_rect(1.5, 1.5, 62.5, 62.5, 0)
    return [
        (rounded_rect(0, 0, 64, 64, 0), WHITE, 1.0),
        (lambda x, y: not inner(x, y), VIOLET, 1.0),
    ] + grid + [
        (polyline([(8, 8), (8, 55), (58, 55)], 1.6), (90, 90, 100), 1.0),
        (polygon(curve + [(57, 55), (8, 55)]), (141, 4, 242), 0.12),
        (polyline(curve, 2.2), VIOLET, 1.0),
    ] + dots


def cursor():
    """Cursor 133, 32 x 32, hot spot at the tip (0, 0)."""
    arrow = [(0.6, 0.6), (0.6, 21), (5.6, 16.4), (9.4, 25), (13, 23.4), (9.3, 15), (16, 15)]
    return [
        (polygon(arrow), VIOLET, 1.0),
        (polyline(arrow + [arrow[0]], 1.6), WHITE, 1.0),
    ]


# ---- rasterising and file formats

def render(layers, design_size, size, opaque=False):
    scale = design_size / size
    step = 1.0 / SUPERSAMPLE
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) * step) * scale
                    y = (py + (sy + 0.5) * step) * scale
                    r = g = b = a = 0.0
                    for shape, colour, opacity in layers:
                        if shape(x, y):
                            c = colour(x, y) if callable(colour) else colour
                            r = c[0] * opacity + r * (1 - opacity)
                            g = c[1] * opacity + g * (1 - opacity)
                            b = c[2] * opacity + b * (1 - opacity)
                            a = opacity + a * (1 - opacity)
                    acc[0] += r
                    acc[1] += g
                    acc[2] += b
                    acc[3] += a
            n = SUPERSAMPLE * SUPERSAMPLE
            alpha = acc[3] / n
            if alpha > 0:
                pixel = [round(acc[i] / n / alpha) for i in range(3)]
            else:
                pixel = [0, 0, 0]
            row += bytes(pixel)
            if not opaque:
                row.append(round(alpha * 255))
        rows.append(bytes(row))
    return rows


def png_bytes(rows, size, opaque):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    colour_type = 2 if opaque else 6
    header = struct.pack(">IIBBBBB", size, size, 8, colour_type, 0, 0, 0)
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def png_rows(data):
    """Rows of a PNG written by png_bytes (filter type 0 only)."""
    pos, idat, width, channels = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, _, _, colour_type = struct.unpack(">IIBB", body[:10])
            channels = 3 if colour_type == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = 1 + width * channels
    rows = [raw[i:i + stride] for i in range(0, len(raw), stride)]
    if any(row[0] != 0 for row in rows):
        raise ValueError("unexpected PNG filter")
    return [row[1:] for row in rows]


def ico_bytes(images):
    """An ICO holding PNG-compressed images, as Windows Vista and later read them."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory, blobs = b"", b""
    for size, blob in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return header + directory + blobs


IMAGES = [
    # file, drawing, design size, pixel size, opaque
    ("lorvane.png", app_icon, 64, 64, False),
    ("about.png", about_icon, 64, 64, False),
    ("picture.png", form_picture, 64, 64, True),
    ("cursor.png", cursor, 32, 32, False),
]
ICO_SIZES = (16, 32, 48, 64)


def main(argv):
    check = "--check" in argv
    failed = False
    for name, drawing, design, size, opaque in IMAGES:
        rows = render(drawing(), design, size, opaque)
        path = HERE / name
        if check:
            if not path.exists() or png_rows(path.read_bytes()) != rows:
                print(f"{name}: differs from {Path(__file__).name}; rerun it", file=sys.stderr)
                failed = True
        else:
            path.write_bytes(png_bytes(rows, size, opaque))
    if not check:
        ico = [(s, png_bytes(render(app_icon(), 64, s), s, False)) for s in ICO_SIZES]
        (HERE / "lorvane.ico").write_bytes(ico_bytes(ico))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
