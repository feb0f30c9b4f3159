// Quantisation of a block eight lanes at a time with AVX2 (the values of quantizePortable).
#pragma once
#include "jpeg/quantize.h"

#ifdef VEXO_ENCODER_X86

namespace vexo::jpeg {

VEXO_AVX2 inline std::uint64_t quantizeAvx2(const Quantizer& q, const std::int32_t* coef,
                                            std::int32_t* out, std::uint32_t* coded) {
  __m256i range = _mm256_setzero_si256();
  std::uint64_t zero = 0;
  for (std::size_t i = 0; i < 64; i += 8) {
    // The DC coefficient was just rewritten on its own (the level shift): read it singly and
    // its neighbours from one element on, so no wide load waits for that narrow store.
    const __m256i c =
        i == 0 ? _mm256_inserti128_si256(
                     _mm256_castsi128_si256(_mm_or_si128(
                         _mm_slli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 1)),
                                        4),
                         _mm_cvtsi32_si128(coef[0]))),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 4)), 1)
               : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef + i));
    const __m256i n =
        _mm256_add_epi32(c, _mm256_load_si256(reinterpret_cast<const __m256i*>(q.half.data() + i)));
    const __m256i mag = _mm256_abs_epi32(n);
    range = _mm256_or_si256(range, mag);
    const __m256i recip = _mm256_load_si256(reinterpret_cast<const __m256i*>(q.recip.data() + i));
    const __m256i quotient = _mm256_srli_epi32(_mm256_mullo_epi32(mag, recip), 19);
    // sign: negated where n < 0, and 0 where n == 0 (where the quotient is 0 anyway).
    const __m256i v = _mm256_sign_epi32(quotient, n);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    // Size category from the float exponent of the magnitude (0 for 0), low bits of v or v - 1.
    const __m256i exponent =
        _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(quotient)), 23);
    const __m256i size = _mm256_max_epi32(_mm256_sub_epi32(exponent, _mm256_set1_epi32(126)),
                                          _mm256_setzero_si256());
    const __m256i low = _mm256_and_si256(
        _mm256_add_epi32(v, _mm256_srai_epi32(v, 31)),
        _mm256_sub_epi32(_mm256_sllv_epi32(_mm256_set1_epi32(1), size), _mm256_set1_epi32(1)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(coded + i),
                        _mm256_or_si256(_mm256_slli_epi32(size, 16), low));
    const auto zeros = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, _mm256_setzero_si256()))));
    zero |= std::uint64_t{zeros} << i;
  }
  if (!q.fast || !_mm256_testz_si256(range, _mm256_set1_epi32(~2047)))
    return quantizePortable(q, coef, out, coded);
  return ~zero;
}

}  // namespace vexo::jpeg

#endif  // VEXO_ENCODER_X86
