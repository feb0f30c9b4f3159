#!/usr/bin/python3
"""Reads vexo's Exif output with readers nobody here wrote; prints every difference.

tags PAIRS [--thumbnail]: rows "source<TAB>output". exiftool's tags of the source's IFD0, Exif, GPS
and interoperability directories, and exiv2's (pointers aside), must read the same from the
output; without --thumbnail it has no IFD1, with it a JPEG thumbnail of the size its size asks.
orientation TRIPLES: rows "source<TAB>output<TAB>edit" (r90, r180, r270, mirror, flip joined by
'+'). Pillow's exif_transpose of the output must equal the edit of the source's.
"""
import base64
import io
import json
import subprocess
import sys

from PIL import Image, ImageChops, ImageOps, ImageStat

GROUPS = ('IFD0', 'ExifIFD', 'GPS', 'InteropIFD')
EXIV2_DIRS = ('Exif.Image.', 'Exif.Photo.', 'Exif.GPSInfo.', 'Exif.Iop.')
EXIV2_POINTERS = {'Exif.Image.ExifTag', 'Exif.Image.GPSTag', 'Exif.Photo.InteroperabilityTag'}


def read_pairs(path):
    with open(path, encoding='utf-8') as f:
        return [line.rstrip('\n').split('\t') for line in f if line.strip()]


def exiftool(files, *options):
    out = subprocess.run(['exiftool', '-j', '-G1', '-a', '-n', '-q', '-q', *options, *files],
                         capture_output=True, check=False).stdout
    return {entry['SourceFile']: entry for entry in json.loads(out or b'[]')}


def exiv2(path, clean=False):
    """exiv2's tags of the four directories; with clean, None when it reports damage."""
    run = subprocess.run(['exiv2', '-PEkyv', path], capture_output=True, check=False)
    if clean and run.stderr:
        return None
    out = run.stdout.decode('utf-8', 'replace')
    tags = {}
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0].startswith(EXIV2_DIRS) and parts[0] not in EXIV2_POINTERS:
            tags.setdefault(parts[0], []).append(line.split(None, 2)[1:])
    return tags


def thumbnail_size(width, height):
    scale = min(160 / width, 120 / height, 1.0)
    return max(1, int(width * scale)), max(1, int(height * scale))


def check_tags(pairs, thumbnail):
    files = [f for pair in pairs for f in pair]
    tool = exiftool(files)
    thumbs = exiftool([o for _, o in pairs], '-b', '-ThumbnailImage') if thumbnail else {}
    for source, output in pairs:
        src, out = tool.get(source, {}), tool.get(output, {})
        for key, value in src.items():
            if key.split(':')[0] in GROUPS and out.get(key) != value:
                print(f'{source}: exiftool {key} {value!r:.60} -> {out.get(key)!r:.60}')
        # A source that exiv2 finds damaged is left to exiftool (maker notes, whose offsets the
        # move of the block breaks, may make exiv2 complain about an output).
        src2, out2 = exiv2(source, clean=True), exiv2(output)
        for key, value in (src2 or {}).items():
            if out2.get(key) != value:
                print(f'{source}: exiv2 {key} {value!r:.60} -> {out2.get(key)!r:.60}')
        ifd1 = [k for k in out if k.startswith('IFD1:')]
        if not thumbnail:
            if ifd1:
                print(f'{output}: IFD1 without the thumbnail option: {ifd1[:3]}')
            continue
        data = thumbs.get(output, {}).get('IFD1:ThumbnailImage', '')
        if not data.startswith('base64:'):
            if any(k.startswith('IFD0:') for k in out):
                print(f'{output}: no thumbnail')
            continue
        if out.get('IFD1:Compression', 6) != 6 or 'IFD1:StripOffsets' in out:
            print(f'{output}: IFD1 does not describe a JPEG thumbnail')
        want = thumbnail_size(out['File:ImageWidth'], out['File:ImageHeight'])
        with Image.open(io.BytesIO(base64.b64decode(data[7:]))) as thumb:
            thumb.load()
            if thumb.size != want or thumb.format != 'JPEG':
                print(f'{output}: thumbnail {thumb.format} {thumb.size}, want JPEG {want}')


EDITS = {'r90': Image.Transpose.ROTATE_270, 'r180': Image.Transpose.ROTATE_180,
         'r270': Image.Transpose.ROTATE_90, 'mirror': Image.Transpose.FLIP_LEFT_RIGHT,
         'flip': Image.Transpose.FLIP_TOP_BOTTOM}


def shown(path):
    with Image.open(path) as image:
        return ImageOps.exif_transpose(image).convert('RGB')


def check_orientation(triples):
    for source, output, edit in triples:
        want = shown(source)
        for step in edit.split('+'):
            want = want.transpose(EDITS[step])
        got = shown(output)
        if got.size != want.size:
            print(f'{output} ({edit}): shown as {got.size}, want {want.size}')
            continue
        # Re-encoding costs a few levels; a wrong orientation costs tens.
        mean = sum(ImageStat.Stat(ImageChops.difference(got, want)).mean) / 3
        if mean > 6:
            print(f'{output} ({edit}): mean difference {mean:.1f} from the edited source')


def main():
    if sys.argv[1] == 'tags':
        check_tags(read_pairs(sys.argv[2]), '--thumbnail' in sys.argv[3:])
    elif sys.argv[1] == 'orientation':
        check_orientation(read_pairs(sys.argv[2]))


if __name__ == '__main__':
    main()
