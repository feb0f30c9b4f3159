#!/usr/bin/python3
"""Bounds of a whole vexo run on hostile or numerous inputs, measured from outside the program.

1. Decompression bombs: small files of every format that declare a huge picture (or inflate far
   past their image), each converted alone. Each must stay under 64 MiB of peak resident memory
   and, where it declares a picture past the memory limit, fail its file ("[X] ").
2. Failing files: 10,000 truncated, corrupted or random files of every input kind in one folder.
   One run at the default memory limit must report every file without a crash. Then, with a
   1 MiB limit so that no single file can take much, the peak RSS of a run over the first 1,000
   of them ten times over (10,000 files) less that of a run over the 1,000, and less what the
   same two runs over copies of one non-picture differ by (what each file costs the run whatever
   it holds: its name in the list, its report line), must stay under 1 MiB, one file at a time;
   two at a time, the same from 10,000 to 20,000, past the worker arenas' high-water mark. With
   --asan-vexo the folder goes through an ASan/UBSan build with leak detection, which must
   report no leak (nor any other error).
3. 2,000 small valid files in one run: the time per file, taken from the outputs' mtimes in
   report order, must be as fast for the last hundred as for the first (1.5x of noise allowed).

Peak RSS is GNU time's %M for the vexo process. Every run gets its own settings file (outputs into
a folder of their own, existing outputs overwritten, so no question is ever asked) and a
timeout. A crash, hang or broken bound is printed in the table, its reproducer copied into
/tmp/bounds-findings/, and the script exits with 1.

    /usr/bin/python3 bench/bounds.py [--vexo PATH] [--asan-vexo PATH] [--work DIR]
                                     [--only bombs|failing|valid ...]

--vexo defaults to build/bin/vexo; without --asan-vexo the leak check is skipped; --work keeps
the generated files (otherwise they go to a temporary folder, on /dev/shm when it is writable,
removed at the end). The outputs' times measure the disk as well: give --work a tmpfs folder.
"""
import argparse
import io
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

from PIL import Image

ROOT = Path(__file__).resolve().parent.parent
FINDINGS = Path("/tmp/bounds-findings")
BOMB_RSS_MIB = 64
GROWTH_MIB = 1.0
SLOWDOWN = 1.5
TIMEOUT = 60
KINDS = [".jpg", ".png", ".gif", ".bmp", ".dib", ".ico", ".wmf", ".emf"]


class Result:
    def __init__(self, code, out, err, rss_kib, seconds, timed_out):
        self.code, self.out, self.err = code, out, err
        self.rss_kib, self.seconds, self.timed_out = rss_kib, seconds, timed_out

    def marks(self):  # the report's "[O] " / "[X] " lines
        return [l for l in self.out.splitlines() if l.startswith(("[O] ", "[X] "))]

    def trouble(self):  # a crash, a hang or an exit status other than 0, else ""
        if self.timed_out:
            return "hang (killed after the timeout)"
        if self.code < 0:
            return f"crash (signal {-self.code})"
        return f"exit status {self.code}" if self.code else ""


def run_vexo(vexo, args, work, timeout=TIMEOUT, extra_env=None):
    """Runs vexo in the terminal with settings of its own under work/, under GNU time for its
    peak RSS. (wait4 from here would not do: a child's ru_maxrss keeps the high-water mark of
    the process it was forked from, and this interpreter is larger than vexo.)"""
    config, outdir, peak = work / "config", work / "out", work / "peak.txt"
    shutil.rmtree(outdir, ignore_errors=True)
    outdir.mkdir(parents=True)
    (config / "vexo").mkdir(parents=True, exist_ok=True)
    (config / "vexo" / "Vexo.ini").write_bytes(
        f"[Options]\r\nUseOutput=1\r\nOutput={outdir}\r\nSame=2\r\n".encode())
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(XDG_CONFIG_HOME=str(config), **(extra_env or {}))
    peak.unlink(missing_ok=True)
    command = ["/usr/bin/time", "-f", "%M %x", "-o", str(peak), str(vexo), "--console", *args]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                env=env, start_new_session=True)
        try:
            proc.wait(timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            timed_out = True
        seconds = time.monotonic() - start
        out.seek(0), err.seek(0)
        # GNU time writes "Command terminated by signal N" before its line for a crash.
        lines = peak.read_text().split("\n") if peak.exists() else []
        rss, code = (int(v) for v in lines[-2].split()) if len(lines) >= 2 else (0, -9)
        if any(l.startswith("Command terminated by signal") for l in lines):
            code = -int(next(l for l in lines if l.startswith("Command terminated")).split()[-1])
        return Result(code, out.read().decode(errors="replace"),
                      err.read().decode(errors="replace"), rss, seconds, timed_out)


# ---- Bytes of the bombs and of the seeds ------------------------------------------------------

def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, idat, extra=b""):
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + extra + png_chunk(b"IDAT", idat)
            + png_chunk(b"IEND", b""))


def deflated_zeros(mib):
    # deflate's best ratio is about 1:1032, so 256 MiB of zeros take some 250 KB.
    z, block = zlib.compressobj(9), bytes(1 << 20)
    return b"".join(z.compress(block) for _ in range(mib)) + z.flush()


def png_text(mib):  # a valid 16x16 image with a compressed comment of mib MiB of zeros
    return png(16, 16, zlib.compress(bytes(16 * 49)),
               png_chunk(b"zTXt", b"Comment\0\0" + deflated_zeros(mib)))


def gif(screen, frame):
    head = b"GIF89a" + struct.pack("<HHBBB", *screen, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff"
    # Minimum code size 2: a clear code (4) and the end code (5) in three bits each.
    return head + b"," + struct.pack("<HHHHB", 0, 0, *frame, 0) + b"\x02\x01\x2c\x00;"


def jpeg(marker, width, height, keep_scan):
    """A small noisy JPEG from Pillow with its frame header patched to width x height; without
    keep_scan it ends right after the scan header."""
    noise = Image.frombytes("RGB", (128, 128), random.Random(7).randbytes(128 * 128 * 3))
    buf = io.BytesIO()
    noise.save(buf, "JPEG", quality=90, progressive=marker == 0xC2)
    data, at = bytearray(buf.getvalue()), 2
    while data[at + 1] != 0xDA:  # the segments up to the scan header
        if data[at + 1] == marker:
            data[at + 5:at + 9] = struct.pack(">HH", height, width)
        at += 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
    if not keep_scan:
        data = data[:at + 2 + struct.unpack(">H", data[at + 2:at + 4])[0]] + b"\xff\xd9"
    return bytes(data)


def info_header(width, height, bits, compression=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, 0, 0, 0, 0, 0)


def bmp(width, height, bits, pixels=b"", compression=0):
    palette = bytes(4 * 256) if bits == 8 else b""
    offset = 14 + 40 + len(palette)
    return (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
            + info_header(width, height, bits, compression) + palette + pixels)


def ico(image):
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32,
                                                       len(image), 22) + image


def emf(bounds, frame, records=b""):
    eof = struct.pack("<IIIII", 14, 20, 0, 16, 20)
    total = 88 + len(records) + len(eof)
    header = struct.pack("<II4i4iIIIIHHIIIiiii", 1, 88, *bounds, *frame, 0x464D4520, 0x10000,
                         total, 3 if records else 2, 1, 0, 0, 0, 0,
                         1920, 1080, 508, 286)
    return header + records + eof


def emf_stretchdib(width, height, bits=b""):
    """An EMR_STRETCHDIBITS record that draws a width x height DIB over the picture."""
    size = 80 + 40 + len(bits)
    return (struct.pack("<II4i6iIIIIII", 81, size, 0, 0, 15, 15, 0, 0, 0, 0, 16, 16, 80, 40, 120,
                        len(bits), 0, 0xCC0020) + struct.pack("<ii", 16, 16)
            + info_header(width, height, 24) + bits)


def wmf(box, inch, records=b""):
    key = struct.pack("<IH4hH", 0x9AC6CDD7, 0, *box, inch) + b"\0\0\0\0"
    check = 0
    for (word,) in struct.iter_unpack("<H", key[:20]):
        check ^= word
    records += struct.pack("<IH", 3, 0)  # end of file
    header = struct.pack("<HHHIHIH", 1, 9, 0x300, 9 + len(records) // 2, 1, 7, 0)
    return key + struct.pack("<H", check) + header + records


def wmf_rectangle():  # a brush of its own, then one rectangle
    return (struct.pack("<IHHIH", 7, 0x02FC, 0, 0x0000FF, 0) + struct.pack("<IHH", 4, 0x012D, 0)
            + struct.pack("<IH4h", 7, 0x041B, 40, 60, 10, 10))


# name, file, bytes, accepted report marks. A bomb that declares a picture past the memory
# limit must fail; one whose picture is small may also convert, as long as its memory stays low.
BOMBS = [
    ("baseline: valid PNG 16x16", "valid.png", lambda: png(16, 16, zlib.compress(bytes(16 * 49))),
     "O"),
    ("PNG 65535x65535", "huge.png", lambda: png(65535, 65535, zlib.compress(bytes(1000))), "X"),
    ("PNG 16x16, IDAT inflating to 256 MiB", "zlib.png",
     lambda: png(16, 16, deflated_zeros(256)), "XO"),
    ("PNG 16x16, zTXt inflating to 256 MiB", "ztxt.png", lambda: png_text(256), "XO"),
    ("PNG 16x16, zTXt inflating to 63 MiB", "ztxt-63.png", lambda: png_text(63), "XO"),
    ("GIF screen and frame 65535x65535", "huge.gif", lambda: gif((65535, 65535), (65535, 65535)),
     "X"),
    ("GIF 16x16 screen, frame 65535x65535", "frame.gif",
     lambda: gif((16, 16), (65535, 65535)), "X"),
    ("JPEG SOF0 65535x65535, headers only", "sof0.jpg",
     lambda: jpeg(0xC0, 65535, 65535, False), "X"),
    ("JPEG SOF0 65535x65535 with scan data", "sof0-scan.jpg",
     lambda: jpeg(0xC0, 65535, 65535, True), "X"),
    ("JPEG SOF2 65535x65535 with scan data", "sof2-scan.jpg",
     lambda: jpeg(0xC2, 65535, 65535, True), "X"),
    ("BMP 65536x32768 24-bit, header only", "huge.bmp", lambda: bmp(65536, 32768, 24), "X"),
    ("BMP 65536x-32768 24-bit, top-down", "topdown.bmp", lambda: bmp(65536, -32768, 24), "X"),
    ("BMP 65536x32768 RLE8, one run", "rle.bmp",
     lambda: bmp(65536, 32768, 8, b"\xff\x01\x00\x01", 1), "X"),
    ("DIB 65536x32768 24-bit, header only", "huge.dib", lambda: bmp(65536, 32768, 24), "X"),
    ("ICO entry holding a 65535x65535 PNG", "png.ico",
     lambda: ico(png(65535, 65535, zlib.compress(bytes(1000)))), "X"),
    ("ICO entry holding a 65535x65535 DIB", "dib.ico",
     lambda: ico(info_header(65535, 2 * 65535, 32)), "X"),
    ("EMF frame of 2^31-1 x 0.01 mm", "frame.emf",
     lambda: emf((0, 0, 99, 99), (0, 0, 2**31 - 1, 2**31 - 1)), "X"),
    ("EMF bounds of 2^32 pixels a side", "bounds.emf",
     lambda: emf((-2**31, -2**31, 2**31 - 1, 2**31 - 1), (0, 0, 0, 0)), "X"),
    ("EMF 16x16, STRETCHDIBITS of 65535x65535", "dib.emf",
     lambda: emf((0, 0, 15, 15), (0, 0, 0, 0), emf_stretchdib(65535, 65535)), "XO"),
    ("WMF placeable box 65535 at 1 unit/inch", "huge.wmf",
     lambda: wmf((-32768, -32768, 32767, 32767), 1, wmf_rectangle()), "X"),
]


def seeds():
    """Valid small files of every input kind: what the malformed ones are made from."""
    rnd = random.Random(3)
    photo = Image.frombytes("RGB", (32, 24), rnd.randbytes(32 * 24 * 3))
    made = []

    def save(ext, image, fmt, **options):
        buf = io.BytesIO()
        image.save(buf, fmt, **options)
        made.append((ext, buf.getvalue()))

    save(".jpg", photo, "JPEG")
    save(".jpg", photo, "JPEG", progressive=True)
    save(".jpg", photo.convert("L"), "JPEG")
    save(".png", photo, "PNG")
    save(".png", photo.convert("RGBA"), "PNG")
    save(".png", photo.convert("P"), "PNG")
    save(".gif", photo.convert("P"), "GIF", interlace=False)
    save(".gif", photo.convert("P"), "GIF", save_all=True,  # two frames, interlaced
         append_images=[photo.rotate(180).convert("P")], duration=100)
    for ext in (".bmp", ".dib"):
        save(ext, photo, "BMP")
        save(ext, photo.convert("P"), "BMP")
        save(ext, photo.convert("1"), "BMP")
    save(".ico", photo.resize((16, 16)), "ICO", sizes=[(16, 16)])
    save(".ico", photo.resize((32, 32)), "ICO", sizes=[(32, 32)], bitmap_format="bmp")
    made.append((".wmf", wmf((0, 0, 100, 80), 96, wmf_rectangle())))
    made.append((".emf", emf((0, 0, 15, 15), (0, 0, 423, 423),
                             emf_stretchdib(16, 16, rnd.randbytes(16 * 16 * 3)))))
    return made


def malformed(rnd, seed_files):
    """One damaged file: a truncated or corrupted seed, or random bytes under any extension."""
    ext, data = rnd.choice(seed_files)
    data = bytearray(data)
    how = rnd.randrange(5)
    if how == 0:  # truncated
        del data[rnd.randrange(len(data)):]
    elif how == 1:  # a few header bytes changed
        for _ in range(rnd.randint(1, 4)):
            data[rnd.randrange(min(64, len(data)))] = rnd.randrange(256)
    elif how == 2:  # bytes changed anywhere, then truncated
        for _ in range(rnd.randint(1, 16)):
            data[rnd.randrange(len(data))] = rnd.randrange(256)
        del data[rnd.randrange(len(data) // 2, len(data)):]
    elif how == 3:  # a run of 0xFF or 0x00 over a header field
        at = rnd.randrange(min(40, len(data)))
        data[at:at + rnd.randint(2, 8)] = bytes([rnd.choice((0, 255))]) * 4
    else:
        ext, data = rnd.choice(KINDS), rnd.randbytes(rnd.randrange(0, 2048))
    return ext, bytes(data)


# ---- The three measurements -------------------------------------------------------------------

ROWS, BROKEN = [], []


def row(bound, item, measured, limit, ok, reproducer=None):
    ROWS.append((bound, item, measured, limit, "ok" if ok else "BROKEN"))
    if not ok:
        BROKEN.append(item)
        if reproducer:
            FINDINGS.mkdir(parents=True, exist_ok=True)
            if reproducer.is_dir():
                shutil.copytree(reproducer, FINDINGS / reproducer.name, dirs_exist_ok=True)
            else:
                shutil.copy(reproducer, FINDINGS / reproducer.name)


def measure_bombs(vexo, work):
    folder = work / "bombs"
    folder.mkdir(parents=True, exist_ok=True)
    for name, file, make, accepted in BOMBS:
        path = folder / file
        path.write_bytes(make())
        r = run_vexo(vexo, ["-gp", "-s", str(path)], work)
        marks = r.marks()
        mark = marks[0][1] if len(marks) == 1 else "?"
        mib = r.rss_kib / 1024
        ok = not r.trouble() and mark in accepted and mib < BOMB_RSS_MIB
        shown = f"{mib:6.1f} MiB [{mark}] {r.seconds:5.2f} s {r.trouble()}"
        row("bomb", f"{name} ({path.stat().st_size} B)", shown,
            f"< {BOMB_RSS_MIB} MiB, [{'/'.join(accepted)}]", ok, path)


def make_failing(work, count):
    folder = work / f"failing-{count}"
    if folder.exists() and len(os.listdir(folder)) == count:
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    rnd, seed_files = random.Random(11), seeds()
    files = [malformed(rnd, seed_files) for _ in range(10000)]
    for i, (ext, data) in enumerate(files[::10000 // count]):  # the small run: every 100th
        (folder / f"{i:04d}{ext}").write_bytes(data)
    return folder


def isolate_crashes(vexo, folder, work):
    """After a crashed or hung run: each file alone, so the findings name the files."""
    bad = []
    for path in sorted(folder.iterdir()):
        r = run_vexo(vexo, ["-gp", "-s", str(path)], work, timeout=20)
        if r.trouble():
            bad.append(path)
            FINDINGS.mkdir(parents=True, exist_ok=True)
            shutil.copy(path, FINDINGS / f"{folder.name}-{path.name}")
    return bad


def growth_runs(vexo, folders, work, jobs):
    """The lowest peak of five runs over each folder, taken in turns: the noise of the machine
    and of the allocator only adds, while memory that a run keeps shows in every run."""
    best = {}
    for _ in range(5):
        for count, folder in folders.items():
            r = run_vexo(vexo, ["--memory-limit=1", f"--jobs={jobs}", "-gp", "-s", str(folder)],
                         work, timeout=10 * TIMEOUT)
            if not r.trouble() and (count not in best or r.rss_kib < best[count].rss_kib):
                best[count] = r
    return [best.get(count) for count in folders]


def measure_failing(vexo, asan_vexo, work):
    # The seeds themselves must convert, or their damaged copies would test little.
    folder = work / "seeds"
    folder.mkdir(parents=True, exist_ok=True)
    made = seeds()
    for i, (ext, data) in enumerate(made):
        (folder / f"{i:02d}{ext}").write_bytes(data)
    r = run_vexo(vexo, ["-gp", "-s", str(folder)], work)
    converted = sum(m.startswith("[O] ") for m in r.marks())
    row("failing", "valid seeds converted", f"{converted} of {len(made)} {r.trouble()}",
        f"{len(made)}", converted == len(made))
    folders = {count: make_failing(work, count) for count in (1000, 10000)}
    # At the default limit one damaged header may ask for a picture of up to 1 GiB, which the
    # readers then allocate by design; this run shows that peak and checks the report.
    r = run_vexo(vexo, ["-gp", "-s", str(folders[10000])], work, timeout=10 * TIMEOUT)
    if r.trouble():
        bad = isolate_crashes(vexo, folders[10000], work)
        row("failing", "10000 files", f"{r.trouble()}; {len(bad)} file(s) crash alone",
            "no crash", False)
        return
    marks = r.marks()
    failed = sum(m.startswith("[X] ") for m in marks)
    row("failing", "10000 files: report lines, [X], peak", f"{len(marks)}, {failed}, "
        f"{r.rss_kib / 1024:.0f} MiB, {r.seconds:.1f} s", "10000 lines", len(marks) == 10000)
    # Growth is measured with a 1 MiB memory limit, so no single file can allocate more than a
    # megabyte or so. A peak is the memory the run keeps plus the largest transient of any one
    # file, and ten thousand different files hold a larger worst file than a thousand do; so the
    # large run is the small run's 1,000 damaged files ten times over, under new names, and only
    # what every file leaves behind can tell the peaks apart. The same measure over copies of
    # one 13-byte non-picture gives what every file costs the run whatever it holds (its name in
    # the list, its report line).
    def copied(name, count, source):
        folder = work / name / str(count)
        if folder.exists() and len(os.listdir(folder)) == count:
            return folder
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for i in range(count):
            path = source(i)
            (folder / f"{i:05d}{path.suffix}").write_bytes(path.read_bytes())
        return folder

    small = sorted(folders[1000].iterdir())
    plain = work / "plain-source.jpg"
    plain.write_bytes(b"not a picture")

    def growth(counts, jobs):
        peaks = {}
        for label, name, source in (
                ("damaged files", "repeated", lambda i: small[i % len(small)]),
                ("one non-picture, copied", "plain", lambda i: plain)):
            runs = growth_runs(vexo, {n: copied(name, n, source) for n in counts}, work, jobs)
            if None in runs:
                row("failing", f"growth runs, {label}", "crashed or hung", "no crash", False)
                return
            peaks[label] = (runs[1].rss_kib - runs[0].rss_kib) / 1024
            row("failing", f"{label}, {jobs} at a time: peak RSS {counts[0]:,} / {counts[1]:,}",
                f"{runs[0].rss_kib / 1024:.2f} / {runs[1].rss_kib / 1024:.2f} MiB", "", True)
        grown = peaks["damaged files"] - peaks["one non-picture, copied"]
        row("failing", f"growth beyond the list and report, {counts[0]:,} to {counts[1]:,}",
            f"{grown:.2f} MiB ({peaks['one non-picture, copied']:.2f} MiB for the list and "
            f"report)", f"< {GROWTH_MIB} MiB", grown < GROWTH_MIB, folders[10000])

    # One file at a time, what each file leaves behind. Two at a time, each worker's C library
    # arena also keeps a high-water mark of a megabyte or so, reached within the first ten
    # thousand files: measured from there to twenty thousand, the growth is again what files keep.
    growth((1000, 10000), 1)
    growth((10000, 20000), 2)
    if not asan_vexo:
        row("failing", "leak check", "skipped (no --asan-vexo)", "0 leaks", True)
        return
    sanitizers = {"ASAN_OPTIONS": "detect_leaks=1", "UBSAN_OPTIONS": "print_stacktrace=1"}
    r = run_vexo(asan_vexo, ["-gp", "-s", str(folders[10000])], work, timeout=30 * TIMEOUT,
                 extra_env=sanitizers)
    log = work / "asan-stderr.txt"
    log.write_text(r.err)
    leaks = r.err.count("Direct leak of") + r.err.count("Indirect leak of")
    others = r.err.count("ERROR: AddressSanitizer") + r.err.count("runtime error:")
    unable = "LeakSanitizer has encountered a fatal error" in r.err
    trouble = r.trouble() if not leaks else ""  # LSan's own exit status says the leaks again
    row("failing", "ASan/UBSan over 10,000 files",
        f"{leaks} leak(s), {others} other error(s), {len(r.marks())} lines, {r.seconds:.0f} s "
        f"{trouble}" + (" LSan could not run" if unable else ""), "0 leaks, 0 errors",
        not (leaks or others or unable or trouble), log if leaks or others else None)


def measure_valid(vexo, work, count=2000):
    folder = work / "valid"
    if not folder.exists() or len(os.listdir(folder)) != count:
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        rnd = random.Random(5)
        pictures = [Image.frombytes("RGB", (64, 48), rnd.randbytes(64 * 48 * 3)) for _ in range(8)]
        for i in range(count):  # JPEG and PNG in turn, so both kinds are at either end
            ext = ".jpg" if i % 2 == 0 else ".png"
            pictures[i % 8].save(folder / f"{i:04d}{ext}", "JPEG" if ext == ".jpg" else "PNG")
    r = run_vexo(vexo, ["-gp", "-s", str(folder)], work, timeout=10 * TIMEOUT)
    outputs = [work / "out" / Path(l.split(" -> ", 1)[1]).name for l in r.marks()
               if l.startswith("[O] ") and " -> " in l]
    if r.trouble() or len(outputs) != count:
        row("valid", f"{count} files", f"{len(outputs)} converted {r.trouble()}", f"{count}",
            False)
        return
    # Outputs are written in report order on one thread: the mtime of each output is when its
    # file was done, and the mean gap over a hundred is that hundred's time per file.
    times = [p.stat().st_mtime_ns for p in outputs]
    step = min((b - a for a, b in zip(times, times[1:]) if b > a), default=0) / 1e6
    first = (times[99] - times[0]) / 99 / 1e6
    last = (times[-1] - times[-100]) / 99 / 1e6
    ratio = last / first if first > 0 else float("inf") if last > 0 else 1.0
    row("valid", f"{count} files: time per file, first / last 100",
        f"{first:.3f} / {last:.3f} ms ({ratio:.2f}x; {r.seconds:.1f} s in all; mtime step "
        f"{step:.1f} ms)",
        f"last <= {SLOWDOWN}x first", ratio <= SLOWDOWN)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vexo", type=Path, default=ROOT / "build" / "bin" / "vexo")
    parser.add_argument("--asan-vexo", type=Path)
    parser.add_argument("--work", type=Path)
    parser.add_argument("--only", choices=["bombs", "failing", "valid"], action="append",
                        help="run only these measurements (may be given more than once)")
    args = parser.parse_args()
    # In memory where there is a tmpfs: on a disk that other work is writing to, the journal
    # slows the later outputs of a run down by as much as 3x, which would hide the program.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    work = args.work or Path(tempfile.mkdtemp(prefix="vexo-bounds-", dir=shm))
    work.mkdir(parents=True, exist_ok=True)
    only = args.only or ["bombs", "failing", "valid"]
    if "bombs" in only:
        measure_bombs(args.vexo, work)
    if "failing" in only:
        measure_failing(args.vexo, args.asan_vexo, work)
    if "valid" in only:
        measure_valid(args.vexo, work)
    widths = [max(len(str(r[i])) for r in ROWS) for i in range(5)]
    for r in ROWS:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    if BROKEN:
        print(f"\n{len(BROKEN)} bound(s) broken; reproducers in {FINDINGS}/", file=sys.stderr)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if BROKEN else 0


if __name__ == "__main__":
    sys.exit(main())
