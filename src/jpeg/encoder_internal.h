// Pieces of the encoder that its tests reach directly.
#pragma once
#include <cstdint>

namespace vexo::jpeg {

// Converts one row of blue, green, red pixels: y (when not null) receives the luminance of every
// pixel; cb and cr (when not null) the chroma of every step-th pixel (step 1 or 2), starting
// with the first. Uses AVX2 when the processor has it and the active level allows it.
void ConvertBgrRow(const std::uint8_t* bgr, int count, std::uint8_t* y, std::uint8_t* cb,
                   std::uint8_t* cr, int step);
// Selects the instruction set of the encoder's hot loops: 0 none beyond the baseline, 1 AVX2,
// 2 AVX-512, -1 the best the processor has (the default). Returns false, changing nothing, for
// a level the processor lacks. Every level writes the same bytes; tests run each.
bool UseEncoderLevel(int level);

}  // namespace vexo::jpeg
