// Windows bitmap files: the full reader behind ".bmp" and the writer of bitmap output.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bitmap.h"
#include "core/byte_io.h"
#include "core/graphic.h"

namespace vexo {

// Why a bitmap file was refused or could not be written; BmpErrorText gives the message.
enum class BmpErrc {
  kNotBitmap,
  kTruncated,
  kHeaderSize,
  kBitCount,
  kCompression,
  kDimensions,
  kPlanes,
  kOffset,
  kPalette,
  kPaletteIndex,
  kMasks,
  kRleTopDown,
  kRleOutside,
  kNothingToSave,
  kTooLarge,
};
inline constexpr int kBmpErrcCount = static_cast<int>(BmpErrc::kTooLarge) + 1;

std::string_view BmpErrorText(BmpErrc code);

class BmpError : public Error {
 public:
  using Error::Error;
  explicit BmpError(BmpErrc code) : Error(std::string(BmpErrorText(code))), code_(code) {}
  BmpErrc code() const { return code_; }

 private:
  BmpErrc code_ = BmpErrc::kNotBitmap;
};

// Decodes a bitmap file (core, info, V4 and V5 headers; 1/4/8-bit palettes, RLE4/RLE8, 16/32-bit
// bit fields, 24-bit, top-down rows) into a 24-bit Bitmap. Throws BmpError or ImageSizeError.
Bitmap ReadBmp(std::span<const std::uint8_t> data, const DecodeLimits& limits);

// Encodes a Bitmap of any depth as a bitmap file: 40-byte info header, palette for 8 bits or
// fewer, bottom-up rows; 16 bits as bit fields 5-6-5, 15 bits as plain 5-5-5.
std::vector<std::uint8_t> EncodeBmp(const Bitmap& bitmap);
// The same file written to out without a copy of the rows.
void WriteBmp(const Bitmap& bitmap, AtomicFile& out);

class BmpImage : public Graphic {
 public:
  void loadFromMemory(std::span<const std::uint8_t> data) override;
  std::vector<std::uint8_t> saveToMemory() const override { return EncodeBmp(bitmap_); }
  int width() const override { return bitmap_.width(); }
  int height() const override { return bitmap_.height(); }
  void draw(Bitmap& target, int x, int y) const override { drawBitmap24(bitmap_, target, x, y); }
  void assign(const Bitmap& bitmap) override { bitmap_ = bitmap; }
  std::optional<Bitmap> releaseBitmap24() override { return std::exchange(bitmap_, Bitmap()); }
  const Bitmap& bitmap() const { return bitmap_; }

 private:
  Bitmap bitmap_;
};

}  // namespace vexo
