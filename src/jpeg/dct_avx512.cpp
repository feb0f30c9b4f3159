// The transforms on 8-lane vectors with AVX-512.
#include "jpeg/dct_core.h"

#ifdef VEXO_DCT_X86

namespace vexo::jpeg::dct {

// AVX-512: one vector per row.
VEXO_TARGET("avx512f")
void ForwardAvx512(const std::uint8_t* samples, std::int32_t* coefficients, const Constants& k) {
  Rows<v8d, 1> b;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    b.r[i][0] = _mm512_cvtepi32_pd(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + i * 8))));
  }
  ForwardCore(b, k);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(coefficients + i * 8),
                        _mm512_cvtpd_epi32(b.r[i][0]));
  }
}

VEXO_TARGET("avx512f")
void InverseAvx512(const std::int32_t* coefficients, std::uint8_t* samples, const Constants& k) {
  Rows<v8d, 1> b;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    b.r[i][0] = _mm512_cvtepi32_pd(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coefficients + i * 8)));
  }
  InverseCore(b, k);
  const __m512d zero = _mm512_setzero_pd(), top = _mm512_set1_pd(255);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    const __m256i values = _mm512_cvtpd_epi32(_mm512_max_pd(_mm512_min_pd(b.r[i][0], top), zero));
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(values), _mm256_extracti128_si256(values, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(samples + i * 8), _mm_packus_epi16(words, words));
  }
}

}  // namespace vexo::jpeg::dct

#endif  // VEXO_DCT_X86
