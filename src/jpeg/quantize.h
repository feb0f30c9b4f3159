// Quantisation of the encoder: value = (F + Q div 2) div Q, truncating toward zero, for each
// coefficient of a transformed block, with the size category and low bits that the entropy
// coder writes. The portable forms are here; quantize_avx2.h and quantize_avx512.h hold the
// vector forms, which give the same values. All are inline: the coding loop of each level
// (entropy_encode_*.cpp) takes them in.
#pragma once
#include <array>
#include <bit>
#include <cstdint>

#include "jpeg/dct.h"
#include "jpeg/jpeg_ex.h"
#include "jpeg/simd.h"

namespace vexo::jpeg {

// value = (F + Q div 2) div Q truncating toward zero, for the coefficients in natural order. For
// |F + Q div 2| below 2048 the quotient of the magnitude is (magnitude × recip) >> 19 with
// recip = 2^19 div Q + 1: with recip × Q = 2^19 + e, 0 < e <= Q, the error term
// magnitude × e / (Q × 2^19) stays below 1 / Q for Q up to 255, so the product never crosses the
// next multiple. Coefficients of 8-bit samples stay within ±1024; the division is a guard.
struct Quantizer {
  alignas(64) std::array<std::int32_t, 64> half{};  // by natural position
  alignas(64) std::array<std::uint32_t, 64> recip{};
  std::array<std::int32_t, 64> step{};
  bool fast = true;  // every step within 1..255
};

Quantizer makeQuantizer(const TJpegEx::QuantTable& table);
// The exact division, for the rare coefficients outside the range of the fast one.
void quantizeSlow(const Quantizer& q, const std::int32_t* coef, std::int32_t* out);

// Size category of a value and its low bits as written behind the code (value - 1 when negative).
VEXO_ALWAYS_INLINE int sizeOf(std::int32_t v) {
  return std::bit_width(static_cast<std::uint32_t>(v < 0 ? -v : v));
}
VEXO_ALWAYS_INLINE std::uint32_t bitsOf(std::int32_t v, int size) {
  return static_cast<std::uint32_t>(v < 0 ? v - 1 : v) & ((std::uint32_t{1} << size) - 1);
}

// Quantises a block (natural order in and out): out gets the values, coded the size category
// × 65536 + the low bits of each value. Returns the mask of the non-zero values by natural
// position.
VEXO_ALWAYS_INLINE std::uint64_t quantizePortable(const Quantizer& q, const std::int32_t* coef,
                                                  std::int32_t* out, std::uint32_t* coded) {
  std::uint32_t range = 0;
  for (std::size_t i = 0; i < 64; ++i) {
    const std::int32_t n = coef[i] + q.half[i];
    const std::uint32_t mag = static_cast<std::uint32_t>(n < 0 ? -n : n);
    range |= mag;
    const auto v = static_cast<std::int32_t>((mag * q.recip[i]) >> 19);
    out[i] = n < 0 ? -v : v;
  }
  if (!q.fast || range >= 2048) quantizeSlow(q, coef, out);
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < 64; ++i) {
    const int size = sizeOf(out[i]);
    coded[i] = static_cast<std::uint32_t>(size) << 16 | bitsOf(out[i], size);
    mask |= std::uint64_t{out[i] != 0} << i;
  }
  return mask;
}

// Bit i of a natural-order mask moved to the zigzag position of coefficient i, one table per
// byte of the mask.
struct ZigzagMaskTables {
  std::array<std::array<std::uint64_t, 256>, 8> byByte{};
  ZigzagMaskTables() {
    std::array<int, 64> zigzagOf{};
    for (int k = 0; k < 64; ++k) zigzagOf[jpeg::kZigzag[k]] = k;
    for (std::size_t j = 0; j < 8; ++j)
      for (std::size_t b = 0; b < 256; ++b)
        for (std::size_t i = 0; i < 8; ++i)
          if (b >> i & 1) byByte[j][b] |= std::uint64_t{1} << zigzagOf[8 * j + i];
  }
  std::uint64_t toZigzag(std::uint64_t natural) const {
    std::uint64_t m = 0;
    for (std::size_t j = 0; j < 8; ++j) m |= byByte[j][(natural >> (8 * j)) & 0xFF];
    return m;
  }
};

const ZigzagMaskTables& zigzagMasks();

}  // namespace vexo::jpeg
