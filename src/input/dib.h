// TDibImage: the ".dib" reader, a stricter bitmap-file reader of its own (40-byte info header or
// 12-byte core header only).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/graphic.h"
#include "input/bmp.h"

namespace vexo {

// Why TDibImage refused a file; DibErrorText gives the message.
enum class DibErrc {
  kNotBitmap,      // no "BM" file header
  kInvalidBitmap,  // header size, dimensions, bit count, compression, masks or layout
  kTruncated,      // pixel data shorter than the rows (by the data or by the file-size field)
  kPaletteIndex,   // a pixel names an entry past the palette
  kRleOutside,     // run-length data reaches outside the image
};
inline constexpr int kDibErrcCount = static_cast<int>(DibErrc::kRleOutside) + 1;

std::string_view DibErrorText(DibErrc code);

class DibError : public Error {
 public:
  explicit DibError(DibErrc code) : Error(std::string(DibErrorText(code))), code_(code) {}
  DibErrc code() const { return code_; }

 private:
  DibErrc code_;
};

// Decodes a ".dib" file into a 24-bit Bitmap. Throws DibError or ImageSizeError.
Bitmap ReadDib(std::span<const std::uint8_t> data, const DecodeLimits& limits);

class TDibImage : public Graphic {
 public:
  void loadFromMemory(std::span<const std::uint8_t> data) override;
  int width() const override { return bitmap_.width(); }
  int height() const override { return bitmap_.height(); }
  void draw(Bitmap& target, int x, int y) const override { drawBitmap24(bitmap_, target, x, y); }
  std::optional<Bitmap> releaseBitmap24() override { return std::exchange(bitmap_, Bitmap()); }
  const Bitmap& bitmap() const { return bitmap_; }

 private:
  Bitmap bitmap_;
};

}  // namespace vexo
