// The decoder's colour conversion, Y, Cb, Cr to blue, green, red.
#include "jpeg/ycc_to_rgb.h"

#include <algorithm>
#include <array>
#include <climits>
#include <vector>

namespace vexo::jpeg {
namespace {

// Adding and removing 1.5 × 2^52 rounds a double below 2^51 in magnitude to an integer, to
// nearest with ties to even (the default rounding mode), without a library call.
inline int roundHalfEven(double x) {
  constexpr double kMagic = 6755399441055744.0;
  return static_cast<int>((x + kMagic) - kMagic);
}

inline std::uint8_t toByte(int v) {
  return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

// The colour conversion R = round(Y + 1.402 (Cr − 128)), G = round(Y − 0.34414 (Cb − 128) −
// 0.71414 (Cr − 128)), B = round(Y + 1.772 (Cb − 128)) in double precision, rounded half to
// even, as integer offsets added to Y. An offset stands for the formula whenever the value
// added to Y is not within rounding noise of a half: then Y + round(x) = round(Y + x) for every
// integer Y. With the constants exact in decimal, 100000 × (value added) is an integer N, so the
// only such cases are the exact halves (N mod 100000 = 50000: two Cb, Cr pairs for green, two Cb
// values for blue); for those the double formula itself runs, so the result is the formula's in
// every case.
struct ColourTables {
  static constexpr std::int16_t kFormula = INT16_MIN;  // no offset: evaluate the formula
  std::array<std::int16_t, 256> red{}, blue{};
  std::vector<std::int16_t> green;  // by Cb × 256 + Cr
  std::array<double, 256> redCr{}, greenCb{}, greenCr{}, blueCb{};
  // Y + offset limited to 0..255, for Y + offset from -kLimitBias on.
  static constexpr int kLimitBias = 512;
  std::array<std::uint8_t, 2 * kLimitBias + 256> limit{};

  ColourTables() : green(256 * 256) {
    for (int v = 0; v < static_cast<int>(limit.size()); ++v)
      limit[v] = static_cast<std::uint8_t>(std::clamp(v - kLimitBias, 0, 255));
    // Round to nearest of N / 100000, N not a half.
    auto offset = [](std::int64_t n) {
      return static_cast<std::int16_t>((n >= 0 ? n + 50000 : n - 49999) / 100000);
    };
    auto isHalf = [](std::int64_t n) { return ((n % 100000) + 100000) % 100000 == 50000; };
    for (int i = 0; i < 256; ++i) {
      const int d = i - 128;
      redCr[i] = 1.402 * d;
      greenCb[i] = 0.34414 * d;
      greenCr[i] = 0.71414 * d;
      blueCb[i] = 1.772 * d;
      red[i] = isHalf(140200LL * d) ? kFormula : offset(140200LL * d);
      blue[i] = isHalf(177200LL * d) ? kFormula : offset(177200LL * d);
    }
    for (int cb = 0; cb < 256; ++cb)
      for (int cr = 0; cr < 256; ++cr) {
        const std::int64_t n = -34414LL * (cb - 128) - 71414LL * (cr - 128);
        green[cb * 256 + cr] = isHalf(n) ? kFormula : offset(n);
      }
  }
};

const ColourTables& colourTables() {
  static const ColourTables tables;
  return tables;
}

// One row of Y, Cb, Cr samples to blue, green, red.
}  // namespace

void ConvertYccRow(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                   std::uint8_t* out, int width) {
  const ColourTables& t = colourTables();
  const std::int16_t* green = t.green.data();
  const std::uint8_t* limit = t.limit.data() + ColourTables::kLimitBias;
  for (int x = 0; x < width; ++x, out += 3) {
    const int luma = y[x];
    const int r = t.red[cr[x]], g = green[cb[x] << 8 | cr[x]], b = t.blue[cb[x]];
    if (std::min({r, g, b}) == ColourTables::kFormula) [[unlikely]] {
      const double l = luma;
      out[0] = toByte(roundHalfEven(l + t.blueCb[cb[x]]));
      out[1] = toByte(roundHalfEven(l - t.greenCb[cb[x]] - t.greenCr[cr[x]]));
      out[2] = toByte(roundHalfEven(l + t.redCr[cr[x]]));
      continue;
    }
    out[0] = limit[luma + b];
    out[1] = limit[luma + g];
    out[2] = limit[luma + r];
  }
}

}  // namespace vexo::jpeg
