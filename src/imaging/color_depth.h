// Colour-depth conversion of bitmaps: median-cut palettes with optional Floyd-Steinberg
// diffusion for 8 bits or fewer, repacking for 15, 16, 24 and 32 bits, and monochrome.
#pragma once
#include <cstdint>

#include "core/bitmap.h"

namespace vexo {

enum class PixelFormat { Device, Bits1, Bits4, Bits8, Bits15, Bits16, Bits24, Bits32, Custom };

// 0 or 1 → 1 bit, 2–4 → 4, 5–8 → 8, 15 → 15, 9–14 and 16 → 16 (5-6-5), 32 → 32, else 24.
PixelFormat BitsToPixelFormat(int bits);
// 1, 4, 8, 15, 16, 24, 32; a device bitmap counts as the screen's depth (24), Custom as 0.
int PixelFormatToBits(PixelFormat format);
// The format of a bitmap's depth.
PixelFormat PixelFormatOf(const Bitmap& bitmap);

// The source at another depth. bits 1–8: a median-cut palette of the source (or the given
// palette when usePalette is set and one is given), optional error diffusion (always with a
// given palette), indices packed most significant bits first. Above 8: the pixels repacked with
// no palette. Equal depths: a copy.
// The source is taken by value, so a caller that moves it in gets it back without a copy when
// the depth stays.
Bitmap ChangeBitCount(Bitmap source, int bits, const Palette* palette, bool usePalette,
                      bool errorDiffusion);

// Floyd-Steinberg diffusion in place on a 24-bit image towards the first count entries of the
// palette (rows top to bottom, left to right, 7/16, 3/16, 5/16, 1/16 truncated towards zero,
// each neighbour clamped to 0..255 after adding).
void ErrorDiffuse(Bitmap& image, const Palette& palette, int count);

// A 1-bit bitmap, black index 0 and white index 1: white where (77R + 150G + 29B) >> 8 is 128
// or more.
Bitmap MakeMonochrome(const Bitmap& source);

}  // namespace vexo
