// The reduction pass: the method's palette and lookup, the engine, and every row of the image
// mapped in serpentine order into an 8-bit bitmap. The lookup and the engine are picked once per
// image, so the pixel loop is compiled for each pair.
#include <optional>
#include <utility>

#include "gif/dither.h"
#include "gif/lookup.h"
#include "gif/reduce.h"

namespace vexo {

namespace {

template <class Engine, class Lookup>
void mapImage(Lookup& lookup, const Bitmap& source, Bitmap& result) {
  Engine engine(source.width(), lookup);
  for (int y = 0; y < source.height(); ++y) {
    engine.MapRow(source.row(y), result.row(y));
    engine.EndRow();
  }
}

template <class Lookup>
void mapImage(int engine, Lookup& lookup, const Bitmap& source, Bitmap& result) {
  switch (engine) {
    case kDitherNearest:
      return mapImage<TDitherEngine<Lookup>>(lookup, source, result);
    case kDitherFloydSteinberg:
      return mapImage<TFloydSteinbergDitherer<Lookup>>(lookup, source, result);
    case kDitherStucki:
      return mapImage<TStuckiDitherer<Lookup>>(lookup, source, result);
    case kDitherSierra:
      return mapImage<TSierraDitherer<Lookup>>(lookup, source, result);
    case kDitherJaJuNi:
      return mapImage<TJaJuNiDitherer<Lookup>>(lookup, source, result);
    case kDitherSteveArche:
      return mapImage<TSteveArcheDitherer<Lookup>>(lookup, source, result);
    case kDitherBurkes:
      return mapImage<TBurkesDitherer<Lookup>>(lookup, source, result);
  }
}

}  // namespace

Bitmap ReduceToPalette(const Bitmap& bitmap, int method, int engine, const Palette* given,
                       int bits) {
  if (method == kReduceNone) return bitmap.empty() ? Bitmap() : ConvertToBitmap24(bitmap);
  if (method < kReduceWindows20 || method > kReduceGiven) return {};
  if (method == kReduceOptimized && (bits < 3 || bits > 8))
    throw GIFException("Invalid Bits Per Pixel value");
  if (engine < kDitherNearest || engine > kDitherBurkes) return {};
  if (bitmap.empty()) throw GIFException("Invalid image dimensions");

  std::optional<Bitmap> converted;
  const Bitmap& source =
      bitmap.bits() == 24 ? bitmap : converted.emplace(ConvertToBitmap24(bitmap));
  Palette palette = ReductionPalette(method, source, given, bits);
  if (palette.empty()) return {};

  Bitmap result(source.width(), source.height(), 8);
  switch (method) {
    case kReduceMonochrome: {
      TMonochromeLookup lookup;
      mapImage(engine, lookup, source, result);
      break;
    }
    case kReduceGrayScale: {
      TGrayScaleLookup lookup;
      mapImage(engine, lookup, source, result);
      break;
    }
    case kReduceNetscape: {
      TNetscapeColorLookup lookup;
      mapImage(engine, lookup, source, result);
      break;
    }
    default: {
      TFastColorLookup lookup(palette);
      mapImage(engine, lookup, source, result);
      break;
    }
  }
  result.palette() = std::move(palette);
  return result;
}

}  // namespace vexo
