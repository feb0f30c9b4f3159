#!/usr/bin/python3
"""Draws the bundled sample images (samples/): small synthetic pictures in each input format."""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from PIL import Image, ImageDraw

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "samples")
os.makedirs(out, exist_ok=True)


def sunset(w, h):
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            t = y / (h - 1)
            px[x, y] = (int(255 * (1 - t * 0.6)), int(120 + 100 * t * math.sin(x / 9.0) ** 2),
                        int(60 + 190 * t))
    d = ImageDraw.Draw(im)
    d.ellipse((w * 0.35, h * 0.2, w * 0.65, h * 0.2 + w * 0.3), fill=(255, 230, 90))
    d.rectangle((0, int(h * 0.75), w, h), fill=(30, 60, 110))
    return im


def tiles(w, h):
    im = Image.new("RGB", (w, h), (245, 245, 240))
    d = ImageDraw.Draw(im)
    colours = [(200, 40, 40), (40, 160, 60), (40, 70, 200), (230, 180, 30), (120, 40, 160)]
    for i in range(0, w, 16):
        for j in range(0, h, 16):
            if (i // 16 + j // 16) % 2 == 0:
                d.rectangle((i, j, i + 15, j + 15), fill=colours[(i // 16 * 3 + j // 16) % 5])
    d.text((6, h // 2 - 6), "Vexo", fill=(0, 0, 0))
    return im


sunset(160, 120).save(os.path.join(out, "sunset.jpg"), quality=85)
sunset(97, 61).save(os.path.join(out, "sunset-progressive.jpg"), quality=80, progressive=True)
sunset(80, 60).convert("L").save(os.path.join(out, "sunset-gray.jpg"), quality=80)
tiles(101, 67).save(os.path.join(out, "tiles.bmp"))
tiles(64, 48).quantize(16).save(os.path.join(out, "tiles-16colours.bmp"))
tiles(50, 40).save(os.path.join(out, "tiles.dib"), format="BMP")


def badge(w, h):
    """Tiles under a soft-edged round mask: an RGBA image whose alpha falls off to the corners."""
    im = tiles(w, h).convert("RGBA")
    alpha = Image.new("L", (w, h))
    pa = alpha.load()
    for y in range(h):
        for x in range(w):
            r = math.hypot((x - w / 2) / (w / 2), (y - h / 2) / (h / 2))
            pa[x, y] = max(0, min(255, int(255 * (1.2 - r) / 0.4)))
    im.putalpha(alpha)
    return im


badge(72, 56).save(os.path.join(out, "badge.png"))
tiles(60, 44).quantize(8).save(os.path.join(out, "tiles-palette.png"), transparency=0)
tiles(80, 52).quantize(32).save(os.path.join(out, "tiles-interlaced.gif"), interlace=True,
                                transparency=0)
tiles(48, 48).save(os.path.join(out, "tiles.ico"), sizes=[(48, 48), (16, 16)])


def clipart_wmf(path, w, h):
    """A placeable Windows metafile of a few filled shapes, written record by record."""
    records = []

    def record(function, *words):
        records.append(struct.pack("<IH", 3 + len(words), function) + struct.pack("<%dH" % len(words), *words))

    def colour(r, g, b):
        return (r | g << 8), b  # COLORREF as two words

    record(0x0103, 8)  # SETMAPMODE anisotropic
    record(0x020B, 0, 0)  # SETWINDOWORG
    record(0x020C, h, w)  # SETWINDOWEXT (y, x)
    for i, (style, rgb) in enumerate([(0, (250, 240, 200)), (0, (40, 90, 200)), (0, (220, 60, 40))]):
        record(0x02FC, style, *colour(*rgb), 0)  # CREATEBRUSHINDIRECT: object i
    record(0x02FA, 0, 2, 0, *colour(20, 20, 20))  # CREATEPENINDIRECT: object 3
    record(0x012D, 3)  # SELECTOBJECT pen
    for brush, (function, box) in enumerate([(0x041B, (0, 0, w, h)), (0x041B, (10, 12, 70, 50)),
                                              (0x0418, (40, 20, 110, 70))]):
        record(0x012D, brush)
        left, top, right, bottom = box
        record(function, bottom, right, top, left)
    record(0x0000)  # EOF
    body = b"".join(records)
    words = 9 + len(body) // 2
    largest = max(len(r) for r in records) // 2
    header = struct.pack("<HHHIHIH", 1, 9, 0x0300, words, 4, largest, 0)
    placeable = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, 0, 0, w, h, 96, 0)
    checksum = 0
    for (word,) in struct.iter_unpack("<H", placeable):
        checksum ^= word
    with open(path, "wb") as f:
        f.write(placeable + struct.pack("<H", checksum) + header + body)


clipart_wmf(os.path.join(out, "clipart.wmf"), 120, 80)

# Formats the plug-ins read: WebP with alpha, TIFF (LZW), and HEIC when heif-enc is installed.
badge(72, 56).save(os.path.join(out, "badge.webp"), quality=85)
sunset(90, 60).save(os.path.join(out, "sunset.tif"), compression="tiff_lzw")
if shutil.which("heif-enc"):
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "sunset.png")
        sunset(128, 96).save(source)
        subprocess.run(["heif-enc", "-q", "60", "-o", os.path.join(out, "sunset.heic"), source],
                       check=True, stdout=subprocess.DEVNULL)
