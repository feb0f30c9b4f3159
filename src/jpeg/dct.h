// The 8 × 8 discrete cosine transforms of the JPEG codec. Each result is the defining sum
// rounded to nearest, ties to even, computed in double precision by a fast separable transform.
#pragma once
#include <cstdint>

namespace vexo::jpeg {

// Forward transform of unshifted samples (8 rows of 8, natural order) into coefficients in
// natural order: F(u, v) = round(a(u) a(v) / 4 × sum f(x, y) cos((2x+1)uπ/16) cos((2y+1)vπ/16)),
// a(0) = 1/√2, else 1; then the DC coefficient is reduced by 1024 (the level shift).
void ForwardDct(const std::uint8_t* samples, std::int32_t* coefficients);

// Inverse transform: the DC coefficient is increased by 1024, then
// f(x, y) = round(sum a(u) a(v) / 4 × F(u, v) cos(...) cos(...)), limited to 0..255.
void InverseDct(const std::int32_t* coefficients, std::uint8_t* samples);

// Instruction-set variants of the two transforms. The functions above use the one of the codec's
// active level (simd.h: the best the processor has unless a test asks for another); all give
// identical results. Tests and benchmarks run each variant through
// the overloads below (a variant the processor lacks must not be asked for).
enum class DctVariant { kGeneric, kAvx2, kAvx512 };
bool DctVariantSupported(DctVariant variant);
void ForwardDct(const std::uint8_t* samples, std::int32_t* coefficients, DctVariant variant);
void InverseDct(const std::int32_t* coefficients, std::uint8_t* samples, DctVariant variant);

// Natural position of the k-th coefficient in zigzag order.
inline constexpr std::uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

}  // namespace vexo::jpeg
