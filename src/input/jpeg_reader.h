// JPEG through libjpeg: the input reader (baseline, progressive, grayscale, CMYK and YCCK) and
// the compressor of Exif thumbnails.
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bitmap.h"
#include "core/graphic.h"

namespace vexo {

class JpegReadError : public Error {
 public:
  using Error::Error;
};

// Decodes a JPEG stream to a 24-bit Bitmap; libjpeg's errors become JpegReadError, and a frame
// whose pixels would pass the limit is refused (ImageSizeError) before decoding. libjpeg's own
// working memory is bounded by the same limit, and a stream with more corrupt-data warnings or
// scans than the limits allow fails. Corrupt-data warnings are tolerated (a truncated
// stream decodes with its missing part grey, as libjpeg pads it) and passed to onWarning: the
// first one's text, with the count of the others. With scaleDenom 2, 4 or 8 libjpeg's DCT scaling
// decodes at that fraction of the size (each side rounded up).
Bitmap DecodeJpegWithLibjpeg(std::span<const std::uint8_t> data, const DecodeLimits& limits,
                             unsigned scaleDenom = 1,
                             const std::function<void(std::string_view)>& onWarning = {});

// A baseline JPEG of a 24-bit bitmap through libjpeg at the quality (1 to 100), with libjpeg's
// default tables and 2 × 2 chroma sampling, without a JFIF segment.
std::vector<std::uint8_t> CompressWithLibjpeg(const Bitmap& bitmap, int quality);

class JpegFileImage : public Graphic {
 public:
  void loadFromMemory(std::span<const std::uint8_t> data) override {
    bitmap_ = DecodeJpegWithLibjpeg(data, limits(), 1, OnWarning);
  }
  int width() const override { return bitmap_.width(); }
  int height() const override { return bitmap_.height(); }
  void draw(Bitmap& target, int x, int y) const override { drawBitmap24(bitmap_, target, x, y); }
  std::optional<Bitmap> releaseBitmap24() override { return std::exchange(bitmap_, Bitmap()); }

 private:
  Bitmap bitmap_;
};

}  // namespace vexo
