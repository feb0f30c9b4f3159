#include <cstring>

#include "core/bitmap.h"

namespace vexo {

namespace {

inline std::uint8_t widen5(unsigned v) {
  return static_cast<std::uint8_t>(v << 3 | v >> 2);
}
inline std::uint8_t widen6(unsigned v) {
  return static_cast<std::uint8_t>(v << 2 | v >> 4);
}

// Indexed rows: each index looked up in a 256-entry table, black past the palette's end.
void unpackIndexed(const Bitmap& source, Bitmap& target) {
  std::uint8_t table[256][3] = {};
  const auto& palette = source.palette();
  for (std::size_t i = 0; i < palette.size() && i < 256; ++i) {
    table[i][0] = palette[i].blue;
    table[i][1] = palette[i].green;
    table[i][2] = palette[i].red;
  }
  const int bits = source.bits();
  const int perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  for (int y = 0; y < source.height(); ++y) {
    const std::uint8_t* in = source.row(y);
    std::uint8_t* out = target.row(y);
    for (int x = 0; x < source.width(); ++x, out += 3) {
      const int shift = 8 - bits * (x % perByte + 1);
      const unsigned index = static_cast<unsigned>(in[x / perByte] >> shift) & mask;
      std::memcpy(out, table[index], 3);
    }
  }
}

}  // namespace

Bitmap ConvertToBitmap24(const Bitmap& source) {
  if (source.empty()) throw ImageSizeError("image has no pixels");
  if (source.bits() == 24) return source;
  Bitmap target(source.width(), source.height(), 24);
  switch (source.bits()) {
    case 1:
    case 4:
    case 8:
      unpackIndexed(source, target);
      break;
    case 15:
    case 16:
      for (int y = 0; y < source.height(); ++y) {
        const std::uint8_t* in = source.row(y);
        std::uint8_t* out = target.row(y);
        for (int x = 0; x < source.width(); ++x, in += 2, out += 3) {
          const unsigned v = in[0] | static_cast<unsigned>(in[1]) << 8;
          if (source.bits() == 15) {
            out[0] = widen5(v & 31);
            out[1] = widen5(v >> 5 & 31);
            out[2] = widen5(v >> 10 & 31);
          } else {
            out[0] = widen5(v & 31);
            out[1] = widen6(v >> 5 & 63);
            out[2] = widen5(v >> 11 & 31);
          }
        }
      }
      break;
    case 32:
      for (int y = 0; y < source.height(); ++y) {
        const std::uint8_t* in = source.row(y);
        std::uint8_t* out = target.row(y);
        for (int x = 0; x < source.width(); ++x, in += 4, out += 3) std::memcpy(out, in, 3);
      }
      break;
    default:
      throw ImageSizeError("unsupported pixel depth");
  }
  return target;
}

}  // namespace vexo
