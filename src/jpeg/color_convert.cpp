// The portable colour conversion of the encoder and the choice of the row conversion.
#include "jpeg/color_convert.h"

#include <array>

#include "jpeg/encoder_internal.h"

namespace vexo::jpeg {
namespace {

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
}  // namespace

void ConvertRowPortable(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
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

ConvertFn BestConvert() {
#ifdef VEXO_ENCODER_X86
  if (ActiveLevel() == kAvx512) return ConvertRowAvx512;
  if (ActiveLevel() == kAvx2) return ConvertRowAvx2;
#endif
  return ConvertRowPortable;
}

void ConvertBgrRow(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
                   std::uint8_t* cr, int step) {
  BestConvert()(bgr, count, y, cb, cr, step);
}

}  // namespace vexo::jpeg
