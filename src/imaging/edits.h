// Geometric edits of a bitmap: the area-integrating resize and the exact pixel-copying
// transforms (mirror, flip, quarter turns). Each returns a new bitmap and leaves the source as
// it is.
#pragma once
#include <cstdint>

#include "core/bitmap.h"

namespace vexo {

// Thrown when an edit is asked of a bitmap it cannot work on (no pixels, unknown depth).
class EditError : public Error {
 public:
  using Error::Error;
};

// A 24-bit bitmap of exactly width × height (both at least 1) whose every pixel is the mean of
// the source's bilinear surface over the pixel's footprint, divided by the nominal area and
// rounded to nearest, ties to even. The source may have any depth; it needs at least one pixel.
Bitmap ResizeBitmap(const Bitmap& source, int width, int height);

// The destination point (x, y) takes the source pixel at
//   (xx * x + xy * y + x0, yx * x + yy * y + y0).
// Every edit below is such an integer mapping, so the copy loop steps through rows without a
// call per pixel.
struct PixelMapping {
  int xx = 1, xy = 0, x0 = 0;
  int yx = 0, yy = 1, y0 = 0;
};

// A bitmap of the source's depth and palette and the given size, each pixel copied in the
// storage width of the depth (1, 4, 8, 16 for 15 and 16, 24, 32) from the source point the
// mapping names. A point outside the source gets fill: its low 1, 4, 8 or 16 bits for those
// widths, its three colour bytes (0x00RRGGBB as blue, green, red) for 24 bits, all of it for 32.
Bitmap TransformBitmap(const Bitmap& source, int width, int height, const PixelMapping& mapping,
                       std::uint32_t fill);

// Left to right: (x, y) takes (W - 1 - x, y).
Bitmap MirrorBitmap(const Bitmap& source);
// Top to bottom: (x, y) takes (x, H - 1 - y).
Bitmap FlipBitmap(const Bitmap& source);
// Mode 0 a quarter turn clockwise, 1 a half turn, 2 a quarter turn anticlockwise. Any other
// mode returns a copy.
Bitmap RotateBitmap(const Bitmap& source, int mode);

}  // namespace vexo
