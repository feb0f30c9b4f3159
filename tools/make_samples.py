#!/usr/bin/python3
"""Draws the bundled sample images (samples/): small synthetic pictures in each input format."""
import math
import os
import sys

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
