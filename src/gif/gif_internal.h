// What the parts of the GIF codec share beyond gif.h: the image-data encoders and decoder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/byte_reader.h"
#include "gif/gif.h"

namespace vexo::gif {

// An emitted code and the width it was written at, for tests of the code sequence.
struct GifCode {
  std::uint16_t code;
  std::uint8_t width;
  bool operator==(const GifCode&) const = default;
};

// Appends one frame's image data to out: the minimum code size byte (bitSize raised to 2), the
// codes packed least significant bit first and cut into sub-blocks of at most 255 bytes, and the
// block terminator. Pixels are encoded in the order given; an index of colorCount or more raises
// "Color not in color table", as does one at or above 2^max(bitSize, 2); a bitSize outside 0..8
// raises "Invalid Bits Per Pixel value". compression is kGifRLE for RLE, else LZW. trace, when
// given, receives every code emitted.
void WriteImageData(std::span<const std::uint8_t> pixels, int bitSize, int colorCount,
                    int compression, std::vector<std::uint8_t>& out,
                    std::vector<GifCode>* trace = nullptr);

// The RLE encoder's cost of a run of n pixels when at most k codes may follow a clear.
int RleCost(int n, int k);

using WarningSink = std::function<void(std::string_view)>;

// Why one frame's LZW decoding ended.
enum class LzwStop {
  kEndCode,    // the end code was read
  kFull,       // every pixel of the frame was written
  kOutOfBits,  // the codes ran out before either
};
struct LzwResult {
  std::size_t written;  // pixels written from the start of out
  LzwStop stop;
};

// Decodes a frame's image data, its data sub-blocks joined, into out in stream order: codes from
// minCodeSize + 1 up to 12 bits wide, least significant bit first, a clear code of
// 2^minCodeSize and a table of 4096 entries. minCodeSize must be 1..11. Pixels past out are
// dropped; literals above 255 keep their low 8 bits. A code naming a table entry that does not
// exist yet raises "Circular decoder table entry".
LzwResult DecodeLzw(std::span<const std::uint8_t> codes, int minCodeSize,
                    std::span<std::uint8_t> out);

}  // namespace vexo::gif
