// The colour lookups of the reduction pass: each maps an RGB triple to a palette index and that
// entry's colour, which the dithering engines need to measure the error. They are concrete
// classes with inline fast paths, so the engines, templated on the lookup, make no per-pixel
// virtual call.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "core/bitmap.h"

namespace vexo {

struct ColorMatch {
  std::uint8_t index, red, green, blue;
  bool operator==(const ColorMatch&) const = default;
};

// Nearest entry by |dR| + |dG| + |dB|, lowest index on ties, with an inverse table of 32 768
// cells keyed on 5 bits a channel: a cell keeps the answer of the first colour looked up in it.
class TFastColorLookup {
 public:
  explicit TFastColorLookup(const Palette& palette);
  ColorMatch MatchColour(int red, int green, int blue) {
    const unsigned cell =
        unsigned(blue >> 3) << 10 | unsigned(green >> 3) << 5 | unsigned(red >> 3);
    std::uint16_t index = cache_[cell];
    if (index == kUnknown) index = cache_[cell] = search(red, green, blue);
    return entries_[index];
  }

 private:
  static constexpr std::uint16_t kUnknown = 0xFFFF;
  std::uint16_t search(int red, int green, int blue) const;
  std::vector<ColorMatch> entries_;
  std::vector<std::uint16_t> cache_;
};

// The 216-colour cube: each channel to step (c + 3) div 51, index 36r + 6g + b.
class TNetscapeColorLookup {
 public:
  ColorMatch MatchColour(int red, int green, int blue) const {
    const auto& t = table();
    const int r = t[red], g = t[green], b = t[blue];
    return {static_cast<std::uint8_t>(36 * r + 6 * g + b), static_cast<std::uint8_t>(51 * r),
            static_cast<std::uint8_t>(51 * g), static_cast<std::uint8_t>(51 * b)};
  }

 private:
  static const std::array<std::uint8_t, 256>& table() {
    static constexpr std::array<std::uint8_t, 256> steps = [] {
      std::array<std::uint8_t, 256> s{};
      for (int c = 0; c < 256; ++c) s[c] = static_cast<std::uint8_t>((c + 3) / 51);
      return s;
    }();
    return steps;
  }
};

// 256 grey levels: y = (77R + 150G + 29B) shr 8.
class TGrayScaleLookup {
 public:
  ColorMatch MatchColour(int red, int green, int blue) const {
    const auto y = static_cast<std::uint8_t>((77 * red + 150 * green + 29 * blue) >> 8);
    return {y, y, y, y};
  }
};

// Black and white: white when 77R + 150G + 29B exceeds 32 512.
class TMonochromeLookup {
 public:
  ColorMatch MatchColour(int red, int green, int blue) const {
    return 77 * red + 150 * green + 29 * blue > 32512 ? ColorMatch{1, 255, 255, 255}
                                                      : ColorMatch{0, 0, 0, 0};
  }
};

}  // namespace vexo
