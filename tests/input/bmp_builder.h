// Builds bitmap files for the reader tests from field values, so each malformed case is written
// as "what is wrong" next to the bytes that carry it.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

namespace vexo::test {

struct BmpSpec {
  std::uint32_t headerSize = 40;  // 12 writes a core header
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint16_t planes = 1;
  std::uint16_t bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t sizeImage = 0;
  std::uint32_t colorsUsed = 0;
  // Written after a 40-byte header, or into the mask fields of a larger one.
  std::vector<std::uint32_t> masks;
  std::vector<std::uint8_t> palette;  // raw entries (4 bytes each, 3 for a core header)
  std::vector<std::uint8_t> pixels;
  std::optional<std::uint32_t> fileSize;  // default: the real size
  std::optional<std::uint32_t> offBits;   // default: right after the palette
  std::uint8_t signature[2] = {'B', 'M'};
};

inline void putLe(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline std::vector<std::uint8_t> buildBmp(const BmpSpec& s) {
  std::vector<std::uint8_t> h;  // info header
  putLe(h, s.headerSize, 4);
  if (s.headerSize == 12) {
    putLe(h, static_cast<std::uint16_t>(s.width), 2);
    putLe(h, static_cast<std::uint16_t>(s.height), 2);
    putLe(h, s.planes, 2);
    putLe(h, s.bits, 2);
  } else {
    putLe(h, static_cast<std::uint32_t>(s.width), 4);
    putLe(h, static_cast<std::uint32_t>(s.height), 4);
    putLe(h, s.planes, 2);
    putLe(h, s.bits, 2);
    putLe(h, s.compression, 4);
    putLe(h, s.sizeImage, 4);
    putLe(h, 2835, 4);
    putLe(h, 2835, 4);
    putLe(h, s.colorsUsed, 4);
    putLe(h, 0, 4);
    if (s.headerSize > 40)
      for (auto m : s.masks) putLe(h, m, 4);
    h.resize(s.headerSize, 0);
  }
  std::vector<std::uint8_t> tail = h;
  if (s.headerSize == 40)
    for (auto m : s.masks) putLe(tail, m, 4);
  tail.insert(tail.end(), s.palette.begin(), s.palette.end());
  const std::uint32_t offBits = s.offBits.value_or(static_cast<std::uint32_t>(14 + tail.size()));
  std::vector<std::uint8_t> out = {s.signature[0], s.signature[1]};
  const std::size_t total = 14 + tail.size() + s.pixels.size();
  putLe(out, s.fileSize.value_or(static_cast<std::uint32_t>(total)), 4);
  putLe(out, 0, 4);
  putLe(out, offBits, 4);
  out.insert(out.end(), tail.begin(), tail.end());
  out.insert(out.end(), s.pixels.begin(), s.pixels.end());
  return out;
}

// Palette bytes (B, G, R, 0 per entry; B, G, R for core headers) from 0xRRGGBB values.
inline std::vector<std::uint8_t> paletteBytes(const std::vector<std::uint32_t>& rgb,
                                              int entry = 4) {
  std::vector<std::uint8_t> out;
  for (auto c : rgb) {
    out.insert(out.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
                           static_cast<std::uint8_t>(c >> 16)});
    if (entry == 4) out.push_back(0);
  }
  return out;
}

}  // namespace vexo::test
