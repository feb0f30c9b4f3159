#include "core/colors.h"

#include <array>

namespace vexo {

namespace {

constexpr std::uint32_t rgb(unsigned r, unsigned g, unsigned b) {
  return r | g << 8 | b << 16;
}

// The classic desktop scheme, by system colour index (scroll bar, desktop, active caption, ...,
// menu bar).
constexpr std::array<std::uint32_t, 31> kSystemColors = {
    rgb(212, 208, 200), rgb(58, 110, 165),  rgb(10, 36, 106),   rgb(128, 128, 128),
    rgb(212, 208, 200), rgb(255, 255, 255), rgb(0, 0, 0),       rgb(0, 0, 0),
    rgb(0, 0, 0),       rgb(255, 255, 255), rgb(212, 208, 200), rgb(212, 208, 200),
    rgb(128, 128, 128), rgb(10, 36, 106),   rgb(255, 255, 255), rgb(212, 208, 200),
    rgb(128, 128, 128), rgb(128, 128, 128), rgb(0, 0, 0),       rgb(212, 208, 200),
    rgb(255, 255, 255), rgb(64, 64, 64),    rgb(212, 208, 200), rgb(0, 0, 0),
    rgb(255, 255, 225), rgb(181, 181, 181), rgb(0, 0, 128),     rgb(166, 202, 240),
    rgb(192, 192, 192), rgb(10, 36, 106),   rgb(212, 208, 200),
};

// The stock 20 static colours: entries 0–9 and 246–255 of an 8-bit system palette.
constexpr std::array<std::uint32_t, 20> kStaticColors = {
    rgb(0, 0, 0),       rgb(128, 0, 0),     rgb(0, 128, 0),     rgb(128, 128, 0),
    rgb(0, 0, 128),     rgb(128, 0, 128),   rgb(0, 128, 128),   rgb(192, 192, 192),
    rgb(192, 220, 192), rgb(166, 202, 240), rgb(255, 251, 240), rgb(160, 160, 164),
    rgb(128, 128, 128), rgb(255, 0, 0),     rgb(0, 255, 0),     rgb(255, 255, 0),
    rgb(0, 0, 255),     rgb(255, 0, 255),   rgb(0, 255, 255),   rgb(255, 255, 255),
};

PaletteEntry entryOf(std::uint32_t c) {
  return {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
          static_cast<std::uint8_t>(c >> 16), 0};
}

}  // namespace

std::uint32_t ColorToRGB(ColorValue color) {
  if (color & 0x80000000u) {
    const unsigned index = color & 0xFF;
    return index < kSystemColors.size() ? kSystemColors[index] : 0;
  }
  return color & 0x00FFFFFF;
}

const Palette& DefaultPalette() {
  static const Palette palette = [] {
    Palette p;
    for (const std::uint32_t c : kStaticColors) p.push_back(entryOf(c));
    return p;
  }();
  return palette;
}

const Palette& HalftonePalette() {
  static const Palette palette = [] {
    Palette p(256);
    for (unsigned i = 10; i < 246; ++i)
      p[i] = entryOf(rgb(32 * (i % 8), 32 * (i / 8 % 8), 64 * (i / 64)));
    for (unsigned i = 0; i < 10; ++i) {
      p[i] = entryOf(kStaticColors[i]);
      p[246 + i] = entryOf(kStaticColors[10 + i]);
    }
    return p;
  }();
  return palette;
}

}  // namespace vexo
