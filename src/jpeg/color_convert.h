// Colour conversion of the encoder: one row of blue, green, red pixels to Y, Cb, Cr with
// Y = (29900 R + 58700 G + 11400 B + 50000) div 100000 and Cb, Cr likewise (+ 128), each
// division truncating toward zero. y (when not null) receives the luminance of every pixel; cb
// and cr (when not null) the chroma of every step-th pixel (step 1 or 2), which is the point
// sampling of the chroma. The portable row and its AVX2 and AVX-512 forms write the same bytes.
#pragma once
#include <cstdint>

#include "jpeg/simd.h"

namespace vexo::jpeg {

using ConvertFn = void (*)(const std::uint8_t*, int, std::uint8_t*, std::uint8_t*, std::uint8_t*,
                           int);

void ConvertRowPortable(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
                        std::uint8_t* cr, int step);
#ifdef VEXO_ENCODER_X86
VEXO_AVX2 void ConvertRowAvx2(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
                              std::uint8_t* cr, int step);
VEXO_AVX512 void ConvertRowAvx512(const std::uint8_t* bgr, int count, std::uint8_t* y,
                                  std::uint8_t* cb, std::uint8_t* cr, int step);

// The conversion eight pixels at a time in 32-bit lanes. The sums are formed by multiply-add on
// 16-bit pairs (red, green) and (blue, 2), with the coefficients halved where they allow it:
//   Y  = (7475 R + 14675 G + 2850 B + 6250 × 2) div 25000
//   Cb = (-8437 R - 16563 G + 25000 B + 12500 × 2) div 50000 + 128
//   Cr = (50000 R - 41869 G - 8131 B + 25000 × 2) div 100000 + 128
// which are the same quotients as the full formulas (the red and green products of Cr are
// split into two pairs, as 50000 and 41869 pass 16 bits). Each division takes a float estimate
// of the quotient of the magnitude and corrects it by the integer remainder; the sign is put
// back afterwards, so the result truncates toward zero.

// Four pixels per 128-bit lane (bytes 0..11 hold blue, green, red of pixels 0..3): red and green
// as the 16-bit pair of each 32-bit lane; blue as the low half (the high half is set to 2).
alignas(32) constexpr std::uint8_t kRedGreenMask[32] = {
    2, 0x80, 1, 0x80, 5, 0x80, 4, 0x80, 8, 0x80, 7, 0x80, 11, 0x80, 10, 0x80,
    2, 0x80, 1, 0x80, 5, 0x80, 4, 0x80, 8, 0x80, 7, 0x80, 11, 0x80, 10, 0x80};
alignas(32) constexpr std::uint8_t kBlueMask[32] = {
    0, 0x80, 0x80, 0x80, 3, 0x80, 0x80, 0x80, 6, 0x80, 0x80, 0x80, 9, 0x80, 0x80, 0x80,
    0, 0x80, 0x80, 0x80, 3, 0x80, 0x80, 0x80, 6, 0x80, 0x80, 0x80, 9, 0x80, 0x80, 0x80};
#endif

// The row conversion of the active level.
ConvertFn BestConvert();

}  // namespace vexo::jpeg
