// The quantisation tables of one encode, and the zigzag masks.
#include "jpeg/quantize.h"

#include <algorithm>

namespace vexo::jpeg {

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

const ZigzagMaskTables& zigzagMasks() {
  static const ZigzagMaskTables tables;
  return tables;
}

}  // namespace vexo::jpeg
