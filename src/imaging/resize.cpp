// ResizeBitmap: the area-integrating resampler over a bilinear reconstruction of the source.
#include "imaging/edits.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "imaging/color_depth.h"
#include "imaging/edits_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexo {

namespace {

// ---------------------------------------------------------------------------------------------
// Resize
//
// A destination pixel integrates the bilinear surface of the source over its footprint. Along
// one axis the footprint [a, b] of destination index d is a = d·scale - 0.5,
// b = (d + 1)·scale - 0.500001 in source-centre coordinates; every unit cell [j, j + 1] it
// touches contributes its overlap u times the linear interpolation of the cell's two end samples
// at the overlap's midpoint c, i.e. weight u·(1 - c) on sample j and u·c on sample j + 1 (both
// clamped to the image). The 2-D surface is the product of two such interpolations, so the
// integral factors into per-column horizontal weights and per-row vertical weights, applied as
// two separable passes in double precision.

// Weights of one axis: destination index d reads count[d] consecutive source samples starting
// at start[d] with the weights at weights[offset[d]...].
struct AxisTaps {
  std::vector<int> start;
  std::vector<int> count;
  std::vector<std::size_t> offset;
  std::vector<double> weights;
  int maxCount = 0;
  int maxFanOut = 0;  // most destination indices that read one source sample
  bool anyEmpty = false;
};

// Overlap of the cell [j, j + 1] with [a, b]: its length and its midpoint measured from j.
inline void cellOverlap(double j, double a, double b, double& length, double& middle) {
  if (j > a && j + 1 < b) {
    length = 1;
    middle = 0.5;
  } else if (j <= a && j + 1 < b) {
    length = 1 - (a - j);
    middle = (a - j + 1) / 2;
  } else if (j > a && j + 1 >= b) {
    length = b - j;
    middle = (b - j) / 2;
  } else {
    length = b - a;
    middle = ((b - j) + (a - j)) / 2;
  }
}

AxisTaps buildTaps(int sourceSize, int targetSize) {
  const double scale = static_cast<double>(sourceSize) / targetSize;
  AxisTaps taps;
  const auto n = static_cast<std::size_t>(targetSize);
  taps.start.resize(n);
  taps.count.resize(n);
  taps.offset.resize(n);
  std::vector<int> fanOut(static_cast<std::size_t>(sourceSize) + 1, 0);  // difference array
  const long long last = sourceSize - 1;
  for (int d = 0; d < targetSize; ++d) {
    const auto i = static_cast<std::size_t>(d);
    const double a = static_cast<double>(d) * scale - 0.5;
    const double b = static_cast<double>(d + 1) * scale - 0.500001;
    const auto firstCell = static_cast<long long>(std::floor(a));
    const auto lastCell = static_cast<long long>(std::floor(b));
    taps.offset[i] = taps.weights.size();
    if (lastCell < firstCell) {  // a footprint narrower than 1e-6 can miss every cell
      taps.start[i] = d > 0 ? taps.start[i - 1] : 0;
      taps.count[i] = 0;
      taps.anyEmpty = true;
      continue;
    }
    const long long first = std::clamp(firstCell, 0LL, last);
    const long long end = std::clamp(lastCell + 1, first, last);
    taps.start[i] = static_cast<int>(first);
    taps.count[i] = static_cast<int>(end - first + 1);
    taps.maxCount = std::max(taps.maxCount, taps.count[i]);
    taps.weights.resize(taps.weights.size() + static_cast<std::size_t>(taps.count[i]), 0.0);
    double* w = taps.weights.data() + taps.offset[i];
    for (long long j = firstCell; j <= lastCell; ++j) {
      double length = 0, middle = 0;
      cellOverlap(static_cast<double>(j), a, b, length, middle);
      w[std::clamp(j, 0LL, last) - first] += length * (1 - middle);
      w[std::clamp(j + 1, 0LL, last) - first] += length * middle;
    }
    ++fanOut[static_cast<std::size_t>(first)];
    --fanOut[static_cast<std::size_t>(end) + 1];
  }
  int open = 0;
  for (int s = 0; s < sourceSize; ++s) {
    open += fanOut[static_cast<std::size_t>(s)];
    taps.maxFanOut = std::max(taps.maxFanOut, open);
  }
  return taps;
}

// Two doubles at a time (SSE2 on x86-64, NEON on AArch64, plain code elsewhere).
using Lanes = double __attribute__((vector_size(16)));

inline Lanes load2(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, Lanes v) {
  std::memcpy(p, &v, sizeof v);
}
inline Lanes splat(double w) {
  return Lanes{w, w};
}

// A row of bytes widened to doubles.
void widenRow(const std::uint8_t* __restrict in, std::size_t n, double* __restrict out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i words[2] = {_mm_unpacklo_epi8(bytes, zero), _mm_unpackhi_epi8(bytes, zero)};
    for (int half = 0; half < 2; ++half) {
      const __m128i low = _mm_unpacklo_epi16(words[half], zero);
      const __m128i high = _mm_unpackhi_epi16(words[half], zero);
      double* o = out + i + 8 * static_cast<std::size_t>(half);
      _mm_storeu_pd(o, _mm_cvtepi32_pd(low));
      _mm_storeu_pd(o + 2, _mm_cvtepi32_pd(_mm_shuffle_epi32(low, 0xEE)));
      _mm_storeu_pd(o + 4, _mm_cvtepi32_pd(high));
      _mm_storeu_pd(o + 6, _mm_cvtepi32_pd(_mm_shuffle_epi32(high, 0xEE)));
    }
  }
#endif
  for (; i < n; ++i) out[i] = in[i];
}

// acc (=|+=) the weighted sum of M rows, over len doubles (len even).
template <int M, bool Add>
void sumRows(double* __restrict acc, const double* const* rows, const double* weights,
             std::size_t len) {
  const double* __restrict r0 = rows[0];
  const double* __restrict r1 = M > 1 ? rows[1] : r0;
  const double* __restrict r2 = M > 2 ? rows[2] : r0;
  const double* __restrict r3 = M > 3 ? rows[3] : r0;
  const Lanes w0 = splat(weights[0]);
  const Lanes w1 = splat(M > 1 ? weights[1] : 0);
  const Lanes w2 = splat(M > 2 ? weights[2] : 0);
  const Lanes w3 = splat(M > 3 ? weights[3] : 0);
  for (std::size_t i = 0; i < len; i += 2) {
    Lanes v = w0 * load2(r0 + i);
    if constexpr (M > 1) v += w1 * load2(r1 + i);
    if constexpr (M > 2) v += w2 * load2(r2 + i);
    if constexpr (M > 3) v += w3 * load2(r3 + i);
    if constexpr (Add) v += load2(acc + i);
    store2(acc + i, v);
  }
}

// acc = (accumulate ? acc : 0) + Σ weights[k]·rows[k], four rows per sweep.
void weightedSum(double* acc, const double* const* rows, const double* weights, int n,
                 std::size_t len, bool accumulate) {
  for (int k = 0; k < n; k += 4, accumulate = true) {
    const int m = std::min(4, n - k);
    const double* const* r = rows + k;
    const double* w = weights + k;
    if (accumulate) {
      switch (m) {
        case 1:
          sumRows<1, true>(acc, r, w, len);
          break;
        case 2:
          sumRows<2, true>(acc, r, w, len);
          break;
        case 3:
          sumRows<3, true>(acc, r, w, len);
          break;
        default:
          sumRows<4, true>(acc, r, w, len);
          break;
      }
    } else {
      switch (m) {
        case 1:
          sumRows<1, false>(acc, r, w, len);
          break;
        case 2:
          sumRows<2, false>(acc, r, w, len);
          break;
        case 3:
          sumRows<3, false>(acc, r, w, len);
          break;
        default:
          sumRows<4, false>(acc, r, w, len);
          break;
      }
    }
  }
}

// The horizontal weights again with every destination pixel reading the same number of source
// pixels (short footprints padded with zero weights, the start moved left at the right edge),
// each weight stored twice for two-lane multiplies. Built when that number is small, so the
// inner loop has a fixed length.
struct FixedTaps {
  int count = 0;
  std::vector<int> start;
  std::vector<double> weights;  // 2·count per destination pixel
};

FixedTaps makeFixedTaps(const AxisTaps& taps, int sourceSize) {
  constexpr int kMaxFixed = 8;
  FixedTaps fixed;
  if (taps.anyEmpty || taps.maxCount > kMaxFixed) return fixed;
  fixed.count = taps.maxCount;
  const std::size_t n = taps.start.size();
  const auto count = static_cast<std::size_t>(fixed.count);
  fixed.start.resize(n);
  fixed.weights.assign(n * count * 2, 0.0);
  for (std::size_t x = 0; x < n; ++x) {
    const int start = std::min(taps.start[x], sourceSize - fixed.count);
    fixed.start[x] = start;
    double* w = fixed.weights.data() + x * count * 2;
    const auto shift = static_cast<std::size_t>(taps.start[x] - start);
    for (std::size_t k = 0; k < static_cast<std::size_t>(taps.count[x]); ++k) {
      w[2 * (k + shift)] = taps.weights[taps.offset[x] + k];
      w[2 * (k + shift) + 1] = taps.weights[taps.offset[x] + k];
    }
  }
  return fixed;
}

template <int N>
void resampleAcrossFixed(const double* __restrict in, const FixedTaps& taps,
                         double* __restrict out) {
  const std::size_t targetWidth = taps.start.size();
  const double* w = taps.weights.data();
  for (std::size_t x = 0; x < targetWidth; ++x, out += 3, w += 2 * N) {
    const double* s = in + static_cast<std::size_t>(taps.start[x]) * 3;
    Lanes blueGreen = w[0] * load2(s);
    double red = w[0] * s[2];
    for (int k = 1; k < N; ++k) {
      blueGreen += load2(w + 2 * k) * load2(s + 3 * k);
      red += w[2 * k] * s[3 * k + 2];
    }
    store2(out, blueGreen);
    out[2] = red;
  }
}

// One row of 3-channel doubles resampled across: out gets 3 doubles per destination pixel.
void resampleAcross(const double* __restrict in, const AxisTaps& taps, const FixedTaps& fixed,
                    double* __restrict out) {
  switch (fixed.count) {
    case 1:
      return resampleAcrossFixed<1>(in, fixed, out);
    case 2:
      return resampleAcrossFixed<2>(in, fixed, out);
    case 3:
      return resampleAcrossFixed<3>(in, fixed, out);
    case 4:
      return resampleAcrossFixed<4>(in, fixed, out);
    case 5:
      return resampleAcrossFixed<5>(in, fixed, out);
    case 6:
      return resampleAcrossFixed<6>(in, fixed, out);
    case 7:
      return resampleAcrossFixed<7>(in, fixed, out);
    case 8:
      return resampleAcrossFixed<8>(in, fixed, out);
    default:
      break;
  }
  const std::size_t targetWidth = taps.start.size();
  const double* weights = taps.weights.data();
  for (std::size_t x = 0; x < targetWidth; ++x, out += 3) {
    const double* w = weights + taps.offset[x];
    const double* s = in + static_cast<std::size_t>(taps.start[x]) * 3;
    const int n = taps.count[x];
    double b = 0, g = 0, r = 0;
    for (int k = 0; k < n; ++k, s += 3) {
      b += w[k] * s[0];
      g += w[k] * s[1];
      r += w[k] * s[2];
    }
    out[0] = b;
    out[1] = g;
    out[2] = r;
  }
}

// Nearest integer, ties to even, of v clamped to 0..255: adding and removing 1.5·2^52 leaves
// the integer the round-to-nearest-even mode picks.
inline std::uint8_t roundToByte(double v) {
  constexpr double kShift = 6755399441055744.0;
  v = std::min(std::max(v, 0.0), 255.0);
  return static_cast<std::uint8_t>(static_cast<int>((v + kShift) - kShift));
}

// out = sums · scale rounded to nearest, ties to even, clamped to 0..255. The SSE2 conversion
// rounds in the same default mode and the saturating packs do the clamping.
void storeRow(const double* __restrict sums, std::size_t n, double scale,
              std::uint8_t* __restrict out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128d factor = _mm_set1_pd(scale);
  auto convert = [&](std::size_t at) {
    return _mm_cvtpd_epi32(_mm_mul_pd(_mm_loadu_pd(sums + at), factor));
  };
  for (; i + 8 <= n; i += 8) {
    const __m128i low = _mm_unpacklo_epi64(convert(i), convert(i + 2));
    const __m128i high = _mm_unpacklo_epi64(convert(i + 4), convert(i + 6));
    const __m128i words = _mm_packs_epi32(low, high);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
  }
#endif
  for (; i < n; ++i) out[i] = roundToByte(sums[i] * scale);
}

// Rows of doubles for the vertical pass, slot index mod size: the last few source rows (each
// destination row gathers its taps from them) or the few destination rows still open (each
// source row is scattered into them).
class RowRing {
 public:
  RowRing(std::size_t rows, std::size_t len) : rows_(std::max<std::size_t>(rows, 1)), len_(len) {
    data_.resize(rows_ * len_);
  }
  double* operator[](int index) {
    return data_.data() + static_cast<std::size_t>(index) % rows_ * len_;
  }

 private:
  std::size_t rows_, len_;
  std::vector<double> data_;
};

// Both passes over a 24-bit source, never holding more than a few rows of doubles. Either order
// gives the same sums up to rounding, so the one with less work runs: horizontal first
// resamples every source row across and then combines w-wide rows, vertical first combines
// W-wide source rows and resamples only h rows across. Combining runs two lanes wide over
// contiguous rows, resampling across is a gather, hence its weight of 2 per value in the
// estimate. The vertical pass gathers from a ring of source rows when a destination row has
// few taps (up to 8, or upscaling), and otherwise scatters each source row into the two or
// three destination rows it feeds, so a large vertical reduction does not need H/h rows.
void resample24(const Bitmap& source, Bitmap& target) {
  const int W = source.width(), H = source.height();
  const int w = target.width(), h = target.height();
  // Sums are divided by the nominal area (W·H)/w/h; multiplying by its reciprocal differs from
  // the division by an ulp at most.
  const double inverseArea = 1 / (static_cast<double>(W) * static_cast<double>(H) / w / h);
  const AxisTaps across = buildTaps(W, w);
  const FixedTaps acrossFixed = makeFixedTaps(across, W);
  const AxisTaps down = buildTaps(H, h);
  const auto sourceValues = static_cast<std::size_t>(W) * 3;
  const auto targetValues = static_cast<std::size_t>(w) * 3;

  const auto sumAcross = static_cast<double>(across.weights.size());
  const auto sumDown = static_cast<double>(down.weights.size());
  const double acrossFirst = 2 * 3 * sumAcross * H + sumDown * static_cast<double>(targetValues);
  const double downFirst = sumDown * static_cast<double>(sourceValues) + 2 * 3 * sumAcross * h;
  const bool verticalFirst = downFirst < acrossFirst;

  const std::size_t len = ((verticalFirst ? sourceValues : targetValues) + 1) & ~std::size_t{1};
  std::vector<double> widened(sourceValues + 2);
  std::vector<double> combined(len), resampled(targetValues + 2);
  // Source row r as len doubles: widened, and resampled across when that comes first.
  auto produce = [&](int r, double* out) {
    if (verticalFirst) {
      widenRow(source.row(r), sourceValues, out);  // a padding lane stays 0
    } else {
      widenRow(source.row(r), sourceValues, widened.data());
      resampleAcross(widened.data(), across, acrossFixed, out);
    }
  };
  auto finish = [&](const double* sums, int y) {
    if (verticalFirst) {
      resampleAcross(sums, across, acrossFixed, resampled.data());
      sums = resampled.data();
    }
    storeRow(sums, targetValues, inverseArea, target.row(y));
  };
  auto finishEmpty = [&](int y) { std::memset(target.row(y), 0, targetValues); };

  std::vector<const double*> rows(static_cast<std::size_t>(std::max(down.maxCount, 1)));
  constexpr int kMaxGatherRows = 8;
  const bool gather = down.anyEmpty || down.maxCount <= std::max(down.maxFanOut, kMaxGatherRows);
  if (gather) {
    RowRing ring(static_cast<std::size_t>(down.maxCount), len);
    int next = 0;  // first source row not yet produced
    for (int y = 0; y < h; ++y) {
      const auto i = static_cast<std::size_t>(y);
      const int n = down.count[i];
      if (n == 0) {
        finishEmpty(y);
        continue;
      }
      const int first = down.start[i];
      for (next = std::max(next, first); next < first + n; ++next) produce(next, ring[next]);
      for (int k = 0; k < n; ++k) rows[static_cast<std::size_t>(k)] = ring[first + k];
      weightedSum(combined.data(), rows.data(), down.weights.data() + down.offset[i], n, len,
                  false);
      finish(combined.data(), y);
    }
  } else {
    // No empty footprints here, so every destination row opens at its first source row and
    // closes after its last one, in order.
    RowRing ring(static_cast<std::size_t>(down.maxFanOut), len);
    std::vector<double> row(len, 0.0);
    const double* rowPointer = row.data();
    auto last = [&](int y) {
      const auto i = static_cast<std::size_t>(y);
      return down.start[i] + down.count[i] - 1;
    };
    int done = 0;    // destination rows before this one are stored
    int opened = 0;  // destination rows before this one have their first source row
    for (int r = 0; r < H && done < h; ++r) {
      for (; done < h && last(done) < r; ++done) finish(ring[done], done);
      if (done == h || down.start[static_cast<std::size_t>(done)] > r) continue;
      produce(r, row.data());
      for (int y = done; y < h && down.start[static_cast<std::size_t>(y)] <= r; ++y) {
        const auto i = static_cast<std::size_t>(y);
        const double* weight =
            &down.weights[down.offset[i] + static_cast<std::size_t>(r - down.start[i])];
        weightedSum(ring[y], &rowPointer, weight, 1, len, y < opened);
        opened = std::max(opened, y + 1);
      }
    }
    for (; done < h; ++done) finish(ring[done], done);
  }
  clearPadding(target, targetValues);
}

}  // namespace

Bitmap ResizeBitmap(const Bitmap& source, int width, int height) {
  if (source.empty()) throw EditError("the bitmap has no pixels");
  if (width < 1 || height < 1) throw EditError("the target size has no pixels");
  Bitmap target(width, height, 24);
  if (source.bits() == 24) {
    resample24(source, target);
  } else {
    resample24(ConvertToBitmap24(source), target);
  }
  return target;
}

}  // namespace vexo
