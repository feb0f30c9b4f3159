#include "core/bitmap.h"

#include <cstring>

#include "core/checked.h"

namespace vexo {

DecodeLimits& DecodeLimits::defaults() {
  static DecodeLimits limits;
  return limits;
}

std::uint64_t checkImageSize(std::int64_t width, std::int64_t height, int bits,
                             const DecodeLimits& limits) {
  if (width < 1 || height < 1) throw ImageSizeError("image has no pixels");
  switch (bits) {
    case 1:
    case 4:
    case 8:
    case 15:
    case 16:
    case 24:
    case 32:
      break;
    default:
      throw ImageSizeError("unsupported pixel depth");
  }
  auto stride = dibStride(static_cast<std::uint64_t>(width), bits == 15 ? 16 : bits);
  auto total = stride ? checkedMul(*stride, static_cast<std::uint64_t>(height)) : std::nullopt;
  if (!total || *total > limits.maxImageBytes || width > INT32_MAX || height > INT32_MAX)
    throw ImageSizeError("image is larger than the memory limit");
  return *total;
}

Bitmap::Bitmap(int width, int height, int bits, const DecodeLimits& limits) {
  const auto total = checkImageSize(width, height, bits, limits);
  width_ = width;
  height_ = height;
  bits_ = bits;
  stride_ = static_cast<std::size_t>(total / static_cast<std::uint64_t>(height));
  pixels_.assign(static_cast<std::size_t>(total), bits >= 15 ? 0xFF : 0x00);
  if (bits == 15) {  // 5-5-5 white leaves the top bit clear
    for (int y = 0; y < height; ++y) {
      auto* p = row(y);
      for (int x = 0; x < width; ++x) p[2 * x + 1] = 0x7F;
    }
  }
}

}  // namespace vexo
