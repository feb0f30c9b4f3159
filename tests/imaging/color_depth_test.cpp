// Colour-depth conversion: the depth and format mapping, packing of indices, repacking to 15, 16
// and 32 bits, Floyd-Steinberg diffusion against a plain reference implementation, monochrome,
// and every output depth read back by Pillow from a bitmap file.
#include "imaging/color_depth.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "imaging/edits.h"
#include "imaging/median_cut.h"
#include "input/bmp.h"
#include "support/reference.h"

namespace vexo {
namespace {

using Rgb = std::array<int, 3>;

Bitmap makeBitmap24(int w, int h, const std::function<Rgb(int, int)>& colour) {
  Bitmap b(w, h, 24);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* p = b.row(y);
    for (int x = 0; x < w; ++x, p += 3) {
      const Rgb c = colour(x, y);
      p[0] = static_cast<std::uint8_t>(c[2]);
      p[1] = static_cast<std::uint8_t>(c[1]);
      p[2] = static_cast<std::uint8_t>(c[0]);
    }
  }
  return b;
}

Bitmap randomBitmap24(std::mt19937& rng, int w, int h) {
  return makeBitmap24(w, h, [&](int, int) {
    return Rgb{static_cast<int>(rng() % 256), static_cast<int>(rng() % 256),
               static_cast<int>(rng() % 256)};
  });
}

Rgb pixel24(const Bitmap& b, int x, int y) {
  const std::uint8_t* p = b.row(y) + 3 * x;
  return {p[2], p[1], p[0]};
}

// The index of pixel (x, y) of a 1, 4 or 8-bit bitmap, most significant bits first.
int indexAt(const Bitmap& b, int x, int y) {
  const int bits = b.bits();
  const int bit = x * bits;
  const int byte = b.row(y)[bit / 8];
  return byte >> (8 - bits - bit % 8) & ((1 << bits) - 1);
}

Rgb entryRgb(const PaletteEntry& e) {
  return {e.red, e.green, e.blue};
}

// The lowest index among the first active entries at the smallest squared distance.
int linearNearest(const Palette& palette, int active, const Rgb& c) {
  int best = 0;
  long bestDistance = std::numeric_limits<long>::max();
  for (int i = 0; i < active && i < static_cast<int>(palette.size()); ++i) {
    const auto& e = palette[static_cast<std::size_t>(i)];
    long d = 0;
    for (int k = 0; k < 3; ++k) d += long(c[k] - entryRgb(e)[k]) * (c[k] - entryRgb(e)[k]);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}

// How many entries a finder limited to count uses.
int activeEntries(const Palette& palette, int count) {
  const int size = static_cast<int>(std::min<std::size_t>(palette.size(), 256));
  return count > 0 && count < size ? count : size;
}

// Floyd-Steinberg written out plainly on a grid of ints, top-down.
std::vector<std::vector<Rgb>> referenceDiffuse(std::vector<std::vector<Rgb>> img,
                                               const Palette& palette, int count) {
  const int h = static_cast<int>(img.size()), w = static_cast<int>(img[0].size());
  const int active = activeEntries(palette, count);
  auto addTo = [&](int x, int y, int channel, int amount) {
    if (x < 0 || x >= w || y >= h) return;
    int& v = img[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)][channel];
    v = std::clamp(v + amount, 0, 255);
  };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      Rgb& p = img[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
      const Rgb old = p;
      const Rgb fresh =
          active > 0
              ? entryRgb(palette[static_cast<std::size_t>(linearNearest(palette, active, old))])
              : Rgb{0, 0, 0};
      p = fresh;
      for (int c = 0; c < 3; ++c) {
        const int e = old[c] - fresh[c];
        addTo(x + 1, y, c, e * 7 / 16);
        addTo(x - 1, y + 1, c, e * 3 / 16);
        addTo(x, y + 1, c, e * 5 / 16);
        addTo(x + 1, y + 1, c, e * 1 / 16);
      }
    }
  }
  return img;
}

std::vector<std::vector<Rgb>> gridOf(const Bitmap& b) {
  std::vector<std::vector<Rgb>> g(static_cast<std::size_t>(b.height()));
  for (int y = 0; y < b.height(); ++y)
    for (int x = 0; x < b.width(); ++x) g[static_cast<std::size_t>(y)].push_back(pixel24(b, x, y));
  return g;
}

Palette randomPalette(std::mt19937& rng, int size) {
  Palette p(static_cast<std::size_t>(size));
  for (auto& e : p) {
    e.red = static_cast<std::uint8_t>(rng());
    e.green = static_cast<std::uint8_t>(rng());
    e.blue = static_cast<std::uint8_t>(rng());
  }
  for (int d = 0; d < size / 6; ++d) p[rng() % p.size()] = p[rng() % p.size()];
  return p;
}

TMedianColor medianOf(const Bitmap& b24, int bits) {
  TMedianColor m;
  m.SetBitCount(bits);
  for (int y = 0; y < b24.height(); ++y)
    for (int x = 0; x < b24.width(); ++x) {
      const Rgb c = pixel24(b24, x, y);
      m.AddPixel(static_cast<std::uint8_t>(c[0]), static_cast<std::uint8_t>(c[1]),
                 static_cast<std::uint8_t>(c[2]));
    }
  m.Build();
  return m;
}

// ---- formats ----

TEST(PixelFormats, BitsToPixelFormatTable) {
  const std::pair<int, PixelFormat> cases[] = {
      {-7, PixelFormat::Bits24}, {0, PixelFormat::Bits1},   {1, PixelFormat::Bits1},
      {2, PixelFormat::Bits4},   {3, PixelFormat::Bits4},   {4, PixelFormat::Bits4},
      {5, PixelFormat::Bits8},   {8, PixelFormat::Bits8},   {9, PixelFormat::Bits16},
      {14, PixelFormat::Bits16}, {15, PixelFormat::Bits15}, {16, PixelFormat::Bits16},
      {17, PixelFormat::Bits24}, {24, PixelFormat::Bits24}, {31, PixelFormat::Bits24},
      {32, PixelFormat::Bits32}, {33, PixelFormat::Bits24}, {1000, PixelFormat::Bits24},
  };
  for (auto [bits, format] : cases) EXPECT_EQ(BitsToPixelFormat(bits), format) << bits;
}

TEST(PixelFormats, PixelFormatToBitsAndBack) {
  const std::pair<PixelFormat, int> cases[] = {
      {PixelFormat::Device, 24}, {PixelFormat::Bits1, 1},   {PixelFormat::Bits4, 4},
      {PixelFormat::Bits8, 8},   {PixelFormat::Bits15, 15}, {PixelFormat::Bits16, 16},
      {PixelFormat::Bits24, 24}, {PixelFormat::Bits32, 32}, {PixelFormat::Custom, 0},
  };
  for (auto [format, bits] : cases) EXPECT_EQ(PixelFormatToBits(format), bits);
  for (int bits : {1, 4, 8, 15, 16, 24, 32}) {
    const Bitmap b(3, 2, bits);
    EXPECT_EQ(PixelFormatToBits(PixelFormatOf(b)), bits);
    EXPECT_EQ(BitsToPixelFormat(bits), PixelFormatOf(b));
  }
}

// ---- reduction to a palette ----

TEST(ChangeBitCount, BlackAndWhiteToOneBit) {
  const Bitmap src = makeBitmap24(8, 4, [](int x, int y) {
    return (x + y) % 2 ? Rgb{255, 255, 255} : Rgb{};
  });
  const Bitmap out = ChangeBitCount(src, 1, nullptr, false, false);
  ASSERT_EQ(out.bits(), 1);
  ASSERT_EQ(out.palette().size(), 2u);
  EXPECT_EQ(out.palette()[0], (PaletteEntry{0, 128, 128, 0}));
  EXPECT_EQ(out.palette()[1], (PaletteEntry{255, 128, 128, 0}));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(indexAt(out, x, y), (x + y) % 2) << x << "," << y;
}

TEST(ChangeBitCount, SingleColourMapsToItsOwnEntry) {
  const Rgb colours[] = {{0, 0, 0}, {255, 255, 255}, {12, 200, 99}, {128, 127, 1}};
  for (const Rgb& c : colours) {
    const Bitmap src = makeBitmap24(11, 3, [&](int, int) { return c; });
    for (int bits = 1; bits <= 8; ++bits) {
      for (bool diffuse : {false, true}) {
        const Bitmap out = ChangeBitCount(src, bits, nullptr, false, diffuse);
        for (int y = 0; y < 3; ++y)
          for (int x = 0; x < 11; ++x)
            ASSERT_EQ(entryRgb(out.palette()[static_cast<std::size_t>(indexAt(out, x, y))]), c)
                << "bits " << bits << " diffuse " << diffuse;
      }
    }
  }
}

struct DepthCase {
  int bits, format, paletteSize, maxUsed;
};

TEST(ChangeBitCount, FormatAndPaletteSizePerRequestedDepth) {
  const DepthCase cases[] = {
      {-2, 1, 2, 2},  {0, 1, 2, 2},    {1, 1, 2, 2},    {2, 4, 16, 4},    {3, 4, 16, 8},
      {4, 4, 16, 16}, {5, 8, 256, 32}, {6, 8, 256, 64}, {7, 8, 256, 128}, {8, 8, 256, 256},
  };
  std::mt19937 rng(1);
  const Bitmap src = randomBitmap24(rng, 40, 30);
  for (const auto& c : cases) {
    const Bitmap out = ChangeBitCount(src, c.bits, nullptr, false, false);
    EXPECT_EQ(out.bits(), c.format) << c.bits;
    EXPECT_EQ(out.palette().size(), static_cast<std::size_t>(c.paletteSize)) << c.bits;
    int highest = 0;
    for (int y = 0; y < out.height(); ++y)
      for (int x = 0; x < out.width(); ++x) highest = std::max(highest, indexAt(out, x, y));
    EXPECT_LT(highest, c.maxUsed) << c.bits;
    const TMedianColor m = medianOf(src, c.bits);
    EXPECT_LE(m.Count(), c.maxUsed);
    for (std::size_t i = static_cast<std::size_t>(m.Count()); i < out.palette().size(); ++i)
      EXPECT_EQ(out.palette()[i], PaletteEntry{}) << c.bits << " entry " << i;
  }
}

// Without diffusion every pixel takes the nearest of the median-cut palette's used entries.
TEST(ChangeBitCount, WithoutDiffusionEachPixelIsItsNearestEntry) {
  std::mt19937 rng(21);
  for (int bits = 1; bits <= 8; ++bits) {
    const Bitmap src = randomBitmap24(rng, 1 + static_cast<int>(rng() % 37), 9);
    const Bitmap out = ChangeBitCount(src, bits, nullptr, false, false);
    const TMedianColor m = medianOf(src, bits);
    ASSERT_EQ(out.palette(), m.palette());
    for (int y = 0; y < src.height(); ++y)
      for (int x = 0; x < src.width(); ++x)
        ASSERT_EQ(indexAt(out, x, y), linearNearest(m.palette(), m.Count(), pixel24(src, x, y)))
            << "bits " << bits << " at " << x << "," << y;
  }
}

struct PackCase {
  const char* name;
  int bits;
  Palette palette;
  std::vector<std::vector<int>> indices;        // per row, left to right
  std::vector<std::vector<std::uint8_t>> rows;  // expected stored bytes, padding included
};

Palette distinctPalette(int size) {
  Palette p;
  for (int i = 0; i < size; ++i)
    p.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                 static_cast<std::uint8_t>(i * 7), 0});
  return p;
}

// Images made only of palette colours, so diffusion (always on with a given palette) moves
// nothing and the indices are known.
TEST(ChangeBitCount, PacksIndicesMostSignificantFirst) {
  const PackCase cases[] = {
      {"4 bits, 7 wide",
       4,
       distinctPalette(16),
       {{1, 2, 3, 4, 5, 6, 7}, {15, 14, 13, 12, 11, 10, 9}},
       {{0x12, 0x34, 0x56, 0x70}, {0xFE, 0xDC, 0xBA, 0x90}}},
      {"4 bits, 9 wide",
       4,
       distinctPalette(16),
       {{0, 15, 0, 15, 0, 15, 0, 15, 9}},
       {{0x0F, 0x0F, 0x0F, 0x0F, 0x90, 0, 0, 0}}},
      {"1 bit, 9 wide",
       1,
       {{0, 0, 0, 0}, {255, 255, 255, 0}},
       {{1, 0, 1, 1, 0, 0, 1, 0, 1}, {0, 1, 0, 0, 1, 1, 0, 1, 0}},
       {{0xB2, 0x80, 0, 0}, {0x4D, 0x00, 0, 0}}},
      {"1 bit, 3 wide", 1, {{9, 9, 9, 0}, {200, 0, 0, 0}}, {{0, 1, 1}}, {{0x60, 0, 0, 0}}},
      {"8 bits, 5 wide",
       8,
       distinctPalette(256),
       {{200, 3, 0, 255, 17}},
       {{200, 3, 0, 255, 17, 0, 0, 0}}},
  };
  for (const auto& c : cases) {
    const int h = static_cast<int>(c.indices.size());
    const int w = static_cast<int>(c.indices[0].size());
    const Bitmap src = makeBitmap24(w, h, [&](int x, int y) {
      return entryRgb(c.palette[static_cast<std::size_t>(
          c.indices[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)])]);
    });
    const Bitmap out = ChangeBitCount(src, c.bits, &c.palette, true, false);
    ASSERT_EQ(out.bits(), c.bits) << c.name;
    ASSERT_EQ(out.palette(), c.palette) << c.name;
    ASSERT_EQ(out.stride(), c.rows[0].size()) << c.name;
    for (int y = 0; y < h; ++y) {
      const std::vector<std::uint8_t> got(out.row(y), out.row(y) + out.stride());
      EXPECT_EQ(got, c.rows[static_cast<std::size_t>(y)]) << c.name << " row " << y;
    }
  }
}

TEST(ChangeBitCount, GivenPaletteIsUsedOnlyWhenAsked) {
  std::mt19937 rng(8);
  const Bitmap src = randomBitmap24(rng, 23, 7);
  const Palette given = randomPalette(rng, 40);
  // usePalette with a palette: that palette, cut to what 8 bits can index (all of it here).
  EXPECT_EQ(ChangeBitCount(src, 8, &given, true, false).palette(), given);
  // Without usePalette, or without a palette, the median cut.
  const Palette median = medianOf(src, 8).palette();
  EXPECT_EQ(ChangeBitCount(src, 8, &given, false, false).palette(), median);
  EXPECT_EQ(ChangeBitCount(src, 8, nullptr, true, false).palette(), median);
}

// The given palette is cut to what the depth can index, and only the first 2^bits entries
// receive pixels.
TEST(ChangeBitCount, GivenPaletteIsCutToTheDepth) {
  std::mt19937 rng(12);
  const Bitmap src = randomBitmap24(rng, 31, 17);
  const Palette big = randomPalette(rng, 300);
  struct Case {
    int bits, format;
    std::size_t kept;
    int used;
  };
  const Case cases[] = {{1, 1, 2, 2},   {2, 4, 16, 4},   {3, 4, 16, 8},
                        {4, 4, 16, 16}, {5, 8, 256, 32}, {8, 8, 256, 256}};
  for (const auto& c : cases) {
    const Bitmap out = ChangeBitCount(src, c.bits, &big, true, false);
    EXPECT_EQ(out.bits(), c.format);
    ASSERT_EQ(out.palette().size(), c.kept);
    EXPECT_TRUE(std::equal(out.palette().begin(), out.palette().end(), big.begin()));
    for (int y = 0; y < out.height(); ++y)
      for (int x = 0; x < out.width(); ++x) ASSERT_LT(indexAt(out, x, y), c.used) << c.bits;
  }
  const Palette small = randomPalette(rng, 3);
  const Bitmap out = ChangeBitCount(src, 8, &small, true, false);
  EXPECT_EQ(out.palette(), small);
  for (int y = 0; y < out.height(); ++y)
    for (int x = 0; x < out.width(); ++x) ASSERT_LT(indexAt(out, x, y), 3);
}

// ---- error diffusion ----

TEST(ErrorDiffuse, MatchesThePlainImplementation) {
  std::mt19937 rng(77);
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {17, 13}, {64, 5}};
  for (auto [w, h] : sizes) {
    for (int round = 0; round < 8; ++round) {
      const int size = round == 0 ? 0 : 1 + static_cast<int>(rng() % 256);
      const Palette palette = randomPalette(rng, size);
      const int counts[] = {0, size, size / 2, size + 3, 1, -1};
      const int count = counts[rng() % std::size(counts)];
      Bitmap image = randomBitmap24(rng, w, h);
      const auto expected = referenceDiffuse(gridOf(image), palette, count);
      ErrorDiffuse(image, palette, count);
      ASSERT_EQ(gridOf(image), expected)
          << w << "x" << h << " palette " << size << " count " << count;
    }
  }
}

// ChangeBitCount with diffusion equals the plain diffusion of the source followed by the
// nearest-entry lookup of each diffused pixel.
TEST(ErrorDiffuse, ChangeBitCountDiffusesThenLooksUp) {
  std::mt19937 rng(31);
  for (int round = 0; round < 24; ++round) {
    const int bits = 1 + round % 8;
    const Bitmap src =
        randomBitmap24(rng, 1 + static_cast<int>(rng() % 40), 1 + static_cast<int>(rng() % 20));
    const bool given = round % 3 == 2;
    Palette palette;
    int diffuseCount, lookupCount;
    const int targetBits = PixelFormatToBits(BitsToPixelFormat(bits));
    if (given) {
      palette = randomPalette(rng, 1 + static_cast<int>(rng() % 300));
      if (palette.size() > (std::size_t{1} << targetBits))
        palette.resize(std::size_t{1} << targetBits);
      diffuseCount = 1 << bits;
      lookupCount = static_cast<int>(palette.size());
    } else {
      const TMedianColor m = medianOf(src, bits);
      palette = m.palette();
      diffuseCount = lookupCount = m.Count();
    }
    const auto diffused = referenceDiffuse(gridOf(src), palette, diffuseCount);
    const Bitmap out = given ? ChangeBitCount(src, bits, &palette, true, false)
                             : ChangeBitCount(src, bits, nullptr, false, true);
    ASSERT_EQ(out.palette(), palette);
    for (int y = 0; y < src.height(); ++y)
      for (int x = 0; x < src.width(); ++x)
        ASSERT_EQ(indexAt(out, x, y),
                  linearNearest(palette, lookupCount,
                                diffused[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)]))
            << "round " << round << " at " << x << "," << y;
  }
}

// A grey ramp diffused to black and white: the share of white pixels in each band of columns
// follows the band's grey level.
TEST(ErrorDiffuse, GreyRampToOneBitKeepsTheBrightness) {
  const int w = 256, h = 96;
  const Bitmap ramp = makeBitmap24(w, h, [](int x, int) { return Rgb{x, x, x}; });
  const Palette bw = {{0, 0, 0, 0}, {255, 255, 255, 0}};
  const Bitmap out = ChangeBitCount(ramp, 1, &bw, true, false);
  const int band = 16;
  double previous = -1;
  for (int x0 = 0; x0 < w; x0 += band) {
    int white = 0;
    for (int y = 0; y < h; ++y)
      for (int x = x0; x < x0 + band; ++x) white += indexAt(out, x, y);
    const double share = white / double(band * h);
    const double grey = (x0 + (band - 1) / 2.0) / 255.0;
    EXPECT_NEAR(share, grey, 0.03) << "columns " << x0 << "..";
    EXPECT_GE(share, previous - 0.01) << "columns " << x0 << "..";
    previous = share;
  }

  // Without diffusion the median cut of the ramp is two greys, each pixel going to the nearer.
  const Bitmap plain = ChangeBitCount(ramp, 1, nullptr, false, false);
  for (int y = 0; y < h; y += 7)
    for (int x = 0; x < w; ++x)
      ASSERT_EQ(indexAt(plain, x, y), linearNearest(plain.palette(), 2, Rgb{x, x, x})) << x;
}

TEST(ErrorDiffuse, RefusesWhatIsNot24Bits) {
  const Palette bw = {{0, 0, 0, 0}, {255, 255, 255, 0}};
  for (int bits : {1, 4, 8, 15, 16, 32}) {
    Bitmap b(4, 4, bits);
    EXPECT_THROW(ErrorDiffuse(b, bw, 2), EditError) << bits;
  }
  Bitmap empty;
  EXPECT_THROW(ErrorDiffuse(empty, bw, 2), EditError);
}

// ---- above 8 bits ----

struct RepackCase {
  Rgb colour;
  std::array<std::uint8_t, 2> bits15, bits16;
};

TEST(ChangeBitCount, RepacksTo15And16And32Bits) {
  const RepackCase cases[] = {
      {{255, 128, 16}, {0x02, 0x7E}, {0x02, 0xFC}}, {{7, 3, 7}, {0x00, 0x00}, {0x00, 0x00}},
      {{8, 4, 8}, {0x01, 0x04}, {0x21, 0x08}},      {{255, 255, 255}, {0xFF, 0x7F}, {0xFF, 0xFF}},
      {{0, 255, 0}, {0xE0, 0x03}, {0xE0, 0x07}},    {{0, 0, 0}, {0x00, 0x00}, {0x00, 0x00}},
  };
  const int w = static_cast<int>(std::size(cases));
  const Bitmap src = makeBitmap24(w, 2, [&](int x, int) { return cases[x].colour; });
  for (int bits : {9, 12, 14, 15, 16, 32}) {
    const Bitmap out = ChangeBitCount(src, bits, nullptr, false, false);
    const int format = PixelFormatToBits(BitsToPixelFormat(bits));
    ASSERT_EQ(out.bits(), format) << bits;
    EXPECT_TRUE(out.palette().empty());
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < w; ++x) {
        const std::uint8_t* p = out.row(y) + x * (format == 32 ? 4 : 2);
        if (format == 32) {
          const Rgb& c = cases[x].colour;
          EXPECT_EQ(p[0], c[2]);
          EXPECT_EQ(p[1], c[1]);
          EXPECT_EQ(p[2], c[0]);
          EXPECT_EQ(p[3], 0);
        } else {
          const auto& want = format == 15 ? cases[x].bits15 : cases[x].bits16;
          EXPECT_EQ(p[0], want[0]) << bits << " pixel " << x;
          EXPECT_EQ(p[1], want[1]) << bits << " pixel " << x;
        }
      }
  }
  for (int bits : {17, 24, 31, 33}) {
    const Bitmap out = ChangeBitCount(src, bits, nullptr, false, false);
    EXPECT_EQ(out.bits(), 24);
    EXPECT_EQ(test::bitmapRgb(out), test::bitmapRgb(src));
  }
}

// 5 and 6-bit channels widen and narrow back to themselves, so 16 → 24 → 16 changes nothing;
// indexed sources go through their palette.
TEST(ChangeBitCount, RepacksOtherDepthsThroughTwentyFourBits) {
  std::mt19937 rng(4);
  Bitmap src16(13, 3, 16);
  for (int y = 0; y < 3; ++y)
    for (int i = 0; i < 26; ++i) src16.row(y)[i] = static_cast<std::uint8_t>(rng());
  const Bitmap again = ChangeBitCount(src16, 12, nullptr, false, false);
  ASSERT_EQ(again.bits(), 16);
  for (int y = 0; y < 3; ++y)
    EXPECT_TRUE(std::equal(again.row(y), again.row(y) + 26, src16.row(y))) << y;

  Bitmap indexed(5, 2, 8);
  indexed.palette() = {{255, 128, 16, 0}, {8, 4, 8, 0}};
  indexed.row(0)[0] = 1;
  indexed.row(1)[4] = 1;
  const Bitmap out = ChangeBitCount(indexed, 15, nullptr, false, false);
  EXPECT_TRUE(out.palette().empty());
  EXPECT_EQ(out.row(0)[0], 0x01);
  EXPECT_EQ(out.row(0)[1], 0x04);
  EXPECT_EQ(out.row(0)[2], 0x02);
  EXPECT_EQ(out.row(0)[3], 0x7E);
  EXPECT_EQ(out.row(1)[8], 0x01);
  EXPECT_EQ(out.row(1)[9], 0x04);
}

TEST(ChangeBitCount, SameDepthIsACopy) {
  std::mt19937 rng(6);
  for (int bits : {1, 4, 8, 15, 16, 24, 32}) {
    Bitmap src(7, 5, bits);
    for (std::size_t i = 0; i < src.dataSize(); ++i)
      src.data()[i] = static_cast<std::uint8_t>(rng());
    if (bits <= 8) src.palette() = randomPalette(rng, 1 << bits);
    src.transparent = true;
    src.transparentColor = 0x123456;
    const Palette other = randomPalette(rng, 2);
    const Bitmap out = ChangeBitCount(src, bits, &other, true, true);
    EXPECT_EQ(out.bits(), bits);
    EXPECT_EQ(out.palette(), src.palette());
    EXPECT_TRUE(std::equal(out.data(), out.data() + out.dataSize(), src.data(),
                           src.data() + src.dataSize()))
        << bits;
    EXPECT_TRUE(out.transparent);
    EXPECT_EQ(out.transparentColor, 0x123456u);
  }
}

TEST(ChangeBitCount, IndexedSourcesAreReducedThroughTheirColours) {
  Bitmap src(6, 2, 4);
  src.palette() = {{0, 0, 0, 0}, {255, 255, 255, 0}, {255, 0, 0, 0}};
  src.row(0)[0] = 0x12;  // pixels 0 and 1: white, red
  const Bitmap out = ChangeBitCount(src, 1, nullptr, false, false);
  const Bitmap via24 = ChangeBitCount(ConvertToBitmap24(src), 1, nullptr, false, false);
  EXPECT_EQ(out.palette(), via24.palette());
  EXPECT_TRUE(std::equal(out.data(), out.data() + out.dataSize(), via24.data()));
}

TEST(ChangeBitCount, RefusesABitmapWithoutPixels) {
  const Bitmap empty;
  for (int bits : {1, 8, 16, 24})
    EXPECT_THROW(ChangeBitCount(empty, bits, nullptr, false, false), EditError);
  EXPECT_THROW(MakeMonochrome(empty), EditError);
}

// ---- monochrome ----

TEST(MakeMonochrome, ThresholdAt128) {
  struct Case {
    Rgb colour;
    int white;
  };
  const Case cases[] = {
      {{127, 127, 127}, 0}, {{128, 128, 128}, 1}, {{1, 218, 0}, 1},  // 32777 >> 8 = 128
      {{0, 218, 2}, 0},                                              // 32758 >> 8 = 127
      {{255, 0, 0}, 0},     {{0, 0, 255}, 0},     {{255, 255, 0}, 1},
      {{0, 255, 0}, 1},     {{0, 0, 0}, 0},       {{255, 255, 255}, 1},
  };
  const int w = static_cast<int>(std::size(cases));
  const Bitmap src = makeBitmap24(w, 3, [&](int x, int) { return cases[x].colour; });
  const Bitmap out = MakeMonochrome(src);
  ASSERT_EQ(out.bits(), 1);
  const Palette bw = {{0, 0, 0, 0}, {255, 255, 255, 0}};
  EXPECT_EQ(out.palette(), bw);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < w; ++x) EXPECT_EQ(indexAt(out, x, y), cases[x].white) << x;
}

TEST(MakeMonochrome, AnyDepthGoesThroughItsColours) {
  std::mt19937 rng(15);
  for (int bits : {1, 4, 8, 15, 16, 32}) {
    Bitmap src(19, 4, bits);
    for (std::size_t i = 0; i < src.dataSize(); ++i)
      src.data()[i] = static_cast<std::uint8_t>(rng());
    if (bits <= 8) src.palette() = randomPalette(rng, 1 << bits);
    const Bitmap out = MakeMonochrome(src);
    const Bitmap wide = ConvertToBitmap24(src);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 19; ++x) {
        const Rgb c = pixel24(wide, x, y);
        EXPECT_EQ(indexAt(out, x, y), (77 * c[0] + 150 * c[1] + 29 * c[2]) >> 8 >= 128) << bits;
      }
  }
}

// ---- read back by Pillow ----

TEST(ChangeBitCount, EveryDepthReadsBackWithPillow) {
  test::TempDir dir;
  std::mt19937 rng(40);
  const int w = 13, h = 5;
  const Bitmap src = randomBitmap24(rng, w, h);
  const auto original = test::bitmapRgb(src);
  for (int bits : {1, 4, 8, 15, 16, 24, 32}) {
    for (bool diffuse : {false, true}) {
      SCOPED_TRACE("bits " + std::to_string(bits) + " diffuse " + std::to_string(diffuse));
      const Bitmap out = ChangeBitCount(src, bits, nullptr, false, diffuse);
      ASSERT_EQ(out.bits(), bits);
      const std::string path = dir.file("d" + std::to_string(bits) + ".bmp");
      test::writeFile(path, EncodeBmp(out));
      int pw = 0, ph = 0;
      const auto decoded = test::pillowRgb(path, pw, ph);
      ASSERT_EQ(pw, w);
      ASSERT_EQ(ph, h);
      if (bits <= 8) {
        const TMedianColor m = medianOf(src, bits);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) {
            const std::size_t at =
                (static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)) * 3;
            const Rgb got = {decoded[at], decoded[at + 1], decoded[at + 2]};
            // Pillow shows the palette colour of the packed index...
            EXPECT_EQ(got, entryRgb(out.palette()[static_cast<std::size_t>(indexAt(out, x, y))]));
            // ...which, without diffusion, is the nearest used entry to the source pixel.
            if (!diffuse) {
              EXPECT_EQ(got, entryRgb(m.palette()[static_cast<std::size_t>(
                                 linearNearest(m.palette(), m.Count(), pixel24(src, x, y)))]));
            }
          }
      } else if (bits == 15 || bits == 16) {
        EXPECT_LE(test::maxDifference(decoded, original), 8);
      } else {
        EXPECT_EQ(decoded, original);
      }
    }
  }
}

}  // namespace
}  // namespace vexo
