// The decoder's colour conversion: R = round(Y + 1.402 (Cr − 128)), G = round(Y − 0.34414
// (Cb − 128) − 0.71414 (Cr − 128)), B = round(Y + 1.772 (Cb − 128)), in double precision
// rounded half to even, through tables of integer offsets.
#pragma once
#include <cstdint>

namespace vexo::jpeg {

// One row of width Y, Cb, Cr samples to blue, green, red.
void ConvertYccRow(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                   std::uint8_t* out, int width);

}  // namespace vexo::jpeg
