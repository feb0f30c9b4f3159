// Colour values of the user interface turned into plain colours, and the platform's stock
// palettes that codecs fall back on.
#pragma once
#include <cstdint>

#include "core/bitmap.h"

namespace vexo {

// The plain 0x00BBGGRR colour of a colour value: system colours (top bit set, index in the low
// byte) take the classic desktop scheme's colour, any other value its low three bytes. The
// automatic value is not resolved here: it needs an image.
std::uint32_t ColorToRGB(ColorValue color);

// The platform's stock 20-colour palette: the static colours of an 8-bit system palette, entries
// 0–9 its first ten and 10–19 its last ten.
const Palette& DefaultPalette();

// The 256-entry halftone palette of a true-colour screen: the 20 static colours at 0–9 and
// 246–255, an 8 × 8 × 4 lattice of red, green and blue between them.
const Palette& HalftonePalette();

}  // namespace vexo
