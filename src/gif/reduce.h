// Colour reduction for the GIF writer: the palettes of the reduction methods, the octree
// quantiser and the reduction pass, which maps every pixel of a true-colour image to a palette
// index by nearest colour or through one of six error-diffusion engines.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "core/bitmap.h"
#include "core/error.h"

namespace vexo {

// The GIF codec's exception: colour reduction, writer and reader raise it with their fixed texts.
class GIFException : public Error {
 public:
  using Error::Error;
};

// Reduction methods, the writer's PaletteMethod.
enum ReductionMethod : int {
  kReduceNone = 0,              // kept at 24 bits, the table built from the pixels
  kReduceWindows20 = 1,         // the stock 20-colour palette
  kReduceWindows256 = 2,        // the halftone palette
  kReduceWindowsGray = 3,       // 0, 128, 192, 255
  kReduceMonochrome = 4,        // black, white
  kReduceGrayScale = 5,         // 256 grey levels
  kReduceNetscape = 6,          // the 6 × 6 × 6 web cube
  kReduceOptimized = 7,         // octree, 2^bits colours
  kReduceOptimizedWindows = 8,  // octree, 236 colours framed by the 20 static colours
  kReduceGiven = 9,             // a palette supplied by the caller
};

// Dithering engines, the writer's DitherMethod.
enum DitherMode : int {
  kDitherNearest = 0,
  kDitherFloydSteinberg = 1,
  kDitherStucki = 2,
  kDitherSierra = 3,
  kDitherJaJuNi = 4,
  kDitherSteveArche = 5,
  kDitherBurkes = 6,
};

// The palette of a reduction method 1..9 for a 24-bit image (methods 7 and 8 quantise it; 9
// copies the first 256 entries of given, none without it). Any other method gives an empty
// palette. bits outside 3..8 for method 7 raise "Invalid Bits Per Pixel value".
Palette ReductionPalette(int method, const Bitmap& image24, const Palette* given = nullptr,
                         int bits = 8);

// Reduces a bitmap: an 8-bit bitmap of the same size with the method's palette and one index
// per pixel, filled row by row in serpentine order through the engine; for method 0 a 24-bit
// copy. A source of another depth is converted to 24 bits first. An unknown method or engine,
// or method 9 without palette entries, gives an empty bitmap; bits outside 3..8 for method 7
// raise "Invalid Bits Per Pixel value", an empty source "Invalid image dimensions".
Bitmap ReduceToPalette(const Bitmap& bitmap, int method, int engine, const Palette* given = nullptr,
                       int bits = 8);

// The octree quantiser: colours are added one at a time and the tree is reduced, deepest
// reducible level first, whenever it holds more leaves than the maximum.
class TColorQuantizer {
 public:
  // colorBits above 8 raise "ColorBits must be 8 or less".
  TColorQuantizer(int maxColors, int colorBits);
  ~TColorQuantizer();
  TColorQuantizer(const TColorQuantizer&) = delete;
  TColorQuantizer& operator=(const TColorQuantizer&) = delete;

  void AddColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
  // Every pixel of a 24-bit bitmap, rows from the top, left to right.
  void AddBitmap(const Bitmap& image24);
  int LeafCount() const;
  // One entry a leaf, depth first with children in index order; black for a leaf without pixels.
  Palette ColorTable() const;

 private:
  struct Tree;
  std::unique_ptr<Tree> tree_;
};

}  // namespace vexo
