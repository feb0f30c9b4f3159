#include "input/dib_common.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "core/checked.h"

namespace vexo::dibcodec {

namespace {

[[noreturn]] void fail(Fault f) {
  throw DecodeFault{f};
}

// One colour channel of a bit-field pixel: ((pixel AND mask) >> lowest set bit) × 255 /
// (mask >> same shift). Channels up to 16 bits wide go through a table built once.
class Channel {
 public:
  explicit Channel(std::uint32_t mask) : mask_(mask) {
    if (mask == 0) return;
    shift_ = std::countr_zero(mask);
    max_ = mask >> shift_;
    if (max_ <= 0xFFFF) {
      lut_.resize(max_ + 1);
      for (std::uint32_t v = 0; v <= max_; ++v) lut_[v] = scale(v);
    }
  }

  std::uint8_t operator()(std::uint32_t pixel) const {
    if (mask_ == 0) return 0;
    const std::uint32_t v = (pixel & mask_) >> shift_;  // v <= max_, so always inside lut_
    return lut_.empty() ? scale(v) : lut_[v];
  }

 private:
  std::uint8_t scale(std::uint32_t v) const {
    return static_cast<std::uint8_t>(std::uint64_t{v} * 255 / max_);
  }

  std::uint32_t mask_;
  int shift_ = 0;
  std::uint32_t max_ = 0;
  std::vector<std::uint8_t> lut_;
};

// Expands one row of 1, 2, 4 or 8-bit indexes into B,G,R bytes.
void indexedRow(const PixelLayout& layout, const std::uint8_t* src, std::uint8_t* dst) {
  const int bits = layout.bits;
  const unsigned valueMask = (1u << bits) - 1;
  const int perByte = 8 / bits;
  for (int x = 0; x < layout.width; ++x) {
    const int shift = 8 - bits * (x % perByte + 1);
    const unsigned index = (src[x / perByte] >> shift) & valueMask;
    if (static_cast<int>(index) >= layout.paletteCount) fail(Fault::kPaletteIndex);
    std::memcpy(dst + 3 * x, &layout.palette[3 * index], 3);
  }
}

template <int kBytes>
void bitFieldRows(const PixelLayout& layout, std::span<const std::uint8_t> pixels,
                  std::size_t srcStride, Bitmap& out) {
  const Channel red(layout.masks[0]), green(layout.masks[1]), blue(layout.masks[2]);
  for (int r = 0; r < layout.height; ++r) {
    const std::uint8_t* src = pixels.data() + static_cast<std::size_t>(r) * srcStride;
    std::uint8_t* dst = layout.topDown ? out.row(r) : out.row(layout.height - 1 - r);
    for (int x = 0; x < layout.width; ++x, src += kBytes, dst += 3) {
      std::uint32_t px = src[0] | std::uint32_t{src[1]} << 8;
      if constexpr (kBytes == 4) px |= std::uint32_t{src[2]} << 16 | std::uint32_t{src[3]} << 24;
      dst[0] = blue(px);
      dst[1] = green(px);
      dst[2] = red(px);
    }
  }
}

void plainRows(const PixelLayout& layout, std::span<const std::uint8_t> pixels,
               std::size_t srcStride, Bitmap& out) {
  if (layout.bits == 16) return bitFieldRows<2>(layout, pixels, srcStride, out);
  if (layout.bits == 32 && layout.masks != kDefaultMasks32)
    return bitFieldRows<4>(layout, pixels, srcStride, out);
  for (int r = 0; r < layout.height; ++r) {
    const std::uint8_t* src = pixels.data() + static_cast<std::size_t>(r) * srcStride;
    std::uint8_t* dst = layout.topDown ? out.row(r) : out.row(layout.height - 1 - r);
    if (layout.bits == 24) {
      std::memcpy(dst, src, static_cast<std::size_t>(layout.width) * 3);
    } else if (layout.bits == 32) {  // B,G,R,unused: the common case without arithmetic
      for (int x = 0; x < layout.width; ++x, src += 4, dst += 3) std::memcpy(dst, src, 3);
    } else {
      indexedRow(layout, src, dst);
    }
  }
}

// RLE8/RLE4 (rows from the bottom). Every unit consumes at least two bytes, so the loop ends
// with the data. A run, literal or delta that reaches outside the image means the stream does
// not fit its header: the file is refused rather than drawn in part.
void rleRows(const PixelLayout& layout, std::span<const std::uint8_t> stream, Bitmap& out) {
  const bool rle4 = layout.encoding == Encoding::kRle4;
  const std::int64_t width = layout.width, height = layout.height;
  const std::size_t n = stream.size();
  const std::uint8_t* s = stream.data();

  // Pixels the stream never sets keep index 0.
  if (layout.paletteCount > 0) {
    for (int y = 0; y < layout.height; ++y) {
      std::uint8_t* row = out.row(y);
      for (int x = 0; x < layout.width; ++x) std::memcpy(row + 3 * x, &layout.palette[0], 3);
    }
  } else {
    std::memset(out.data(), 0, out.dataSize());
  }

  std::int64_t x = 0, y = 0;  // y counts from the bottom row
  auto put = [&](std::int64_t px, unsigned index) {
    if (index >= static_cast<unsigned>(layout.paletteCount)) fail(Fault::kPaletteIndex);
    std::uint8_t* row = out.data() + static_cast<std::size_t>(y) * out.stride();
    std::memcpy(row + 3 * px, &layout.palette[3 * index], 3);
  };

  std::size_t i = 0;
  while (y < height) {
    if (n - i < 2) fail(Fault::kTruncated);
    const unsigned count = s[i], value = s[i + 1];
    i += 2;
    if (count > 0) {  // encoded run
      if (count > width - x) fail(Fault::kRleOutside);
      for (std::int64_t k = 0; k < count; ++k) {
        const unsigned index = !rle4 ? value : (k & 1) ? (value & 0x0F) : (value >> 4);
        put(x + k, index);
      }
      x += count;
    } else if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of bitmap
      break;
    } else if (value == 2) {  // delta
      if (n - i < 2) fail(Fault::kTruncated);
      x += s[i];
      y += s[i + 1];
      i += 2;
      // A delta may end exactly past the last row (nothing more is drawn), not further.
      if (x > width || y > height || (y == height && x > 0)) fail(Fault::kRleOutside);
    } else {  // absolute run of `value` literal pixels, padded to a 16-bit boundary
      const std::size_t bytes = rle4 ? (value + 1) / 2 : value;
      if (n - i < bytes) fail(Fault::kTruncated);
      if (value > width - x) fail(Fault::kRleOutside);
      for (std::int64_t k = 0; k < value; ++k) {
        const std::uint8_t b = s[i + (rle4 ? k / 2 : k)];
        put(x + k, !rle4 ? b : (k & 1) ? (b & 0x0F) : (b >> 4));
      }
      x += value;
      i += std::min(bytes + (bytes & 1), n - i);
    }
  }
}

}  // namespace

void setPalette(PixelLayout& layout, std::span<const std::uint8_t> bytes, int entrySize) {
  const std::size_t count = std::min<std::size_t>(bytes.size() / entrySize, 256);
  layout.palette.fill(0);
  for (std::size_t e = 0; e < count; ++e)
    std::memcpy(&layout.palette[3 * e], &bytes[e * entrySize], 3);
  layout.paletteCount = static_cast<int>(count);
}

bool isContiguousMask(std::uint32_t mask) {
  if (mask == 0) return false;
  const std::uint32_t shifted = mask >> std::countr_zero(mask);
  return (shifted & (shifted + 1)) == 0;  // all ones up to the top bit (0xFFFFFFFF wraps to 0)
}

Bitmap decodePixels(const PixelLayout& layout, std::span<const std::uint8_t> pixels,
                    const DecodeLimits& limits) {
  checkImageSize(layout.width, layout.height, 24, limits);
  std::size_t srcStride = 0;
  if (layout.encoding == Encoding::kPlain) {
    // Width and height passed the limit check, so these products cannot overflow; the data
    // must hold every row before anything is allocated.
    srcStride = static_cast<std::size_t>(
        *dibStride(static_cast<std::uint64_t>(layout.width), static_cast<unsigned>(layout.bits)));
    const auto need = checkedMul(srcStride, static_cast<std::uint64_t>(layout.height));
    if (!need || *need > pixels.size()) fail(Fault::kTruncated);
  }
  Bitmap out(layout.width, layout.height, 24, limits);
  if (layout.encoding == Encoding::kPlain)
    plainRows(layout, pixels, srcStride, out);
  else
    rleRows(layout, pixels, out);
  return out;
}

}  // namespace vexo::dibcodec
