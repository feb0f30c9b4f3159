// The palettes of the reduction methods and the nearest-colour lookup with its inverse table.
#include <algorithm>
#include <cstdlib>

#include "core/colors.h"
#include "gif/lookup.h"
#include "gif/reduce.h"

namespace vexo {

namespace {

constexpr std::uint8_t kNoCollapse = 0x04;  // palette entry flag, kept but not written

unsigned cellOf(int red, int green, int blue) {
  return unsigned(blue >> 3) << 10 | unsigned(green >> 3) << 5 | unsigned(red >> 3);
}

Palette grayLevels(std::initializer_list<std::uint8_t> levels) {
  Palette palette;
  for (const std::uint8_t y : levels) palette.push_back({y, y, y, kNoCollapse});
  return palette;
}

Palette netscapeCube() {
  Palette palette;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        palette.push_back({static_cast<std::uint8_t>(51 * r), static_cast<std::uint8_t>(51 * g),
                           static_cast<std::uint8_t>(51 * b), 0});
  return palette;
}

// The octree colours of the image, padded with black to entries.
Palette quantised(const Bitmap& image, int maxColors, std::size_t entries) {
  TColorQuantizer quantizer(maxColors, 8);
  quantizer.AddBitmap(image);
  Palette palette = quantizer.ColorTable();
  palette.resize(entries);
  return palette;
}

}  // namespace

Palette ReductionPalette(int method, const Bitmap& image24, const Palette* given, int bits) {
  switch (method) {
    case kReduceWindows20:
      return DefaultPalette();
    case kReduceWindows256:
      return HalftonePalette();
    case kReduceWindowsGray:
      return grayLevels({0, 128, 192, 255});
    case kReduceMonochrome:
      return grayLevels({0, 255});
    case kReduceGrayScale: {
      Palette palette;
      for (int y = 0; y < 256; ++y) {
        const auto level = static_cast<std::uint8_t>(y);
        palette.push_back({level, level, level, kNoCollapse});
      }
      return palette;
    }
    case kReduceNetscape:
      return netscapeCube();
    case kReduceOptimized:
      if (bits < 3 || bits > 8) throw GIFException("Invalid Bits Per Pixel value");
      return quantised(image24, 1 << bits, std::size_t{1} << bits);
    case kReduceOptimizedWindows: {
      const Palette& statics = DefaultPalette();
      Palette palette(statics.begin(), statics.begin() + 10);
      const Palette octree = quantised(image24, 236, 236);
      palette.insert(palette.end(), octree.begin(), octree.end());
      palette.insert(palette.end(), statics.begin() + 10, statics.end());
      return palette;
    }
    case kReduceGiven:
      // An index byte reaches the first 256 entries only.
      if (!given) return {};
      return Palette(given->begin(), given->begin() + std::min<std::ptrdiff_t>(given->size(), 256));
    default:
      return {};
  }
}

TFastColorLookup::TFastColorLookup(const Palette& palette) : cache_(32768, kUnknown) {
  const std::size_t count = std::min<std::size_t>(palette.size(), 256);
  for (std::size_t i = 0; i < count; ++i)
    entries_.push_back(
        {static_cast<std::uint8_t>(i), palette[i].red, palette[i].green, palette[i].blue});
  // Each entry claims the cell of its own colour unless an earlier entry did.
  for (const ColorMatch& entry : entries_) {
    std::uint16_t& cell = cache_[cellOf(entry.red, entry.green, entry.blue)];
    if (cell == kUnknown) cell = entry.index;
  }
  if (entries_.empty()) entries_.push_back({0, 0, 0, 0});  // an empty palette answers black 0
}

std::uint16_t TFastColorLookup::search(int red, int green, int blue) const {
  int best = 196608;
  std::uint16_t index = 0;
  for (const ColorMatch& entry : entries_) {
    const int distance =
        std::abs(red - entry.red) + std::abs(green - entry.green) + std::abs(blue - entry.blue);
    if (distance < best) {
      best = distance;
      index = entry.index;
    }
  }
  return index;
}

}  // namespace vexo
