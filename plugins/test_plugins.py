#!/usr/bin/python3
"""Tests Vexo's input plug-ins (ifheif.spi, ifwebp.spi, iftiff.spi) through their C interface.

Usage: test_plugins.py [BUILD_DIR]   (default /tmp/b-plugins)

Sample files are made with the Debian tools (heif-enc, cwebp, img2webp, ImageMagick's convert,
tiffcp, Pillow) from two small source pictures, decoded through the plug-in in both input forms
and compared with a reference:
  - lossy HEIC/AVIF/WebP: the library's own command-line decoder (heif-convert, dwebp) or Pillow,
    which use the same library, so the tolerance is 0 (10-bit HEIC: heif-convert's 16-bit PNG
    read by its high bytes, also 0);
  - lossless WebP and every TIFF: the source pixels themselves; tolerance 0 for opaque pictures,
    1 where alpha is composited (libtiff premultiplies with its own rounding).
Alpha is composited over white in the reference as (c * a + (255 - a) * 255 + 127) // 255.
"""
import ctypes
import os
import struct
import subprocess
import sys
import tempfile

from PIL import Image

SPI_OK, SPI_ABORTED, SPI_UNKNOWN_FORMAT, SPI_BROKEN_DATA, SPI_NO_MEMORY, SPI_READ_ERROR = (
    0, 1, 2, 3, 4, 6)
ERRORS = (SPI_UNKNOWN_FORMAT, SPI_BROKEN_DATA)
HEADER_SIZE = 2048
W, H = 67, 45  # odd width: rows carry padding


class PictureInfo(ctypes.Structure):
    _fields_ = [("left", ctypes.c_int32), ("top", ctypes.c_int32), ("width", ctypes.c_int32),
                ("height", ctypes.c_int32), ("x_density", ctypes.c_uint16),
                ("y_density", ctypes.c_uint16), ("colorDepth", ctypes.c_int16),
                ("hInfo", ctypes.c_void_p)]


assert ctypes.sizeof(PictureInfo) == 32 and PictureInfo.hInfo.offset == 24

PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_ssize_t)
ALLOC = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_size_t)
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]


class Plugin:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        lib = self.lib
        lib.GetPluginInfo.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32]
        lib.IsSupported.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.GetPictureInfo.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_uint32,
                                       ctypes.POINTER(PictureInfo)]
        lib.GetPicture.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_uint32,
                                   ctypes.POINTER(ctypes.c_void_p),
                                   ctypes.POINTER(ctypes.c_void_p), PROGRESS, ctypes.c_ssize_t]
        lib.SpiSetAllocator.argtypes = [ALLOC, RELEASE]
        lib.SpiFree.argtypes = [ctypes.c_void_p]

    def info(self, n, buflen=256):
        buf = ctypes.create_string_buffer(buflen)
        count = self.lib.GetPluginInfo(n, buf, buflen)
        return buf.raw[:count].decode()

    def supported(self, data):
        return self.lib.IsSupported(b"x", data[:HEADER_SIZE].ljust(HEADER_SIZE, b"\0"))

    @staticmethod
    def _args(source):
        """(buf, len, flag) for a file name (path, offset) or bytes in memory."""
        if isinstance(source, tuple):
            return ctypes.c_char_p(source[0].encode()), source[1], 0
        buf = ctypes.create_string_buffer(source, len(source))
        return buf, len(source), 1

    def picture_info(self, source):
        buf, length, flag = self._args(source)
        info = PictureInfo()
        rc = self.lib.GetPictureInfo(ctypes.cast(buf, ctypes.c_void_p), length, flag,
                                     ctypes.byref(info))
        return rc, info

    def picture(self, source, progress=None):
        """(rc, width, height, top-down RGB bytes)."""
        buf, length, flag = self._args(source)
        info_block, bits_block = ctypes.c_void_p(), ctypes.c_void_p()
        callback = PROGRESS(progress) if progress else PROGRESS(0)
        rc = self.lib.GetPicture(ctypes.cast(buf, ctypes.c_void_p), length, flag,
                                 ctypes.byref(info_block), ctypes.byref(bits_block), callback, 7)
        if rc != SPI_OK:
            assert not info_block.value and not bits_block.value, "blocks returned on error"
            return rc, 0, 0, b""
        header = struct.unpack("<IiiHHIIiiII", ctypes.string_at(info_block, 40))
        size, width, height, planes, bits = header[:5]
        assert (size, planes, bits) == (40, 1, 24) and height > 0, header
        stride = ((width * 24 + 31) // 32) * 4
        block = ctypes.string_at(bits_block, stride * height)
        self.lib.SpiFree(info_block)
        self.lib.SpiFree(bits_block)
        rows = []
        for y in range(height - 1, -1, -1):  # bottom-up BGR to top-down RGB
            row = block[y * stride:y * stride + width * 3]
            rgb = bytearray(len(row))
            rgb[0::3], rgb[1::3], rgb[2::3] = row[2::3], row[1::3], row[0::3]
            rows.append(bytes(rgb))
        return rc, width, height, b"".join(rows)


def over_white(image):
    """Top-down RGB bytes of a Pillow picture, alpha composited over white."""
    rgba = image.convert("RGBA").tobytes()
    out = bytearray()
    for i in range(0, len(rgba), 4):
        a = rgba[i + 3]
        out += bytes((c * a + (255 - a) * 255 + 127) // 255 for c in rgba[i:i + 3])
    return bytes(out)


def max_diff(a, b):
    return max((abs(x - y) for x, y in zip(a, b)), default=0) if len(a) == len(b) else 999


def run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_sources(d):
    rgb = Image.new("RGB", (W, H))
    rgb.putdata([(x * 255 // W, y * 255 // H, (x * y) % 256) for y in range(H) for x in range(W)])
    rgba = Image.new("RGBA", (W, H))
    rgba.putdata([(x * 3 % 256, 200 - y * 4, 90, min(255, (x + y) * 4)) for y in range(H)
                  for x in range(W)])
    other = Image.new("RGB", (W + 10, H + 5), (10, 200, 30))
    frame = Image.new("RGB", (W, H), (10, 200, 30))
    for name, image in (("rgb", rgb), ("rgba", rgba), ("other", other), ("frame", frame)):
        image.save(os.path.join(d, name + ".png"))
    return rgb, rgba, other


def make_samples(d):
    """A table of (case name, plug-in, file, reference RGB bytes or callable, tolerance)."""
    rgb, rgba, other = make_sources(d)
    p = lambda name: os.path.join(d, name)
    cases = []

    def decoded_png(path):
        return lambda: over_white(Image.open(path))

    # HEIF / AVIF, referenced by heif-convert's PNG.
    run("heif-enc", "-q", "85", p("rgb.png"), "-o", p("rgb.heic"))
    run("heif-enc", "-q", "85", p("rgba.png"), "-o", p("rgba.heic"))
    run("heif-convert", p("rgb.heic"), p("rgb.heic.png"))
    run("heif-convert", p("rgba.heic"), p("rgba.heic.png"))
    # 10 bits from a 16-bit PNG; Pillow reads heif-convert's 16-bit PNG by its high bytes.
    run("/usr/bin/convert", "-size", "%dx%d" % (W, H), "gradient:red-blue", "-depth", "16",
        p("deep.png"))
    run("heif-enc", "-b", "10", "-q", "90", p("deep.png"), "-o", p("deep.heic"))
    run("heif-convert", p("deep.heic"), p("deep.heic.png"))
    cases += [("heic 8-bit", "heif", p("rgb.heic"), decoded_png(p("rgb.heic.png")), 0),
              ("heic 10-bit", "heif", p("deep.heic"), decoded_png(p("deep.heic.png")), 0),
              ("heic with alpha", "heif", p("rgba.heic"), decoded_png(p("rgba.heic.png")), 0)]
    if subprocess.run(["heif-enc", "-A", "-q", "85", p("rgb.png"), "-o", p("rgb.avif")],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
        run("heif-convert", p("rgb.avif"), p("rgb.avif.png"))
        cases.append(("avif 8-bit", "heif", p("rgb.avif"), decoded_png(p("rgb.avif.png")), 0))

    # WebP: lossy against dwebp's PNG, lossless against the source, animated against Pillow.
    run("cwebp", "-q", "80", p("rgb.png"), "-o", p("lossy.webp"))
    run("cwebp", "-q", "80", p("rgba.png"), "-o", p("lossy_alpha.webp"))
    run("cwebp", "-lossless", p("rgba.png"), "-o", p("lossless_alpha.webp"))
    run("img2webp", "-lossless", p("rgba.png"), p("frame.png"), "-o", p("anim.webp"))
    for name in ("lossy", "lossy_alpha"):
        run("dwebp", p(name + ".webp"), "-o", p(name + ".webp.png"))
    cases += [
        ("webp lossy", "webp", p("lossy.webp"), decoded_png(p("lossy.webp.png")), 0),
        ("webp lossy with alpha", "webp", p("lossy_alpha.webp"),
         decoded_png(p("lossy_alpha.webp.png")), 0),
        ("webp lossless with alpha", "webp", p("lossless_alpha.webp"), over_white(rgba), 0),
        ("webp animated: first frame", "webp", p("anim.webp"), over_white(rgba), 0),
    ]

    # TIFF: lossless, so the source pixels are the reference.
    rgb.save(p("rgb8.tif"))
    rgba.save(p("rgba8.tif"))  # unassociated alpha
    rgb.convert("P", palette=Image.ADAPTIVE, colors=64).save(p("palette.tif"))
    rgb.convert("L").save(p("gray.tif"))
    run("/usr/bin/convert", p("rgb.png"), "-depth", "16", p("rgb16.tif"))
    run("/usr/bin/convert", p("rgba.png"), "-depth", "16", p("rgba16.tif"))
    run("tiffcp", "-c", "lzw", p("rgb8.tif"), p("lzw.tif"))
    other.save(p("other.tif"))
    run("tiffcp", p("rgb8.tif"), p("other.tif"), p("multi.tif"))
    rgb.save(p("rgb_be.tif"))
    run("tiffcp", "-B", p("rgb_be.tif"), p("big_endian.tif"))
    run("tiffcp", "-8", p("rgb8.tif"), p("bigtiff.tif"))
    cases += [
        ("tiff 8-bit rgb", "tiff", p("rgb8.tif"), over_white(rgb), 0),
        ("tiff 8-bit rgba", "tiff", p("rgba8.tif"), over_white(rgba), 1),
        ("tiff palette", "tiff", p("palette.tif"),
         over_white(Image.open(p("palette.tif"))), 0),
        ("tiff grey", "tiff", p("gray.tif"), over_white(rgb.convert("L")), 0),
        ("tiff 16-bit rgb", "tiff", p("rgb16.tif"), over_white(rgb), 0),
        ("tiff 16-bit rgba", "tiff", p("rgba16.tif"), over_white(rgba), 1),
        ("tiff lzw", "tiff", p("lzw.tif"), over_white(rgb), 0),
        ("tiff big-endian", "tiff", p("big_endian.tif"), over_white(rgb), 0),
        ("tiff multi-page: first page", "tiff", p("multi.tif"), over_white(rgb), 0),
        ("tiff bigtiff", "tiff", p("bigtiff.tif"), over_white(rgb), 0),
    ]
    return cases


def huge_tiff():
    """A little-endian TIFF header claiming 40000 × 40000 RGB pixels."""
    entries = [(256, 4, 1, 40000), (257, 4, 1, 40000), (258, 3, 1, 8), (262, 3, 1, 2),
               (273, 4, 1, 8), (277, 3, 1, 3), (279, 4, 1, 1)]
    ifd = struct.pack("<H", len(entries))
    for tag, typ, count, value in entries:
        ifd += struct.pack("<HHII", tag, typ, count, value)
    return b"II*\0" + struct.pack("<I", 16) + b"\0" * 8 + ifd + b"\0" * 4


def huge_webp():
    """An animated WebP whose canvas is 30000 × 30000 (a still one cannot exceed 16384²)."""
    vp8x = b"VP8X" + struct.pack("<I", 10) + b"\x02\0\0\0" + (29999).to_bytes(3, "little") * 2
    anim = b"ANIM" + struct.pack("<I", 6) + b"\0" * 6
    body = b"WEBP" + vp8x + anim
    return b"RIFF" + struct.pack("<I", len(body)) + body


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "/tmp/b-plugins"
    plugins = {k: Plugin(os.path.join(build, "if%s.spi" % k)) for k in ("heif", "webp", "tiff")}
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print("%s %s%s" % ("PASS" if ok else "FAIL", name, "" if ok else ": " + str(detail)))

    # Plug-in information.
    expected_info = {
        "heif": ["*.heic;*.heif;*.hif", "HEIF/HEIC image"],
        "webp": ["*.webp", "WebP image"],
        "tiff": ["*.tif;*.tiff", "TIFF image"],
    }
    av1 = plugins["heif"].info(4) == "*.avif"
    if av1:
        expected_info["heif"] += ["*.avif", "AVIF image"]
    for kind, plugin in plugins.items():
        got = [plugin.info(n) for n in range(2, 2 + len(expected_info[kind]))]
        check("%s info 0 is 00IN" % kind, plugin.info(0) == "00IN", plugin.info(0))
        check("%s info 1 names it" % kind, plugin.info(1).startswith("Vexo"), plugin.info(1))
        check("%s info patterns" % kind, got == expected_info[kind], got)
        check("%s info past the end is empty" % kind, plugin.info(2 + len(got)) == "")
        check("%s info truncated to buflen" % kind, plugin.info(1, 4) == plugin.info(1)[:4])

    with tempfile.TemporaryDirectory() as d:
        for name, kind, path, reference, tolerance in make_samples(d):
            plugin = plugins[kind]
            data = open(path, "rb").read()
            if callable(reference):
                reference = reference()
            check(name + ": IsSupported", plugin.supported(data) == 1)
            others = [k for k, o in plugins.items() if k != kind and o.supported(data)]
            check(name + ": other plug-ins refuse it", not others, others)
            rc, info = plugin.picture_info((path, 0))
            check(name + ": GetPictureInfo", rc == SPI_OK and info.height > 0 and
                  len(reference) == info.width * info.height * 3,
                  (rc, info.width, info.height))
            prefixed = path + ".prefixed"
            open(prefixed, "wb").write(b"\xff" * 128 + data)
            forms = (("file", (path, 0)), ("file at offset 128", (prefixed, 128)),
                     ("memory", data))
            for form, source in forms:
                rc, width, height, pixels = plugin.picture(source)
                diff = max_diff(pixels, reference)
                check("%s: GetPicture from %s (max diff %d)" % (name, form, diff),
                      rc == SPI_OK and (width, height) == (info.width, info.height) and
                      diff <= tolerance, (rc, width, height, diff))
            # Broken copies of the file must give an error, never a crash.
            for damage, broken in (("truncated", data[:len(data) // 3]),
                                   ("header only", data[:32]),
                                   ("garbage after the signature", data[:16] + bytes(
                                       (i * 37 + 11) % 256 for i in range(4000)))):
                rc = plugin.picture(broken)[0]
                rc_info = plugin.picture_info(broken)[0]
                check("%s: %s gives an error" % (name, damage),
                      rc in ERRORS and rc_info in ERRORS + (SPI_OK,), (rc, rc_info))

        # Progress: stopping before or after decoding.
        sample = open(os.path.join(d, "rgb8.tif"), "rb").read()
        calls = []
        rc = plugins["tiff"].picture(sample, lambda n, t, u: calls.append((n, t, u)) or 0)[0]
        check("progress called with (0,1) and (1,1)",
              rc == SPI_OK and calls == [(0, 1, 7), (1, 1, 7)], (rc, calls))
        for kind, name in (("tiff", "rgb8.tif"), ("webp", "lossy.webp"), ("heif", "rgb.heic")):
            sample = open(os.path.join(d, name), "rb").read()
            for stop_at in (0, 1):
                rc = plugins[kind].picture(sample, lambda n, t, u, s=stop_at: int(n == s))[0]
                check("%s: progress stop at %d gives SPI_ABORTED" % (kind, stop_at),
                      rc == SPI_ABORTED, rc)

        # The host's allocator is used for every block, and SpiFree releases with it.
        for kind, name in (("tiff", "rgba8.tif"), ("webp", "lossy.webp"), ("heif", "rgb.heic")):
            live, allocs = set(), []

            def counted_alloc(size):
                block = libc.malloc(size)
                allocs.append(block)
                live.add(block)
                return block

            def counted_release(block):
                live.discard(block)
                libc.free(block)

            alloc, release = ALLOC(counted_alloc), RELEASE(counted_release)
            plugin = plugins[kind]
            plugin.lib.SpiSetAllocator(alloc, release)
            rc = plugin.picture(open(os.path.join(d, name), "rb").read())[0]
            check("%s: blocks come from the host allocator" % kind,
                  rc == SPI_OK and len(allocs) == 2 and not live, (rc, len(allocs), live))
            plugin.lib.SpiSetAllocator(ALLOC(0), RELEASE(0))  # back to malloc/free

        # 16-bit samples keep their high byte; the resolution comes through in dots per inch.
        grey16 = Image.new("I;16", (4, 1))
        grey16.putdata([4351, 0x7FFF, 0xFF00, 0xFFFF])
        grey16.save(os.path.join(d, "grey16.tif"), dpi=(300, 150))
        sample = open(os.path.join(d, "grey16.tif"), "rb").read()
        rc, _, _, pixels = plugins["tiff"].picture(sample)
        check("tiff 16-bit grey keeps the high byte", rc == SPI_OK and
              list(pixels[0::3]) == [16, 127, 255, 255], (rc, list(pixels[0::3])))
        rc, info = plugins["tiff"].picture_info(sample)
        check("tiff density and depth", rc == SPI_OK and
              (info.x_density, info.y_density, info.colorDepth) == (300, 150, 16),
              (rc, info.x_density, info.y_density, info.colorDepth))

        # The host's memory limit: a picture whose pixels pass it is refused before decoding.
        for kind, name in (("tiff", "rgb8.tif"), ("webp", "lossy.webp"), ("heif", "rgb.heic")):
            plugin = plugins[kind]
            plugin.lib.SpiSetMemoryLimit.argtypes = [ctypes.c_uint64]
            sample = open(os.path.join(d, name), "rb").read()
            plugin.lib.SpiSetMemoryLimit(W * H * 3 - 1)  # less than the 24-bit rows
            refused = plugin.picture(sample)[0]
            plugin.lib.SpiSetMemoryLimit(1 << 30)
            check("%s: a picture over the host's limit gives SPI_NO_MEMORY" % kind,
                  refused == SPI_NO_MEMORY and plugin.picture(sample)[0] == SPI_OK, refused)

        missing = os.path.join(d, "missing.tif")
        for kind, plugin in plugins.items():
            check("%s: missing file gives SPI_READ_ERROR" % kind,
                  plugin.picture((missing, 0))[0] == SPI_READ_ERROR)
            check("%s: empty memory gives SPI_UNKNOWN_FORMAT" % kind,
                  plugin.picture(b"")[0] == SPI_UNKNOWN_FORMAT)
            check("%s: text file gives SPI_UNKNOWN_FORMAT" % kind,
                  plugin.picture(b"hello, world\n" * 50)[0] == SPI_UNKNOWN_FORMAT)
            check("%s: IsSupported refuses a zeroed head" % kind, plugin.supported(b"") == 0)

    for kind, data in (("tiff", huge_tiff()), ("webp", huge_webp())):
        check("%s: oversized picture gives SPI_NO_MEMORY" % kind,
              plugins[kind].picture(data)[0] == SPI_NO_MEMORY and
              plugins[kind].picture_info(data)[0] == SPI_NO_MEMORY,
              (plugins[kind].picture(data)[0], plugins[kind].picture_info(data)[0]))

    passed = sum(results)
    print("%d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
