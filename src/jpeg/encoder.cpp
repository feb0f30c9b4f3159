// The baseline encoder of TJpegEx: colour conversion to YCbCr, point-sampled chroma, the 8 × 8
// forward DCT, quantisation with the quality-scaled tables and Huffman coding, written as SOI,
// COM, APP0, DQT, SOF0, DHT, DRI, SOS, the entropy-coded segment and EOI.
//
// The image is converted one MCU row at a time into strips (a luminance strip of MCU height and
// chroma strips holding only the samples the blocks read), instead of whole-image planes: the
// bytes written are the same as from full planes padded with 128, at a fraction of the memory.
// The colour conversion, the quantisation and the coding loop have AVX2 and AVX-512 variants
// picked at run time; every variant writes the same bytes.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/bitmap.h"
#include "jpeg/dct.h"
#include "jpeg/encoder_internal.h"
#include "jpeg/huffman.h"
#include "jpeg/jpeg_ex.h"

#if defined(__x86_64__)
#include "jpeg/x86_intrinsics.h"
#define VEXO_ENCODER_X86 1
#define VEXO_AVX2 __attribute__((target("avx2,bmi,bmi2,lzcnt")))
#define VEXO_AVX512 \
  __attribute__((target("avx2,bmi,bmi2,lzcnt,avx512f,avx512cd,avx512vl,avx512bw,avx512dq")))
#endif
#define VEXO_ALWAYS_INLINE inline __attribute__((always_inline))

namespace vexo {

namespace {

// Base quantisation table in natural (row by row) order; both tables start from it.
constexpr std::uint8_t kBaseQuant[64] = {8,  6,  5,  8,  12, 20, 26, 31,  //
                                         6,  6,  7,  10, 13, 29, 30, 28,  //
                                         7,  7,  8,  12, 20, 29, 35, 28,  //
                                         7,  9,  11, 15, 26, 44, 40, 31,  //
                                         9,  11, 19, 28, 34, 55, 52, 39,  //
                                         12, 18, 28, 32, 41, 52, 57, 46,  //
                                         25, 32, 39, 44, 52, 61, 60, 51,  //
                                         36, 46, 48, 49, 56, 50, 52, 50};

constexpr std::int64_t kMaxJpegSide = 65535;  // SOF0 holds 16-bit sizes

// ---- colour conversion ----

// Products of the conversion formulas per channel value, the rounding constant folded into the
// red tables: Y = (29900 R + 58700 G + 11400 B + 50000) div 100000, Cb and Cr likewise, each
// division truncating toward zero.
struct ColorTables {
  std::array<std::int32_t, 256> yr, yg, yb, cbr, cbg, cbb, crr, crg, crb;
};

const ColorTables& colorTables() {
  static const ColorTables tables = [] {
    ColorTables t{};
    for (int i = 0; i < 256; ++i) {
      const auto u = static_cast<std::size_t>(i);
      t.yr[u] = 29900 * i + 50000;
      t.yg[u] = 58700 * i;
      t.yb[u] = 11400 * i;
      t.cbr[u] = -16874 * i + 50000;
      t.cbg[u] = -33126 * i;
      t.cbb[u] = 50000 * i;
      t.crr[u] = 50000 * i + 50000;
      t.crg[u] = -41869 * i;
      t.crb[u] = -8131 * i;
    }
    return t;
  }();
  return tables;
}

// A chroma sum lies in -12700000..12800000, so the quotient lies in -127..128: only the top needs
// the limit (pure blue gives 256).
inline std::uint8_t chromaOf(std::int32_t sum) {
  const std::int32_t v = sum / 100000 + 128;
  return static_cast<std::uint8_t>(v > 255 ? 255 : v);
}

// The conversion of one row without vector instructions (as jpeg::ConvertBgrRow).
void convertRowPortable(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
                        std::uint8_t* cr, int step) {
  const ColorTables& t = colorTables();
  if (y) {
    const std::uint8_t* p = bgr;
    for (int x = 0; x < count; ++x, p += 3) {
      const auto sum = static_cast<std::uint32_t>(t.yr[p[2]] + t.yg[p[1]] + t.yb[p[0]]);
      y[x] = static_cast<std::uint8_t>(sum / 100000u);  // 0..255 by construction
    }
  }
  if (cb && cr) {
    const std::size_t advance = 3 * static_cast<std::size_t>(step);
    const std::uint8_t* p = bgr;
    for (int x = 0; x < count; x += step, p += advance, ++cb, ++cr) {
      *cb = chromaOf(t.cbr[p[2]] + t.cbg[p[1]] + t.cbb[p[0]]);
      *cr = chromaOf(t.crr[p[2]] + t.crg[p[1]] + t.crb[p[0]]);
    }
  }
}

using ConvertFn = void (*)(const std::uint8_t*, int, std::uint8_t*, std::uint8_t*, std::uint8_t*,
                           int);

// Instruction-set levels of the hot loops.
enum Level { kPortable = 0, kAvx2 = 1, kAvx512 = 2 };

int supportedLevel() {
#ifdef VEXO_ENCODER_X86
  static const int level = [] {
    __builtin_cpu_init();
    // Every processor with BMI2 also has LZCNT (which not every compiler can ask for here).
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("bmi") ||
        !__builtin_cpu_supports("bmi2"))
      return kPortable;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512cd") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq"))
      return kAvx512;
    return kAvx2;
  }();
  return level;
#else
  return kPortable;
#endif
}

std::atomic<int>& levelState() {
  static std::atomic<int> level{supportedLevel()};
  return level;
}

int activeLevel() {
  return levelState().load(std::memory_order_relaxed);
}

#ifdef VEXO_ENCODER_X86

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
    convertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr, cb + x / 2,
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
    convertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr,
                       kStep ? cb + x : nullptr, kStep ? cr + x : nullptr, 1);
  }
}

VEXO_AVX2 void convertRowAvx2(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
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
    convertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr, cb + x / 2,
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
    convertRowPortable(bgr + 3 * x, count - static_cast<int>(x), kY ? y + x : nullptr,
                       kStep ? cb + x : nullptr, kStep ? cr + x : nullptr, 1);
  }
}

VEXO_AVX512 void convertRowAvx512(const std::uint8_t* bgr, int count, std::uint8_t* y,
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

#endif  // VEXO_ENCODER_X86

ConvertFn bestConvert() {
#ifdef VEXO_ENCODER_X86
  if (activeLevel() == kAvx512) return convertRowAvx512;
  if (activeLevel() == kAvx2) return convertRowAvx2;
#endif
  return convertRowPortable;
}

// ---- quantisation ----

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

Quantizer makeQuantizer(const TJpegEx::QuantTable& table) {
  Quantizer q;
  for (int k = 0; k < 64; ++k) {
    const std::size_t n = jpeg::kZigzag[k];
    const std::int32_t step = std::max<std::int32_t>(table.values[static_cast<std::size_t>(k)], 1);
    q.step[n] = step;
    q.half[n] = step / 2;
    q.recip[n] = (std::uint32_t{1} << 19) / static_cast<std::uint32_t>(step) + 1;
    if (step > 255) q.fast = false;
  }
  return q;
}

void quantizeSlow(const Quantizer& q, const std::int32_t* coef, std::int32_t* out) {
  for (std::size_t i = 0; i < 64; ++i) {
    const std::int64_t n = std::int64_t{coef[i]} + q.half[i];
    out[i] = static_cast<std::int32_t>(n / q.step[i]);
  }
}

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

#ifdef VEXO_ENCODER_X86
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
#endif

#ifdef VEXO_ENCODER_X86
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

const ZigzagPermutes& zigzagPermutes() {
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
#endif

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

const ZigzagMaskTables& zigzagMasks() {
  static const ZigzagMaskTables tables;
  return tables;
}

// ---- Huffman coding ----

// Raised when the image's Huffman tables have no code for a symbol the data need; the encoder
// then starts again with the standard tables.
struct MissingCode {};

// Codes of one Huffman table by symbol (DC: size category; AC: run × 16 + size, 0x00 end of
// block, 0xF0 sixteen zeros): the right-aligned code shifted left by 8 plus its length; 0 when
// the table has no code for the symbol.
struct CodeTable {
  std::array<std::uint32_t, 256> entry{};
};

void setCode(CodeTable& t, int symbol, const jpeg::THuffmanTable::Leaf* leaf) {
  if (!leaf || leaf->length == 0 || leaf->length > 16) return;
  const auto code = static_cast<std::uint32_t>(leaf->code >> (16 - leaf->length));
  t.entry[static_cast<std::size_t>(symbol)] = code << 8 | leaf->length;
}

CodeTable makeCodeTable(const jpeg::THuffmanTable& table, bool ac) {
  CodeTable t;
  if (!ac) {
    for (int size = 0; size < 16; ++size) setCode(t, size, table.Find(0, size));
    return t;
  }
  for (int run = 0; run < 16; ++run)
    for (int size = 1; size < 16; ++size) setCode(t, run * 16 + size, table.Find(run, size));
  setCode(t, 0x00, table.endOfBlock());
  setCode(t, 0xF0, table.zrl());
  return t;
}

// Codes collected without branches: every complete 32-bit word goes into a word list, whose
// bytes are appended to the output after each MCU. Kept in a local variable of the coding loop
// so the accumulator stays in registers. The bit writer only sees the last partial word at a
// restart point and at the end, where it pads the bits and writes the marker.
constexpr std::size_t kWordCapacity = 512;  // an MCU of six blocks needs at most 380 words

struct BitState {
  std::uint64_t acc = 0;
  int count = 0;      // valid low bits of acc, below 32 between calls
  std::size_t n = 0;  // complete words in the list
};

// Appends bits (below 2^length, length 1..32). When 32 or more bits are pending, the top 32 of
// them are bits count - 32 .. count - 1 = (count & 31) .. count - 1 of acc; otherwise the word
// written is not counted and will be overwritten.
VEXO_ALWAYS_INLINE void putBits(BitState& s, std::uint32_t* words, std::uint32_t bits, int length) {
  s.acc = (s.acc << length) | bits;
  s.count += length;
  words[s.n] = static_cast<std::uint32_t>(s.acc >> (s.count & 31));
  s.n += static_cast<std::size_t>(s.count >> 5);
  s.count &= 31;
}

// The complete words to the writer.
void flushWords(BitState& s, const std::uint32_t* words, jpeg::JpegBitWriter& w) {
  w.WriteWords({words, s.n});
  s.n = 0;
}

// Everything to the writer (before its flush or marker).
void drainBits(BitState& s, const std::uint32_t* words, jpeg::JpegBitWriter& w) {
  flushWords(s, words, w);
  if (s.count > 0) w.WriteBits(static_cast<std::uint32_t>(s.acc), s.count);
  s = BitState{};
}

// The code of a symbol followed by extraLength extra bits.
VEXO_ALWAYS_INLINE void putSymbol(BitState& s, std::uint32_t* words, const CodeTable& t, int symbol,
                                  std::uint32_t extra = 0, int extraLength = 0) {
  const std::uint32_t entry = t.entry[static_cast<std::size_t>(symbol)];
  if (entry == 0) throw MissingCode{};
  putBits(s, words, (entry >> 8 << extraLength) | extra,
          static_cast<int>(entry & 0xFF) + extraLength);
}

struct ComponentCoder {
  const CodeTable* dc = nullptr;
  const CodeTable* ac = nullptr;
  const Quantizer* quant = nullptr;
  std::int32_t predictor = 0;
};

// Quantises a transformed block: the DC value, and the coded values (size × 65536 + low bits)
// and the mask of the non-zero values in zigzag order. The AVX-512 path reorders the block in
// registers; the others leave the values in natural order and index them through kZigzag.
template <int kLevel>
struct QuantizedBlock {
  alignas(64) std::array<std::uint32_t, 64> coded;
  std::int32_t dc = 0;
  std::uint64_t mask = 0;
  std::uint32_t at(int k) const {
    return coded[kLevel == kAvx512 ? static_cast<std::size_t>(k) : jpeg::kZigzag[k]];
  }
};

template <int kLevel>
VEXO_ALWAYS_INLINE void quantizeBlock(const Quantizer& q, const std::int32_t* coef,
                                      const ZigzagMaskTables& zigzag, QuantizedBlock<kLevel>& b) {
#ifdef VEXO_ENCODER_X86
  if constexpr (kLevel == kAvx512)
    if (quantizeAvx512(q, coef, b.coded.data(), b.dc, b.mask)) return;
#endif
  alignas(32) std::int32_t quantized[64];
  std::uint64_t natural;
  if constexpr (kLevel == kAvx512) {
    // The rare values out of range: through the portable path, then into zigzag order.
    alignas(32) std::uint32_t coded[64];
    natural = quantizePortable(q, coef, quantized, coded);
    for (std::size_t k = 0; k < 64; ++k) b.coded[k] = coded[jpeg::kZigzag[k]];
  }
#ifdef VEXO_ENCODER_X86
  else if constexpr (kLevel == kAvx2)
    natural = quantizeAvx2(q, coef, quantized, b.coded.data());
#endif
  else
    natural = quantizePortable(q, coef, quantized, b.coded.data());
  b.dc = quantized[0];
  b.mask = zigzag.toZigzag(natural);
}

// Transforms, quantises and codes one block of 64 samples (8 rows of 8).
template <int kLevel>
VEXO_ALWAYS_INLINE void encodeBlock(const std::uint8_t* samples, ComponentCoder& c,
                                    const ZigzagMaskTables& zigzag, BitState& s, std::uint32_t* w) {
  alignas(32) std::int32_t coef[64];
  QuantizedBlock<kLevel> block;
  jpeg::ForwardDct(samples, coef);
  quantizeBlock<kLevel>(*c.quant, coef, zigzag, block);

  // DC: the difference to the component's predictor (kept to 16 bits like the predictor).
  const std::int32_t dc = static_cast<std::int16_t>(block.dc);
  const std::int32_t diff = dc - c.predictor;
  c.predictor = dc;
  {
    const int size = sizeOf(diff);
    putSymbol(s, w, *c.dc, size, bitsOf(diff, size), size);
  }

  // AC: (zeros before, value) pairs; sixteen zeros at a time before a long run; end of block
  // when zeros remain behind the last non-zero value. The mask skips runs of zeros at once.
  const CodeTable& ac = *c.ac;
  std::uint64_t mask = block.mask & ~std::uint64_t{1};
  int last = 0;
  while (mask) {
    const int k = std::countr_zero(mask);
    mask &= mask - 1;
    int run = k - last - 1;
    last = k;
    for (; run > 15; run -= 16) putSymbol(s, w, ac, 0xF0);
    const std::uint32_t value = block.at(k);
    const int size = static_cast<int>(value >> 16);
    if (size > 15) throw MissingCode{};
    putSymbol(s, w, ac, run * 16 + size, value & 0xFFFF, size);
  }
  if (last < 63) putSymbol(s, w, ac, 0x00);
}

// ---- the scan ----

// The state of one scan: strips of the current MCU row, the component coders, restart and
// progress counters and the pending bits.
struct Scan {
  const Bitmap* bitmap = nullptr;
  int width = 0, height = 0, h1 = 1, v1 = 1;
  bool gray = false;
  int mcusAcross = 0, mcusDown = 0;
  std::int64_t mcuCount = 0;
  std::size_t paddedWidth = 0, chromaWidth = 0;
  std::vector<std::uint8_t> lum, cb, cr;
  std::array<ComponentCoder, 3> coders{};
  int restartInterval = 0;

  std::int64_t mcu = 0;         // index of the next MCU
  std::int64_t nextReport = 0;  // MCU at which the percentage changes next
  int sinceRestart = 0, restartNumber = 0;
  BitState bits;
  std::array<std::uint32_t, kWordCapacity> words{};
  jpeg::JpegBitWriter* writer = nullptr;
  const std::function<void(int)>* report = nullptr;
};

// Converts MCU row my into the strips and codes its MCUs.
template <int kLevel>
VEXO_ALWAYS_INLINE void codeMcuRow(Scan& scan, int my) {
  const int mcuWidth = 8 * scan.h1, mcuHeight = 8 * scan.v1;
  const int y0 = my * mcuHeight;
  // Rows and columns beyond the image are 128; chroma column j is pixel column j × H1 and chroma
  // row i pixel row i × V1.
  const auto width = static_cast<std::size_t>(scan.width);
  const std::size_t chromaUsed =
      (width + static_cast<std::size_t>(scan.h1) - 1) / static_cast<std::size_t>(scan.h1);
  for (int r = 0; r < mcuHeight; ++r) {
    const auto ru = static_cast<std::size_t>(r);
    const bool inside = y0 + r < scan.height;
    const bool chromaRow = !scan.gray && r % scan.v1 == 0;
    const std::size_t cRow = ru / static_cast<std::size_t>(scan.v1) * scan.chromaWidth;
    std::uint8_t* lum = scan.lum.data() + ru * scan.paddedWidth;
    std::uint8_t* cb = chromaRow ? scan.cb.data() + cRow : nullptr;
    std::uint8_t* cr = chromaRow ? scan.cr.data() + cRow : nullptr;
    const std::size_t lumFrom = inside ? width : 0, chromaFrom = inside ? chromaUsed : 0;
    std::fill(lum + lumFrom, lum + scan.paddedWidth, std::uint8_t{128});
    if (chromaRow) {
      std::fill(cb + chromaFrom, cb + scan.chromaWidth, std::uint8_t{128});
      std::fill(cr + chromaFrom, cr + scan.chromaWidth, std::uint8_t{128});
    }
    if (!inside) continue;
#ifdef VEXO_ENCODER_X86
    if constexpr (kLevel == kAvx512)
      convertRowAvx512(scan.bitmap->row(y0 + r), scan.width, lum, cb, cr, scan.h1);
    else if constexpr (kLevel == kAvx2)
      convertRowAvx2(scan.bitmap->row(y0 + r), scan.width, lum, cb, cr, scan.h1);
    else
#endif
      convertRowPortable(scan.bitmap->row(y0 + r), scan.width, lum, cb, cr, scan.h1);
  }

  const ZigzagMaskTables& zigzag = zigzagMasks();
  jpeg::JpegBitWriter& writer = *scan.writer;
  std::uint32_t* w = scan.words.data();
  BitState s = scan.bits;
  alignas(32) std::uint8_t block[64];
  auto copyBlock = [&block](const std::uint8_t* src, std::size_t stride) {
    for (std::size_t i = 0; i < 8; ++i) std::memcpy(block + 8 * i, src + i * stride, 8);
  };
  try {
    for (int mx = 0; mx < scan.mcusAcross; ++mx) {
      if (scan.mcu >= scan.nextReport) {
        const auto percent = scan.mcu * 100 / scan.mcuCount;
        (*scan.report)(static_cast<int>(percent));
        scan.nextReport = ((percent + 1) * scan.mcuCount + 99) / 100;
      }
      // Luminance: H1 × V1 blocks, left to right, then down; then one block of Cb and of Cr.
      for (int k = 0; k < scan.h1 * scan.v1; ++k) {
        copyBlock(scan.lum.data() + static_cast<std::size_t>(8 * (k / scan.h1)) * scan.paddedWidth +
                      static_cast<std::size_t>(mx * mcuWidth + 8 * (k % scan.h1)),
                  scan.paddedWidth);
        encodeBlock<kLevel>(block, scan.coders[0], zigzag, s, w);
      }
      if (!scan.gray) {
        const std::size_t offset = static_cast<std::size_t>(mx) * 8;
        copyBlock(scan.cb.data() + offset, scan.chromaWidth);
        encodeBlock<kLevel>(block, scan.coders[1], zigzag, s, w);
        copyBlock(scan.cr.data() + offset, scan.chromaWidth);
        encodeBlock<kLevel>(block, scan.coders[2], zigzag, s, w);
      }
      flushWords(s, w, writer);
      ++scan.mcu;
      if (scan.restartInterval > 0 && ++scan.sinceRestart == scan.restartInterval &&
          scan.mcu < scan.mcuCount) {
        drainBits(s, w, writer);
        writer.WriteMarker(static_cast<std::uint8_t>(0xD0 + scan.restartNumber));
        scan.restartNumber = (scan.restartNumber + 1) % 8;
        scan.sinceRestart = 0;
        for (auto& coder : scan.coders) coder.predictor = 0;
      }
    }
  } catch (...) {
    scan.bits = s;
    throw;
  }
  scan.bits = s;
}

void codeMcuRowPortable(Scan& scan, int my) {
  codeMcuRow<kPortable>(scan, my);
}
#ifdef VEXO_ENCODER_X86
VEXO_AVX2 void codeMcuRowAvx2(Scan& scan, int my) {
  codeMcuRow<kAvx2>(scan, my);
}
VEXO_AVX512 void codeMcuRowAvx512(Scan& scan, int my) {
  codeMcuRow<kAvx512>(scan, my);
}
#endif

// ---- headers ----

void put8(std::vector<std::uint8_t>& out, int v) {
  out.push_back(static_cast<std::uint8_t>(v));
}
void put16(std::vector<std::uint8_t>& out, int v) {
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}
void putMarker(std::vector<std::uint8_t>& out, int code) {
  out.push_back(0xFF);
  out.push_back(static_cast<std::uint8_t>(code));
}

// Everything one run of the encoder needs, gathered by TJpegEx::Encode.
struct EncodeJob {
  const Bitmap* bitmap = nullptr;
  const std::array<TJpegEx::Component, 3>* components = nullptr;
  const std::vector<TJpegEx::QuantTable>* quantTables = nullptr;
  const jpeg::THuffmanTables* huffman = nullptr;
  bool gray = false;
  int restartInterval = 0;
  std::uint8_t densityUnit = 0;
  std::uint16_t xDensity = 0, yDensity = 0;
  const std::string* comment = nullptr;
  const DecodeLimits* limits = nullptr;
  std::function<void(int)> report;  // Running progress with the percentage
  bool lastAttempt = false;         // a missing code fails instead of asking for another try
};

const jpeg::THuffmanTable& tableFor(const jpeg::THuffmanTables& tables, std::uint8_t classId) {
  const int i = tables.Find(classId);
  if (i < 0) throw MissingCode{};
  return tables.at(i);
}

void writeHeaders(const EncodeJob& job, std::vector<std::uint8_t>& out) {
  const auto& comps = *job.components;
  const Bitmap& bitmap = *job.bitmap;

  if (!job.comment->empty()) {
    // The length field holds at most 65535: longer comments are cut to fit.
    const std::size_t n = std::min<std::size_t>(job.comment->size(), 65532);
    putMarker(out, 0xFE);
    put16(out, static_cast<int>(n + 3));
    out.insert(out.end(), job.comment->begin(), job.comment->begin() + static_cast<long>(n));
    put8(out, 0);
  }

  putMarker(out, 0xE0);
  put16(out, 16);
  for (char c : {'J', 'F', 'I', 'F', '\0'}) put8(out, c);
  put8(out, 1);
  put8(out, 1);
  put8(out, job.densityUnit);
  put16(out, job.xDensity);
  put16(out, job.yDensity);
  put8(out, 0);
  put8(out, 0);

  const auto& tables = *job.quantTables;
  const std::size_t tableCount = job.gray ? std::min<std::size_t>(1, tables.size()) : tables.size();
  std::size_t dqtLength = 2;
  for (std::size_t i = 0; i < tableCount; ++i) dqtLength += tables[i].precision ? 129 : 65;
  putMarker(out, 0xDB);
  put16(out, static_cast<int>(dqtLength));
  for (std::size_t i = 0; i < tableCount; ++i) {
    const auto& t = tables[i];
    put8(out, (t.precision ? 16 : 0) + static_cast<int>(i));
    for (std::int16_t v : t.values) {
      if (t.precision)
        put16(out, static_cast<std::uint16_t>(v));
      else
        put8(out, v);
    }
  }

  auto factors = [](const TJpegEx::Component& c) { return (c.h % 16) * 16 + c.v % 16; };
  putMarker(out, 0xC0);
  put16(out, job.gray ? 11 : 17);
  put8(out, 8);
  put16(out, bitmap.height());
  put16(out, bitmap.width());
  put8(out, job.gray ? 1 : 3);
  put8(out, 1);
  put8(out, factors(comps[0]));
  put8(out, comps[0].quantTable);
  if (!job.gray) {
    put8(out, 2);
    put8(out, factors(comps[1]));
    put8(out, comps[1].quantTable);
    put8(out, 3);
    put8(out, factors(comps[1]));
    put8(out, comps[2].quantTable);
  }

  const std::vector<std::uint8_t> classes = job.gray
                                                ? std::vector<std::uint8_t>{0x00, 0x10}
                                                : std::vector<std::uint8_t>{0x00, 0x01, 0x10, 0x11};
  std::size_t dhtLength = 2;
  for (std::uint8_t id : classes) dhtLength += tableFor(*job.huffman, id).dhtLength();
  putMarker(out, 0xC4);
  put16(out, static_cast<int>(dhtLength));
  for (std::uint8_t id : classes) tableFor(*job.huffman, id).WriteDht(out);

  if (job.restartInterval > 0) {
    putMarker(out, 0xDD);
    put16(out, 4);
    put16(out, job.restartInterval);
  }

  putMarker(out, 0xDA);
  put16(out, job.gray ? 8 : 12);
  put8(out, job.gray ? 1 : 3);
  put8(out, 1);
  put8(out, 0x00);
  if (!job.gray) {
    put8(out, 2);
    put8(out, 0x11);
    put8(out, 3);
    put8(out, 0x11);
  }
  put8(out, 0);
  put8(out, 63);
  put8(out, 0);
}

// Headers and entropy-coded data of the image into out (which starts empty), closed with EOI
// also when a step fails. MissingCode passes through unclosed unless this is the last attempt:
// the caller starts again with other tables.
void encodeImage(const EncodeJob& job, std::vector<std::uint8_t>& out) {
  const auto& comps = *job.components;
  Scan scan;
  scan.bitmap = job.bitmap;
  scan.width = job.bitmap->width();
  scan.height = job.bitmap->height();
  scan.gray = job.gray;
  // Luminance H1 × V1 and, in colour, chroma 1 × 1 with H1 and V1 in 1..2: the factors the
  // sampling options give. Each chroma sample is then the pixel at (x × H1, y × V1).
  scan.h1 = comps[0].h;
  scan.v1 = comps[0].v;
  if (scan.h1 < 1 || scan.h1 > 2 || scan.v1 < 1 || scan.v1 > 2 ||
      (!job.gray && (comps[1].h != 1 || comps[1].v != 1 || comps[2].h != 1 || comps[2].v != 1)))
    throw std::logic_error("JpegEx: unexpected sampling factors");

  putMarker(out, 0xD8);
  jpeg::JpegBitWriter writer(out);
  scan.writer = &writer;
  scan.report = &job.report;
  try {
    writeHeaders(job, out);

    const CodeTable dcLum = makeCodeTable(tableFor(*job.huffman, 0x00), false);
    const CodeTable acLum = makeCodeTable(tableFor(*job.huffman, 0x10), true);
    CodeTable dcChroma, acChroma;
    if (!job.gray) {
      dcChroma = makeCodeTable(tableFor(*job.huffman, 0x01), false);
      acChroma = makeCodeTable(tableFor(*job.huffman, 0x11), true);
    }
    std::array<Quantizer, 3> quantizers;
    const int componentCount = job.gray ? 1 : 3;
    for (int i = 0; i < componentCount; ++i) {
      const auto n = static_cast<std::size_t>(i);
      const auto tableId = static_cast<std::size_t>(comps[n].quantTable);
      if (tableId >= job.quantTables->size())
        throw std::logic_error("JpegEx: missing quantisation table");
      quantizers[n] = makeQuantizer((*job.quantTables)[tableId]);
      scan.coders[n].quant = &quantizers[n];
      scan.coders[n].dc = i == 0 ? &dcLum : &dcChroma;
      scan.coders[n].ac = i == 0 ? &acLum : &acChroma;
    }

    const int mcuWidth = 8 * scan.h1, mcuHeight = 8 * scan.v1;
    scan.mcusAcross = (scan.width + mcuWidth - 1) / mcuWidth;
    scan.mcusDown = (scan.height + mcuHeight - 1) / mcuHeight;
    scan.mcuCount = std::int64_t{scan.mcusAcross} * scan.mcusDown;
    scan.paddedWidth = static_cast<std::size_t>(scan.mcusAcross) * mcuWidth;
    scan.chromaWidth = static_cast<std::size_t>(scan.mcusAcross) * 8;
    scan.restartInterval = job.restartInterval;

    // One MCU row: the luminance strip (MCU height rows of the padded width) and the chroma
    // strips (8 rows of one sample per H1 pixels), 128 wherever no pixel lies.
    checkImageSize(static_cast<std::int64_t>(scan.paddedWidth), mcuHeight, 8, *job.limits);
    scan.lum.resize(scan.paddedWidth * static_cast<std::size_t>(mcuHeight));
    if (!job.gray) {
      scan.cb.resize(scan.chromaWidth * 8);
      scan.cr.resize(scan.chromaWidth * 8);
    }

    auto codeRow = codeMcuRowPortable;
#ifdef VEXO_ENCODER_X86
    if (activeLevel() == kAvx2) codeRow = codeMcuRowAvx2;
    if (activeLevel() == kAvx512) codeRow = codeMcuRowAvx512;
#endif
    for (int my = 0; my < scan.mcusDown; ++my) codeRow(scan, my);
    drainBits(scan.bits, scan.words.data(), writer);
    writer.WriteMarker(0xD9);
  } catch (const MissingCode&) {
    if (!job.lastAttempt) throw;
    try {
      drainBits(scan.bits, scan.words.data(), writer);
      writer.WriteMarker(0xD9);
    } catch (...) {
    }
    throw EJpegEx(kJpegInvalid);
  } catch (...) {
    // Close what was written so far; a second failure here must not hide the first.
    try {
      drainBits(scan.bits, scan.words.data(), writer);
      writer.WriteMarker(0xD9);
    } catch (...) {
    }
    throw;
  }
}

}  // namespace

namespace jpeg {

void ConvertBgrRow(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
                   std::uint8_t* cr, int step) {
  bestConvert()(bgr, count, y, cb, cr, step);
}

bool UseEncoderLevel(int level) {
  if (level < 0) level = supportedLevel();
  if (level > supportedLevel()) return false;
  levelState().store(level, std::memory_order_relaxed);
  return true;
}

}  // namespace jpeg

void TJpegEx::setQuality(int quality) {
  quality_ = std::clamp(quality, 1, 100);
  buildQuantTables();
}

void TJpegEx::setSampling(int mode) {
  sampling_ = mode >= 0 && mode <= 2 ? mode : 0;
  samplingMode_ = sampling_;
  applySampling();
}

void TJpegEx::setGrayscale(bool gray) {
  grayscale_ = gray;
  applySampling();
}

void TJpegEx::setRestartInterval(int interval) {
  restartInterval_ = std::clamp(interval, 0, 65535);
}

void TJpegEx::buildQuantTables() {
  // factor = 50 / q below 50, else (100 - q) / 50; entries rounded half to even, then 1..255.
  const int q = std::max(quality_ & 0x7F, 1);
  const double factor = q < 50 ? 50.0 / q : (100 - q) / 50.0;
  QuantTable table;
  for (int k = 0; k < 64; ++k) {
    const double x = kBaseQuant[jpeg::kZigzag[k]] * factor;
    double r = static_cast<double>(static_cast<std::int64_t>(x));  // x >= 0: floor
    const double fraction = x - r;
    if (fraction > 0.5 || (fraction == 0.5 && static_cast<std::int64_t>(r) % 2 != 0)) r += 1;
    table.values[static_cast<std::size_t>(k)] =
        static_cast<std::int16_t>(std::clamp(static_cast<int>(r), 1, 255));
  }
  table.precision = 0;
  quantTables_.assign(2, table);
}

void TJpegEx::applySampling() {
  std::uint8_t h1 = 2, v1 = 2, hc = 1, vc = 1;
  if (sampling_ == 1) v1 = 1;
  if (sampling_ == 2) h1 = v1 = 1;
  if (grayscale_) {
    h1 = v1 = 1;
    hc = vc = 0;
  }
  components_[0].h = h1;
  components_[0].v = v1;
  components_[0].quantTable = 0;
  for (std::size_t i = 1; i < 3; ++i) {
    components_[i].h = hc;
    components_[i].v = vc;
    components_[i].quantTable = 1;
  }
}

void TJpegEx::Encode() {
  if (!bitmap_) return;
  progress(ProgressStage::Starting, 0, "初期化中");
  try {
    const Bitmap& bitmap = *bitmap_;
    if (bitmap.bits() != 24) throw ImageSizeError("unsupported pixel depth");
    if (bitmap.width() > kMaxJpegSide || bitmap.height() > kMaxJpegSide)
      throw ImageSizeError("image is too large for JPEG (65535 pixels at most)");

    // The encoder always writes the factors of the Sampling and Grayscale options (a loaded
    // file's factors are not reused) and the tables of the current Quality.
    applySampling();
    buildQuantTables();
    if (!huffman_) huffman_.emplace(true);

    EncodeJob job;
    job.bitmap = &bitmap;
    job.components = &components_;
    job.quantTables = &quantTables_;
    job.gray = grayscale_;
    job.restartInterval = restartInterval_;
    job.densityUnit = DensityUnit;
    job.xDensity = XDensity;
    job.yDensity = YDensity;
    job.comment = &Comment;
    job.limits = &limits();
    int lastPercent = -1;
    job.report = [this, &lastPercent](int percent) {
      // Only forward: a second attempt (below) does not repeat percentages already reported.
      if (percent > lastPercent) {
        lastPercent = percent;
        progress(ProgressStage::Running, percent, "エンコード中");
      }
    };

    auto bind = [this] {
      const auto& h = *huffman_;
      components_[0].dcTable = h.Find(0x00);
      components_[0].acTable = h.Find(0x10);
      for (std::size_t i = 1; i < 3; ++i) {
        components_[i].dcTable = h.Find(0x01);
        components_[i].acTable = h.Find(0x11);
      }
    };

    data_.clear();
    bind();
    job.huffman = &*huffman_;
    try {
      encodeImage(job, data_);
    } catch (const MissingCode&) {
      // The image's own tables (those of a decoded file) lack a code these data need; such
      // a stream could not be written, so it is written with the standard tables instead.
      huffman_.emplace(true);
      bind();
      job.huffman = &*huffman_;
      data_.clear();
      job.lastAttempt = true;
      encodeImage(job, data_);
    }
    width_ = bitmap.width();
    height_ = bitmap.height();
  } catch (...) {
    progress(ProgressStage::Ending, 100, "");
    throw;
  }
  progress(ProgressStage::Ending, 100, "");
}

}  // namespace vexo
