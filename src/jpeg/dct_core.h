// The shared core of the 8 × 8 transforms: the constants, the block as rows of double vectors,
// the 1-D passes and the transposes, written once over the vector width. dct.cpp instantiates it
// for 2-lane vectors (every 64-bit target), dct_avx2.cpp for 4 lanes and dct_avx512.cpp for 8.
// All perform the same IEEE operations in the same order, so the results are the same.
#pragma once

// No fused multiply-add: AVX-512 brings FMA, and fusing would make its results differ. The rest
// of every file that includes this core is compiled so.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#if defined(__x86_64__)
#include "jpeg/x86_intrinsics.h"
#define VEXO_DCT_X86 1
#define VEXO_TARGET(isa) __attribute__((target(isa)))
#endif

namespace vexo::jpeg::dct {

#define VEXO_INLINE inline __attribute__((always_inline))

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

struct Constants {
  double r = std::cos(std::numbers::pi / 4);                       // cos(π/4)
  double a = std::cos(3 * std::numbers::pi / 8);                   // cos(3π/8)
  double b = std::sqrt(2.0) * std::cos(3 * std::numbers::pi / 8);  // √2 cos(3π/8)
  double c = std::sqrt(2.0) * std::cos(std::numbers::pi / 8);      // √2 cos(π/8)
  alignas(64) double scale[64];                                    // S(u, v) at v * 8 + u

  Constants() {
    std::array<double, 8> f{};  // a(k) / (2 m(k))
    for (std::size_t k = 0; k < 8; ++k) {
      const double alpha = k == 0 ? 1 / std::sqrt(2.0) : 1.0;
      const double m = k == 0 ? 1.0 : 2 * std::cos(static_cast<double>(k) * std::numbers::pi / 16);
      f[k] = alpha / (2 * m);
    }
    for (std::size_t v = 0; v < 8; ++v) {
      for (std::size_t u = 0; u < 8; ++u) {
        const bool exact = (u == 0 || u == 4) && (v == 0 || v == 4);
        scale[v * 8 + u] = exact ? 0.125 : f[u] * f[v];
      }
    }
  }
};

// A block as eight rows of H vectors of type V (8 / H lanes each).
template <class V, int H>
struct Rows {
  V r[8][H];
};

// Forward 1-D pass along the row index, in place, for the columns in r[.][h]: row k becomes
// Y(k) of the eight rows.
template <class V, int H>
VEXO_INLINE void Forward1D(Rows<V, H>& b, int h, const Constants& k) {
  auto& r = b.r;
  const V t0 = r[0][h] + r[7][h], t7 = r[0][h] - r[7][h];
  const V t1 = r[1][h] + r[6][h], t6 = r[1][h] - r[6][h];
  const V t2 = r[2][h] + r[5][h], t5 = r[2][h] - r[5][h];
  const V t3 = r[3][h] + r[4][h], t4 = r[3][h] - r[4][h];

  const V e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
  const V z1 = (e12 + e13) * k.r;

  const V o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
  const V z5 = (o10 - o12) * k.a;
  const V z2 = o10 * k.b + z5;
  const V z4 = o12 * k.c + z5;
  const V z3 = o11 * k.r;
  const V z11 = t7 + z3, z13 = t7 - z3;

  r[0][h] = e10 + e11;
  r[4][h] = e10 - e11;
  r[2][h] = e13 + z1;
  r[6][h] = e13 - z1;
  r[5][h] = z13 + z2;
  r[3][h] = z13 - z2;
  r[1][h] = z11 + z4;
  r[7][h] = z11 - z4;
}

// The transpose of Forward1D: row k holds the weight of Y(k) on input; row n becomes
// sum over k of M(k, n) × weight(k).
template <class V, int H>
VEXO_INLINE void Inverse1D(Rows<V, H>& b, int h, const Constants& k) {
  auto& r = b.r;
  // Even half.
  const V e10 = r[0][h] + r[4][h], e11 = r[0][h] - r[4][h];
  const V z1 = (r[2][h] - r[6][h]) * k.r;
  const V e13 = r[2][h] + r[6][h] + z1;
  const V t0 = e10 + e13, t3 = e10 - e13;
  const V t1 = e11 + z1, t2 = e11 - z1;
  // Odd half.
  const V z13 = r[5][h] + r[3][h], z2 = r[5][h] - r[3][h];
  const V z11 = r[1][h] + r[7][h], z4 = r[1][h] - r[7][h];
  const V z3 = (z11 - z13) * k.r;
  const V z5 = (z2 + z4) * k.a;
  const V o10 = z2 * k.b + z5, o12 = z4 * k.c - z5;
  const V t4 = o10, t5 = o10 + z3, t6 = z3 + o12, t7 = z11 + z13 + o12;

  r[0][h] = t0 + t7;
  r[7][h] = t0 - t7;
  r[1][h] = t1 + t6;
  r[6][h] = t1 - t6;
  r[2][h] = t2 + t5;
  r[5][h] = t2 - t5;
  r[3][h] = t3 + t4;
  r[4][h] = t3 - t4;
}

template <bool kForward, class V, int H>
VEXO_INLINE void Pass(Rows<V, H>& b, const Constants& k) {
#pragma GCC unroll 2
  for (int h = 0; h < H; ++h) {
    if constexpr (kForward) {
      Forward1D(b, h, k);
    } else {
      Inverse1D(b, h, k);
    }
  }
}

// Transposes the 4 × 4 block of rows a, b, c, d in place.
VEXO_INLINE void Transpose4(v4d& a, v4d& b, v4d& c, v4d& d) {
  const v4d t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
  const v4d t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
  const v4d t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  const v4d t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

VEXO_INLINE void Transpose(Rows<v4d, 2>& b) {
  auto& r = b.r;
  Transpose4(r[0][0], r[1][0], r[2][0], r[3][0]);
  Transpose4(r[4][1], r[5][1], r[6][1], r[7][1]);
  Transpose4(r[0][1], r[1][1], r[2][1], r[3][1]);
  Transpose4(r[4][0], r[5][0], r[6][0], r[7][0]);
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const v4d t = r[i][1];
    r[i][1] = r[i + 4][0];
    r[i + 4][0] = t;
  }
}

// 2 × 2 blocks: block (i, j) moves to (j, i) and is transposed itself.
VEXO_INLINE void Transpose(Rows<v2d, 4>& b) {
  auto& r = b.r;
  v2d t[8][4];
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
      t[2 * j][i] = __builtin_shufflevector(r[2 * i][j], r[2 * i + 1][j], 0, 2);
      t[2 * j + 1][i] = __builtin_shufflevector(r[2 * i][j], r[2 * i + 1][j], 1, 3);
    }
  }
  std::memcpy(r, t, sizeof t);
}

// Three rounds of interleaving: pairs of lanes, pairs of pairs, halves.
VEXO_INLINE void Transpose(Rows<v8d, 1>& b) {
  auto& r = b.r;
  v8d t[8], u[8];
#pragma GCC unroll 4
  for (int i = 0; i < 8; i += 2) {
    t[i] = __builtin_shufflevector(r[i][0], r[i + 1][0], 0, 8, 2, 10, 4, 12, 6, 14);
    t[i + 1] = __builtin_shufflevector(r[i][0], r[i + 1][0], 1, 9, 3, 11, 5, 13, 7, 15);
  }
#pragma GCC unroll 2
  for (int i = 0; i < 8; i += 4) {
#pragma GCC unroll 2
    for (int j = 0; j < 2; ++j) {
      u[i + j] = __builtin_shufflevector(t[i + j], t[i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
      u[i + j + 2] = __builtin_shufflevector(t[i + j], t[i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    }
  }
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    r[i][0] = __builtin_shufflevector(u[i], u[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    r[i + 4][0] = __builtin_shufflevector(u[i], u[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

template <class V, int H>
VEXO_INLINE void Scale(Rows<V, H>& b, const Constants& k) {
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 2
    for (int h = 0; h < H; ++h) {
      V s;
      std::memcpy(&s, k.scale + i * 8 + h * (8 / H), sizeof s);
      b.r[i][h] *= s;
    }
  }
}

// The transform between loading and rounding: forward from samples in rows to scaled
// coefficients in rows of vertical frequency; inverse from scaled coefficients to samples.
template <class V, int H>
VEXO_INLINE void ForwardCore(Rows<V, H>& b, const Constants& k) {
  Pass<true>(b, k);  // along y: rows become vertical frequencies
  Transpose(b);
  Pass<true>(b, k);  // along x
  Scale(b, k);       // S is symmetric: its orientation does not matter here
  Transpose(b);
}

template <class V, int H>
VEXO_INLINE void InverseCore(Rows<V, H>& b, const Constants& k) {
  Scale(b, k);
  b.r[0][0][0] += 128.0;  // the level shift, exact: S(0, 0) × 1024
  Pass<false>(b, k);      // vertical frequencies to rows y
  Transpose(b);
  Pass<false>(b, k);  // horizontal frequencies to columns x
  Transpose(b);
}

#ifdef VEXO_DCT_X86
void ForwardAvx2(const std::uint8_t* samples, std::int32_t* coefficients, const Constants& k);
void InverseAvx2(const std::int32_t* coefficients, std::uint8_t* samples, const Constants& k);
void ForwardAvx512(const std::uint8_t* samples, std::int32_t* coefficients, const Constants& k);
void InverseAvx512(const std::int32_t* coefficients, std::uint8_t* samples, const Constants& k);
#endif

}  // namespace vexo::jpeg::dct
