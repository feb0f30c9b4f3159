// Pixel decoding shared by the two bitmap-file readers (ReadBmp and TDibImage): palette
// expansion, 24-bit copy, 16/32-bit bit fields and RLE4/RLE8, always into a 24-bit Bitmap.
// Each reader parses and checks its own headers, fills a PixelLayout and calls decodePixels;
// faults found in the pixel data come back as DecodeFault, which the reader turns into its own
// exception.
#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "core/bitmap.h"

namespace vexo::dibcodec {

enum class Fault {
  kTruncated,     // fewer bytes than the rows need, or a run-length stream cut short
  kPaletteIndex,  // a pixel names an entry past the palette
  kRleOutside,    // a run-length run, literal or delta reaches outside the image
};

// Thrown by decodePixels; never leaves the reader that called it.
struct DecodeFault {
  Fault fault;
};

// The reader's own error code for a fault; Errc has kTruncated, kPaletteIndex and kRleOutside.
template <class Errc>
Errc codeFor(Fault fault) {
  switch (fault) {
    case Fault::kPaletteIndex:
      return Errc::kPaletteIndex;
    case Fault::kRleOutside:
      return Errc::kRleOutside;
    case Fault::kTruncated:
      break;
  }
  return Errc::kTruncated;
}

enum class Encoding { kPlain, kRle8, kRle4 };

struct PixelLayout {
  int width = 0;
  int height = 0;  // number of rows, always positive
  bool topDown = false;
  int bits = 0;  // 1, 2, 4, 8 (indexed), 16, 24 or 32
  Encoding encoding = Encoding::kPlain;
  // Blue, green, red of each entry; entries from paletteCount on stay black.
  std::array<std::uint8_t, 256 * 3> palette{};
  int paletteCount = 0;
  // Red, green and blue masks of 16- and 32-bit pixels; a zero mask yields 0 for that channel.
  std::array<std::uint32_t, 3> masks{};
};

inline constexpr std::array<std::uint32_t, 3> kDefaultMasks16 = {0x7C00, 0x03E0, 0x001F};
inline constexpr std::array<std::uint32_t, 3> kDefaultMasks32 = {0xFF0000, 0xFF00, 0xFF};

// Stores palette entries of entrySize bytes (3: B,G,R; 4: B,G,R,reserved) from the front of
// bytes, keeping at most the first 256.
void setPalette(PixelLayout& layout, std::span<const std::uint8_t> bytes, int entrySize);

// One run of set bits (and not zero).
bool isContiguousMask(std::uint32_t mask);

// Decodes pixels into a new 24-bit Bitmap. The image size is checked against limits before
// anything is allocated, and plain rows against the data before they are read. Throws
// DecodeFault or ImageSizeError.
Bitmap decodePixels(const PixelLayout& layout, std::span<const std::uint8_t> pixels,
                    const DecodeLimits& limits);

}  // namespace vexo::dibcodec
