// The colour conversion eight pixels at a time with AVX2 (see color_convert.h for the layout).
#include "jpeg/color_convert.h"

#ifdef VEXO_ENCODER_X86

namespace vexo::jpeg {
namespace {

// The two 16-bit factors of a multiply-add pair.
VEXO_AVX2 VEXO_ALWAYS_INLINE __m256i pairOf(int first, int second) {
  return _mm256_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(second) << 16) |
                                            static_cast<std::uint16_t>(first)));
}

// Quotient of the non-negative n (below 2^24, so exact in float) by d. The estimate uses 1 / d
// made smaller by 2^-20: the product stays below n / d but within 0.001 of it, so the estimate
// is the quotient or one less, and one comparison of the remainder corrects it.
template <int d>
VEXO_AVX2 VEXO_ALWAYS_INLINE __m256i divide(__m256i n) {
  static constexpr float kInverse = static_cast<float>((1.0 - 1.0 / (1 << 20)) / d);
  const __m256i q =
      _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(n), _mm256_set1_ps(kInverse)));
  const __m256i rem = _mm256_sub_epi32(n, _mm256_mullo_epi32(q, _mm256_set1_epi32(d)));
  return _mm256_sub_epi32(q, _mm256_cmpgt_epi32(rem, _mm256_set1_epi32(d - 1)));  // +1
}

// n div d truncated toward zero, plus 128.
template <int d>
VEXO_AVX2 VEXO_ALWAYS_INLINE __m256i chromaQuotient(__m256i n) {
  return _mm256_add_epi32(_mm256_sign_epi32(divide<d>(_mm256_abs_epi32(n)), n),
                          _mm256_set1_epi32(128));
}

// Eight 32-bit lanes limited to 0..255 as eight bytes.
VEXO_AVX2 VEXO_ALWAYS_INLINE void storeBytes(std::uint8_t* out, __m256i v) {
  const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
}

// The even lanes of a (low four) and b (high four).
VEXO_AVX2 VEXO_ALWAYS_INLINE __m256i evenLanes(__m256i a, __m256i b) {
  const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  return _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32(a, even),
                                   _mm256_permutevar8x32_epi32(b, even), 0x30);
}

struct Pairs {
  __m256i rg, b2;  // (red, green) and (blue, 2) per 32-bit lane
};

// Eight pixels from p: two 16-byte loads at p and p + 12 (28 bytes read), pixels 0..3 in the
// low lane and 4..7 in the high lane.
VEXO_AVX2 VEXO_ALWAYS_INLINE Pairs pairsAt(const std::uint8_t* p) {
  const __m256i pixels = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
  const __m256i rg = _mm256_shuffle_epi8(
      pixels, _mm256_load_si256(reinterpret_cast<const __m256i*>(kRedGreenMask)));
  const __m256i b =
      _mm256_shuffle_epi8(pixels, _mm256_load_si256(reinterpret_cast<const __m256i*>(kBlueMask)));
  return {rg, _mm256_or_si256(b, _mm256_set1_epi32(2 << 16))};
}

VEXO_AVX2 VEXO_ALWAYS_INLINE __m256i lumaOf(const Pairs& p) {
  return divide<25000>(_mm256_add_epi32(_mm256_madd_epi16(p.rg, pairOf(7475, 14675)),
                                        _mm256_madd_epi16(p.b2, pairOf(2850, 6250))));
}
VEXO_AVX2 VEXO_ALWAYS_INLINE __m256i cbSum(const Pairs& p) {
  return _mm256_add_epi32(_mm256_madd_epi16(p.rg, pairOf(-8437, -16563)),
                          _mm256_madd_epi16(p.b2, pairOf(25000, 12500)));
}
VEXO_AVX2 VEXO_ALWAYS_INLINE __m256i crSum(const Pairs& p) {
  return _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(p.rg, pairOf(25000, -20935)),
                                           _mm256_madd_epi16(p.rg, pairOf(25000, -20934))),
                          _mm256_madd_epi16(p.b2, pairOf(-8131, 25000)));
}

// One row; kY: luminance wanted, kStep: 0 no chroma, else the chroma step.
template <bool kY, int kStep>
VEXO_AVX2 VEXO_ALWAYS_INLINE void convertRowAvx2T(const std::uint8_t* bgr, int count,
                                                  std::uint8_t* y, std::uint8_t* cb,
                                                  std::uint8_t* cr) {
  const std::size_t rowBytes = 3 * static_cast<std::size_t>(count);
  std::size_t x = 0;
  if constexpr (kStep == 2) {
    // Sixteen pixels: sixteen luminance samples, eight chroma samples of the even pixels.
    for (; 3 * x + 52 <= rowBytes; x += 16) {
      const Pairs a = pairsAt(bgr + 3 * x), b = pairsAt(bgr + 3 * x + 24);
      if constexpr (kY) {
        storeBytes(y + x, lumaOf(a));
        storeBytes(y + x + 8, lumaOf(b));
      }
      storeBytes(cb + x / 2, chromaQuotient<50000>(evenLanes(cbSum(a), cbSum(b))));
      storeBytes(cr + x / 2, chromaQuotient<100000>(evenLanes(crSum(a), crSum(b))));
    }
    ConvertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr, cb + x / 2,
                       cr + x / 2, 2);
  } else {
    for (; 3 * x + 28 <= rowBytes; x += 8) {
      const Pairs p = pairsAt(bgr + 3 * x);
      if constexpr (kY) storeBytes(y + x, lumaOf(p));
      if constexpr (kStep == 1) {
        storeBytes(cb + x, chromaQuotient<50000>(cbSum(p)));
        storeBytes(cr + x, chromaQuotient<100000>(crSum(p)));
      }
    }
    ConvertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr,
                       kStep ? cb + x : nullptr, kStep ? cr + x : nullptr, 1);
  }
}

}  // namespace

VEXO_AVX2 void ConvertRowAvx2(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
                              std::uint8_t* cr, int step) {
  const bool chroma = cb && cr;
  if (y) {
    if (!chroma) return convertRowAvx2T<true, 0>(bgr, count, y, cb, cr);
    if (step == 2) return convertRowAvx2T<true, 2>(bgr, count, y, cb, cr);
    return convertRowAvx2T<true, 1>(bgr, count, y, cb, cr);
  }
  if (!chroma) return;
  if (step == 2) return convertRowAvx2T<false, 2>(bgr, count, y, cb, cr);
  return convertRowAvx2T<false, 1>(bgr, count, y, cb, cr);
}

}  // namespace vexo::jpeg

#endif  // VEXO_ENCODER_X86
