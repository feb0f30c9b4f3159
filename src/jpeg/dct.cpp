// Separable 8 × 8 DCT in double precision.
//
// Both directions use the scaled 8-point factorisation of Arai, Agui and Nakajima: its 1-D pass
// M gives Y(k) = m(k) × sum x(n) cos((2n+1)kπ/16) with m(0) = 1 and m(k) = 2 cos(kπ/16), using
// 5 multiplications. The 2-D results then differ from the defining sums only by the factor
// S(u, v) = a(u) a(v) / (4 m(u) m(v)) per coefficient:
//   forward  F = S ∘ (M f Mᵀ)        inverse  f = Mᵀ (S ∘ F) M
// S is symmetric, and for u, v in {0, 4} it is exactly 1/8. Those four coefficients therefore
// come out exact (sums of integers over 8), so their frequent exact .5 ties, for example the DC
// of a flat block, round to even as defined instead of by floating-point noise. Elsewhere the
// result differs from the direct 64-term sum by a few units in the last place.
//
// The block is held as eight rows of double vectors (two of 4 lanes, or one of 8), so every
// butterfly of a 1-D pass works on eight columns at once; two in-register transposes turn the
// column pass into the row pass and bring the result back to row order. Variants for AVX-512,
// AVX2 and the baseline instruction set follow the codec's level (simd.h). All perform the same
// IEEE operations in the same order (no fused multiply-add) and round with the current rounding
// mode (to nearest, ties to even, as std::nearbyint), so the results do not depend on the
// processor.
#include "jpeg/dct.h"

#include "jpeg/dct_core.h"
#include "jpeg/simd.h"

namespace vexo::jpeg {
namespace {

using namespace dct;

// Portable variant on 2-lane vectors, which every 64-bit target has. Adding 1.5 × 2^52 to a
// double of magnitude below 2^31 rounds it to an integer with the current rounding mode and
// leaves that integer, in two's complement, in the low 32 bits of its representation.
constexpr double kRoundMagic = 6755399441055744.0;

VEXO_INLINE void RoundToInt32(const v2d& x, std::int32_t* out) {
  const v2d shifted = x + kRoundMagic;
  std::int64_t bits[2];
  std::memcpy(bits, &shifted, sizeof bits);
  out[0] = static_cast<std::int32_t>(bits[0]);
  out[1] = static_cast<std::int32_t>(bits[1]);
}

void ForwardGeneric(const std::uint8_t* samples, std::int32_t* coefficients, const Constants& k) {
  Rows<v2d, 4> b;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 4
    for (int h = 0; h < 4; ++h) {
      const std::uint8_t* p = samples + i * 8 + h * 2;
      b.r[i][h] = v2d{static_cast<double>(p[0]), static_cast<double>(p[1])};
    }
  }
  ForwardCore(b, k);
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 4
    for (int h = 0; h < 4; ++h) RoundToInt32(b.r[i][h], coefficients + i * 8 + h * 2);
  }
}

void InverseGeneric(const std::int32_t* coefficients, std::uint8_t* samples, const Constants& k) {
  Rows<v2d, 4> b;
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 4
    for (int h = 0; h < 4; ++h) {
      const std::int32_t* p = coefficients + i * 8 + h * 2;
      b.r[i][h] = v2d{static_cast<double>(p[0]), static_cast<double>(p[1])};
    }
  }
  InverseCore(b, k);
  const v2d zero = {0, 0}, top = {255, 255};
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 4
    for (int h = 0; h < 4; ++h) {
      v2d x = b.r[i][h];
      x = x < zero ? zero : x;
      x = x > top ? top : x;
      std::int32_t values[2];
      RoundToInt32(x, values);
      samples[i * 8 + h * 2] = static_cast<std::uint8_t>(values[0]);
      samples[i * 8 + h * 2 + 1] = static_cast<std::uint8_t>(values[1]);
    }
  }
}

const Constants& constants() {
  static const Constants k;
  return k;
}

// The variant of an instruction-set level (simd.h).
DctVariant variantOf(int level) {
  return level >= kAvx512 ? DctVariant::kAvx512
         : level >= kAvx2 ? DctVariant::kAvx2
                          : DctVariant::kGeneric;
}

}  // namespace

bool DctVariantSupported(DctVariant variant) {
  const int level = SupportedLevel();
  switch (variant) {
    case DctVariant::kGeneric:
      return true;
    case DctVariant::kAvx2:
      return level >= kAvx2;
    case DctVariant::kAvx512:
      return level >= kAvx512;
  }
  return false;
}

void ForwardDct(const std::uint8_t* samples, std::int32_t* coefficients, DctVariant variant) {
  const Constants& k = constants();
  switch (variant) {
#ifdef VEXO_DCT_X86
    case DctVariant::kAvx512:
      ForwardAvx512(samples, coefficients, k);
      break;
    case DctVariant::kAvx2:
      ForwardAvx2(samples, coefficients, k);
      break;
#endif
    default:
      ForwardGeneric(samples, coefficients, k);
      break;
  }
  coefficients[0] -= 1024;
}

void InverseDct(const std::int32_t* coefficients, std::uint8_t* samples, DctVariant variant) {
  const Constants& k = constants();
  switch (variant) {
#ifdef VEXO_DCT_X86
    case DctVariant::kAvx512:
      InverseAvx512(coefficients, samples, k);
      break;
    case DctVariant::kAvx2:
      InverseAvx2(coefficients, samples, k);
      break;
#endif
    default:
      InverseGeneric(coefficients, samples, k);
      break;
  }
}

void ForwardDct(const std::uint8_t* samples, std::int32_t* coefficients) {
  ForwardDct(samples, coefficients, variantOf(ActiveLevel()));
}

void InverseDct(const std::int32_t* coefficients, std::uint8_t* samples) {
  InverseDct(coefficients, samples, variantOf(ActiveLevel()));
}

}  // namespace vexo::jpeg
