// The in-memory image that flows from the readers through the edits to the writers: the Windows
// device-independent bitmap layout (bottom-up rows padded to 4 bytes, 24-bit pixels as blue,
// green, red), 1, 4, 8, 15, 16, 24 or 32 bits per pixel, an optional palette and a transparent
// colour.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error.h"
#include "core/limits.h"
#include "core/pixel_memory.h"

namespace vexo {

struct PaletteEntry {
  std::uint8_t red = 0, green = 0, blue = 0, flags = 0;
  bool operator==(const PaletteEntry&) const = default;
};

// Up to 256 entries; an indexed Bitmap carries one.
using Palette = std::vector<PaletteEntry>;

// A user-interface colour: 0x00BBGGRR for a plain colour, system colours with the top bit set,
// and kColorAuto for "the colour of the image's bottom-left pixel".
using ColorValue = std::uint32_t;
inline constexpr ColorValue kColorAuto = 0x20000000;

// Thrown when an image would pass the memory limit or has an impossible size.
class ImageSizeError : public Error {
 public:
  using Error::Error;
};

class Bitmap {
 public:
  Bitmap() = default;
  // A bitmap of the given size and depth (1, 4, 8, 15, 16, 24 or 32), white for 15 bits and up,
  // index 0 for the indexed depths. Throws ImageSizeError when width or height is below 1 or the
  // pixels would pass limits.maxImageBytes.
  Bitmap(int width, int height, int bits, const DecodeLimits& limits = DecodeLimits::defaults());

  int width() const { return width_; }
  int height() const { return height_; }
  int bits() const { return bits_; }
  bool empty() const { return width_ == 0 || height_ == 0; }
  // Bytes per row, padded to 4.
  std::size_t stride() const { return stride_; }

  // Row y counted from the top; rows are stored bottom-up.
  std::uint8_t* row(int y) {
    return pixels_.data() + static_cast<std::size_t>(height_ - 1 - y) * stride_;
  }
  const std::uint8_t* row(int y) const {
    return pixels_.data() + static_cast<std::size_t>(height_ - 1 - y) * stride_;
  }
  // All rows, bottom row first, as stored in a bitmap file.
  std::uint8_t* data() { return pixels_.data(); }
  const std::uint8_t* data() const { return pixels_.data(); }
  std::size_t dataSize() const { return pixels_.size(); }

  Palette& palette() { return palette_; }
  const Palette& palette() const { return palette_; }

  bool transparent = false;
  ColorValue transparentColor = kColorAuto;

 private:
  int width_ = 0, height_ = 0, bits_ = 0;
  std::size_t stride_ = 0;
  std::vector<std::uint8_t, PixelAllocator<std::uint8_t>> pixels_;
  Palette palette_;
};

// Bytes a width × height image of the given depth needs, or throws ImageSizeError when it would
// pass the limit. Readers call it before they allocate anything sized from a header.
std::uint64_t checkImageSize(std::int64_t width, std::int64_t height, int bits,
                             const DecodeLimits& limits = DecodeLimits::defaults());

// Any depth unpacked to 24 bits (palette entries looked up, 5-bit channels widened as
// (v << 3) | (v >> 2), 6-bit as (v << 2) | (v >> 4), the fourth byte of 32 bits dropped). A
// 24-bit source is copied.
Bitmap ConvertToBitmap24(const Bitmap& source);

}  // namespace vexo
