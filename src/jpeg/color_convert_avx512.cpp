// The colour conversion sixteen pixels at a time with AVX-512.
#include "jpeg/color_convert.h"

#ifdef VEXO_ENCODER_X86

namespace vexo::jpeg {
namespace {

// The same sixteen pixels at a time: the dwords of 48 bytes spread so that each 128-bit lane
// holds four pixels as in the AVX2 layout, and results narrowed with unsigned saturation.
struct Pairs512 {
  __m512i rg, b2;
};

// Sixteen pixels from p (64 bytes read).
VEXO_AVX512 VEXO_ALWAYS_INLINE Pairs512 pairsAt512(const std::uint8_t* p) {
  const __m512i spread = _mm512_permutexvar_epi32(
      _mm512_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11, 0), _mm512_loadu_si512(p));
  const __m512i rg = _mm512_shuffle_epi8(
      spread,
      _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(kRedGreenMask))));
  const __m512i b = _mm512_shuffle_epi8(
      spread, _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(kBlueMask))));
  return {rg, _mm512_or_si512(b, _mm512_set1_epi32(2 << 16))};
}

VEXO_AVX512 VEXO_ALWAYS_INLINE __m512i pairOf512(int first, int second) {
  return _mm512_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(second) << 16) |
                                            static_cast<std::uint16_t>(first)));
}

template <int d>
VEXO_AVX512 VEXO_ALWAYS_INLINE __m512i divide512(__m512i n) {
  static constexpr float kInverse = static_cast<float>((1.0 - 1.0 / (1 << 20)) / d);
  const __m512i q =
      _mm512_cvttps_epi32(_mm512_mul_ps(_mm512_cvtepi32_ps(n), _mm512_set1_ps(kInverse)));
  const __m512i rem = _mm512_sub_epi32(n, _mm512_mullo_epi32(q, _mm512_set1_epi32(d)));
  return _mm512_mask_add_epi32(q, _mm512_cmpgt_epi32_mask(rem, _mm512_set1_epi32(d - 1)), q,
                               _mm512_set1_epi32(1));
}

template <int d>
VEXO_AVX512 VEXO_ALWAYS_INLINE __m512i chromaQuotient512(__m512i n) {
  const __m512i q = divide512<d>(_mm512_abs_epi32(n));
  return _mm512_add_epi32(
      _mm512_mask_sub_epi32(q, _mm512_movepi32_mask(n), _mm512_setzero_si512(), q),
      _mm512_set1_epi32(128));
}

VEXO_AVX512 VEXO_ALWAYS_INLINE void storeBytes512(std::uint8_t* out, __m512i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtusepi32_epi8(v));
}

VEXO_AVX512 VEXO_ALWAYS_INLINE __m512i lumaOf512(const Pairs512& p) {
  return divide512<25000>(_mm512_add_epi32(_mm512_madd_epi16(p.rg, pairOf512(7475, 14675)),
                                           _mm512_madd_epi16(p.b2, pairOf512(2850, 6250))));
}
VEXO_AVX512 VEXO_ALWAYS_INLINE __m512i cbSum512(const Pairs512& p) {
  return _mm512_add_epi32(_mm512_madd_epi16(p.rg, pairOf512(-8437, -16563)),
                          _mm512_madd_epi16(p.b2, pairOf512(25000, 12500)));
}
VEXO_AVX512 VEXO_ALWAYS_INLINE __m512i crSum512(const Pairs512& p) {
  return _mm512_add_epi32(_mm512_add_epi32(_mm512_madd_epi16(p.rg, pairOf512(25000, -20935)),
                                           _mm512_madd_epi16(p.rg, pairOf512(25000, -20934))),
                          _mm512_madd_epi16(p.b2, pairOf512(-8131, 25000)));
}

template <bool kY, int kStep>
VEXO_AVX512 VEXO_ALWAYS_INLINE void convertRowAvx512T(const std::uint8_t* bgr, int count,
                                                      std::uint8_t* y, std::uint8_t* cb,
                                                      std::uint8_t* cr) {
  const std::size_t rowBytes = 3 * static_cast<std::size_t>(count);
  std::size_t x = 0;
  if constexpr (kStep == 2) {
    // Thirty-two pixels: as many luminance samples, sixteen chroma samples of the even pixels.
    const __m512i even =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    for (; 3 * x + 112 <= rowBytes; x += 32) {
      const Pairs512 a = pairsAt512(bgr + 3 * x), b = pairsAt512(bgr + 3 * x + 48);
      if constexpr (kY) {
        storeBytes512(y + x, lumaOf512(a));
        storeBytes512(y + x + 16, lumaOf512(b));
      }
      storeBytes512(cb + x / 2, chromaQuotient512<50000>(
                                    _mm512_permutex2var_epi32(cbSum512(a), even, cbSum512(b))));
      storeBytes512(cr + x / 2, chromaQuotient512<100000>(
                                    _mm512_permutex2var_epi32(crSum512(a), even, crSum512(b))));
    }
    ConvertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr, cb + x / 2,
                       cr + x / 2, 2);
  } else {
    for (; 3 * x + 64 <= rowBytes; x += 16) {
      const Pairs512 p = pairsAt512(bgr + 3 * x);
      if constexpr (kY) storeBytes512(y + x, lumaOf512(p));
      if constexpr (kStep == 1) {
        storeBytes512(cb + x, chromaQuotient512<50000>(cbSum512(p)));
        storeBytes512(cr + x, chromaQuotient512<100000>(crSum512(p)));
      }
    }
    ConvertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr,
                       kStep ? cb + x : nullptr, kStep ? cr + x : nullptr, 1);
  }
}

}  // namespace

VEXO_AVX512 void ConvertRowAvx512(const std::uint8_t* bgr, int count, std::uint8_t* y,
                                  std::uint8_t* cb, std::uint8_t* cr, int step) {
  const bool chroma = cb && cr;
  if (y) {
    if (!chroma) return convertRowAvx512T<true, 0>(bgr, count, y, cb, cr);
    if (step == 2) return convertRowAvx512T<true, 2>(bgr, count, y, cb, cr);
    return convertRowAvx512T<true, 1>(bgr, count, y, cb, cr);
  }
  if (!chroma) return;
  if (step == 2) return convertRowAvx512T<false, 2>(bgr, count, y, cb, cr);
  return convertRowAvx512T<false, 1>(bgr, count, y, cb, cr);
}

}  // namespace vexo::jpeg

#endif  // VEXO_ENCODER_X86
