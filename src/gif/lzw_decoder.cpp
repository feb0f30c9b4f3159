// The GIF LZW decoder. The string table holds, for every code, its prefix code, its last and
// first pixel and its length, so a code's string is written straight into the output from its
// last pixel back to its first, with no stack and no allocation per code. Each entry's prefix
// is a smaller code, so the walk along a string always ends.
#include <array>

#include "gif/gif_internal.h"

namespace vexo::gif {

namespace {

constexpr unsigned kTableSize = 4096;
constexpr unsigned kMaxCodeWidth = 12;

struct StringTable {
  std::array<std::uint16_t, kTableSize> prefix;
  std::array<std::uint16_t, kTableSize> length;
  std::array<std::uint8_t, kTableSize> last;
  std::array<std::uint8_t, kTableSize> first;
};

// Writes the string of code (length pixels) at out[pos], dropping what falls at or past end.
inline void writeString(const StringTable& t, unsigned code, std::size_t length, std::uint8_t* out,
                        std::size_t pos, std::size_t end) {
  std::size_t i = length;
  // The tail past the end of the frame is walked but not written.
  while (pos + i > end) {
    --i;
    code = t.prefix[code];
  }
  std::uint8_t* p = out + pos;
  while (i > 0) {
    p[--i] = t.last[code];
    code = t.prefix[code];
  }
}

}  // namespace

LzwResult DecodeLzw(std::span<const std::uint8_t> codes, int minCodeSize,
                    std::span<std::uint8_t> out) {
  if (minCodeSize < 1 || minCodeSize > 11) throw GIFException("Invalid GIF data");
  StringTable t;
  const unsigned clear = 1u << minCodeSize;
  const unsigned endCode = clear + 1;
  for (unsigned c = 0; c < clear; ++c) {
    t.prefix[c] = 0;
    t.length[c] = 1;
    t.last[c] = t.first[c] = static_cast<std::uint8_t>(c);
  }

  const std::uint8_t* in = codes.data();
  const std::size_t inSize = codes.size();
  std::size_t inPos = 0;
  std::uint64_t bits = 0;  // unread bits, the next code in the lowest ones
  unsigned bitCount = 0;

  std::uint8_t* const dst = out.data();
  const std::size_t total = out.size();
  std::size_t pos = 0;

  unsigned width = static_cast<unsigned>(minCodeSize) + 1;
  unsigned next = clear + 2;
  int prev = -1;  // the previous code, -1 right after a clear

  for (;;) {
    if (pos >= total) return {total, LzwStop::kFull};
    if (bitCount < width) {
      while (bitCount <= 56 && inPos < inSize) {
        bits |= std::uint64_t{in[inPos++]} << bitCount;
        bitCount += 8;
      }
      if (bitCount < width) return {pos, LzwStop::kOutOfBits};
    }
    const auto code = static_cast<unsigned>(bits & ((1u << width) - 1));
    bits >>= width;
    bitCount -= width;

    if (code == clear) {
      width = static_cast<unsigned>(minCodeSize) + 1;
      next = clear + 2;
      prev = -1;
      continue;
    }
    if (code == endCode) return {pos, LzwStop::kEndCode};
    if (prev < 0) {
      if (code > clear) throw GIFException("Circular decoder table entry");
      dst[pos++] = t.last[code];
      prev = static_cast<int>(code);
      continue;
    }

    const auto p = static_cast<unsigned>(prev);
    std::size_t length;
    std::uint8_t head;  // the first pixel of this code's string
    if (code < next) {
      length = t.length[code];
      head = t.first[code];
      if (pos + length <= total) {
        std::uint8_t* o = dst + pos;
        unsigned c = code;
        for (std::size_t i = length; i > 1;) {
          o[--i] = t.last[c];
          c = t.prefix[c];
        }
        o[0] = head;
      } else {
        writeString(t, code, length, dst, pos, total);
      }
    } else if (code == next) {
      // The string of the previous code followed by its own first pixel.
      length = std::size_t{t.length[p]} + 1;
      head = t.first[p];
      writeString(t, p, length - 1, dst, pos, total);
      if (pos + length <= total) dst[pos + length - 1] = head;
    } else {
      throw GIFException("Circular decoder table entry");
    }
    pos += length;

    if (next < kTableSize) {
      t.prefix[next] = static_cast<std::uint16_t>(p);
      t.length[next] = static_cast<std::uint16_t>(t.length[p] + 1);
      t.last[next] = head;
      t.first[next] = t.first[p];
      ++next;
      // (With a minimum code size of 1 the first entry made is already past 2 bits.)
      if (next >= (1u << width) && width < kMaxCodeWidth) ++width;
    }
    prev = static_cast<int>(code);
  }
}

}  // namespace vexo::gif
