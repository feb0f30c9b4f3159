// Quantisation of a block sixteen lanes at a time with AVX-512, reordered into zigzag order in
// registers (the values of quantizePortable).
#pragma once
#include "jpeg/quantize.h"

#ifdef VEXO_ENCODER_X86

namespace vexo::jpeg {

// Index vectors that gather zigzag positions 16j..16j+15 from the four registers of a block in
// natural order: from registers 0 and 1 (natural 0..31) and from 2 and 3 (natural 32..63).
struct ZigzagPermutes {
  alignas(64) std::array<std::array<std::int32_t, 16>, 4> low{}, high{};
  std::array<std::uint16_t, 4> fromHigh{};
  ZigzagPermutes() {
    for (std::size_t j = 0; j < 4; ++j)
      for (std::size_t t = 0; t < 16; ++t) {
        const int natural = jpeg::kZigzag[16 * j + t];
        if (natural < 32) {
          low[j][t] = natural;
        } else {
          high[j][t] = natural - 32;
          fromHigh[j] = static_cast<std::uint16_t>(fromHigh[j] | 1u << t);
        }
      }
  }
};

inline const ZigzagPermutes& zigzagPermutes() {
  static const ZigzagPermutes permutes;
  return permutes;
}

// Sixteen lanes at p, loaded as the two halves the transform stored them in (a wide load over
// two narrower stores would wait for them to reach the cache). For the first, the DC lane is
// read singly: the level shift rewrote it on its own.
VEXO_AVX512 VEXO_ALWAYS_INLINE __m512i loadCoefficients(const std::int32_t* p, bool first) {
  const __m128i lowQuarter =
      first ? _mm_or_si128(
                  _mm_slli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)), 4),
                  _mm_cvtsi32_si128(p[0]))
            : _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m256i low =
      _mm256_inserti128_si256(_mm256_castsi128_si256(lowQuarter),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)), 1);
  return _mm512_inserti64x4(_mm512_castsi256_si512(low),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8)), 1);
}

// Quantises a block sixteen lanes at a time and reorders it in registers: the DC value, the
// coded values (size × 65536 + low bits, 64-byte aligned) and the mask of the non-zero values
// in zigzag order. False (outputs unusable) when a value lies outside the range of the
// multiply.
VEXO_AVX512 inline bool quantizeAvx512(const Quantizer& q, const std::int32_t* coef,
                                       std::uint32_t* zigzagCoded, std::int32_t& dc,
                                       std::uint64_t& zigzagMask) {
  if (!q.fast) return false;
  __m512i coded[4];
  __m512i range = _mm512_setzero_si512();
  const __m512i zero = _mm512_setzero_si512();
#pragma GCC unroll 4
  for (std::size_t r = 0; r < 4; ++r) {
    const __m512i n = _mm512_add_epi32(loadCoefficients(coef + 16 * r, r == 0),
                                       _mm512_load_si512(q.half.data() + 16 * r));
    const __m512i mag = _mm512_abs_epi32(n);
    range = _mm512_or_si512(range, mag);
    const __m512i quotient =
        _mm512_srli_epi32(_mm512_mullo_epi32(mag, _mm512_load_si512(q.recip.data() + 16 * r)), 19);
    const __m512i v = _mm512_mask_sub_epi32(quotient, _mm512_movepi32_mask(n), zero, quotient);
    if (r == 0) dc = _mm_cvtsi128_si32(_mm512_castsi512_si128(v));
    const __m512i size = _mm512_sub_epi32(_mm512_set1_epi32(32), _mm512_lzcnt_epi32(quotient));
    const __m512i low = _mm512_and_si512(
        _mm512_add_epi32(v, _mm512_srai_epi32(v, 31)),
        _mm512_sub_epi32(_mm512_sllv_epi32(_mm512_set1_epi32(1), size), _mm512_set1_epi32(1)));
    coded[r] = _mm512_or_si512(_mm512_slli_epi32(size, 16), low);
  }
  if (_mm512_test_epi32_mask(range, _mm512_set1_epi32(~2047)) != 0) return false;
  const ZigzagPermutes& z = zigzagPermutes();
  std::uint64_t mask = 0;
#pragma GCC unroll 4
  for (std::size_t j = 0; j < 4; ++j) {
    const __m512i v = _mm512_mask_blend_epi32(
        z.fromHigh[j],
        _mm512_permutex2var_epi32(coded[0], _mm512_load_si512(z.low[j].data()), coded[1]),
        _mm512_permutex2var_epi32(coded[2], _mm512_load_si512(z.high[j].data()), coded[3]));
    _mm512_store_si512(zigzagCoded + 16 * j, v);
    mask |= std::uint64_t{_mm512_test_epi32_mask(v, v)} << (16 * j);
  }
  zigzagMask = mask;
  return true;
}

}  // namespace vexo::jpeg

#endif  // VEXO_ENCODER_X86
