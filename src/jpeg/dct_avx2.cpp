// The transforms on 4-lane vectors with AVX2.
#include "jpeg/dct_core.h"

#ifdef VEXO_DCT_X86

namespace vexo::jpeg::dct {

// AVX2: the same with x86 conversions, which round with the current rounding mode.
VEXO_TARGET("avx2")
void ForwardAvx2(const std::uint8_t* samples, std::int32_t* coefficients, const Constants& k) {
  Rows<v4d, 2> b;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    const __m256i wide =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + i * 8)));
    b.r[i][0] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(wide));
    b.r[i][1] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(wide, 1));
  }
  ForwardCore(b, k);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients + i * 8 + h * 4),
                       _mm256_cvtpd_epi32(b.r[i][h]));
    }
  }
}

VEXO_TARGET("avx2")
void InverseAvx2(const std::int32_t* coefficients, std::uint8_t* samples, const Constants& k) {
  Rows<v4d, 2> b;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      b.r[i][h] = _mm256_cvtepi32_pd(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + i * 8 + h * 4)));
    }
  }
  InverseCore(b, k);
  const __m256d zero = _mm256_setzero_pd(), top = _mm256_set1_pd(255);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    const __m128i lo = _mm256_cvtpd_epi32(_mm256_max_pd(_mm256_min_pd(b.r[i][0], top), zero));
    const __m128i hi = _mm256_cvtpd_epi32(_mm256_max_pd(_mm256_min_pd(b.r[i][1], top), zero));
    const __m128i words = _mm_packs_epi32(lo, hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(samples + i * 8), _mm_packus_epi16(words, words));
  }
}

}  // namespace vexo::jpeg::dct

#endif  // VEXO_DCT_X86
