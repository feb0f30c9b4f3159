// The channel histogram, the median-cut palette builder and the nearest-entry finder. The finder
// is checked against a plain linear search on random palettes full of duplicates and ties.
#include "imaging/median_cut.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace vexo {
namespace {

// ---- TPalHistgram ----

TPalHistgram histogramOf(std::initializer_list<std::pair<int, int>> valueCounts) {
  TPalHistgram h;
  for (auto [value, count] : valueCounts)
    for (int i = 0; i < count; ++i) h.Add(value);
  return h;
}

TEST(PalHistgram, SumCountsTheRangeAndIsZeroWhenReversed) {
  const TPalHistgram h = histogramOf({{0, 2}, {10, 3}, {255, 5}});
  EXPECT_EQ(h.Sum(0, 255), 10u);
  EXPECT_EQ(h.Sum(0, 0), 2u);
  EXPECT_EQ(h.Sum(1, 254), 3u);
  EXPECT_EQ(h.Sum(10, 10), 3u);
  EXPECT_EQ(h.Sum(11, 255), 5u);
  EXPECT_EQ(h.Sum(255, 0), 0u);
  EXPECT_EQ(h.Sum(11, 10), 0u);
}

struct MeanCase {
  const char* name;
  std::vector<std::pair<int, int>> counts;
  int lo, hi, mean;
};

TEST(PalHistgram, MeanTable) {
  const MeanCase cases[] = {
      {"empty histogram", {}, 0, 255, 0},
      {"nothing inside the range", {{5, 4}}, 6, 255, 0},
      {"reversed range", {{5, 4}}, 9, 2, 0},
      {"one value", {{77, 3}}, 0, 255, 77},
      {"value 0 alone", {{0, 9}}, 0, 255, 0},
      {"value 255 alone", {{255, 9}}, 0, 255, 255},
      // (-128 - 127) / 2 = -127.5 is cut to -127, not floored to -128.
      {"negative moment rounds up", {{0, 1}, {1, 1}}, 0, 255, 1},
      // (126 + 127) / 2 = 126.5 is cut to 126.
      {"positive moment rounds down", {{254, 1}, {255, 1}}, 0, 255, 254},
      // (-128 + 127) / 2 = -0.5 is cut to 0: black and white meet at 128, not 127.
      {"black and white", {{0, 1}, {255, 1}}, 0, 255, 128},
      {"weighted", {{10, 3}, {20, 1}}, 0, 255, 13},          // (-354 - 108) / 4 = -115.5 → -115
      {"weighted high", {{200, 1}, {203, 2}}, 0, 255, 202},  // (72 + 150) / 3 = 74
      {"range excludes outliers", {{0, 100}, {100, 1}, {102, 1}, {255, 100}}, 50, 150, 101},
  };
  for (const auto& c : cases) {
    TPalHistgram h;
    for (auto [value, count] : c.counts)
      for (int i = 0; i < count; ++i) h.Add(value);
    EXPECT_EQ(h.Mean(c.lo, c.hi), c.mean) << c.name;
  }
}

// The split point of a box is the mean over its range: it must stay inside a populated range,
// or the split could produce an empty or reversed box.
TEST(PalHistgram, MeanOfPopulatedRangeStaysInsideIt) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    TPalHistgram h;
    const int spikes = 1 + static_cast<int>(rng() % 6);
    for (int s = 0; s < spikes; ++s) {
      const int value = static_cast<int>(rng() % 256);
      const int count = 1 + static_cast<int>(rng() % 50);
      for (int i = 0; i < count; ++i) h.Add(value);
    }
    for (int k = 0; k < 50; ++k) {
      int lo = static_cast<int>(rng() % 256), hi = static_cast<int>(rng() % 256);
      if (lo > hi) std::swap(lo, hi);
      const int mean = h.Mean(lo, hi);
      if (h.Sum(lo, hi) == 0) {
        EXPECT_EQ(mean, 0);
      } else {
        EXPECT_GE(mean, lo);
        EXPECT_LE(mean, hi);
      }
    }
  }
}

// ---- TMedianColor ----

TEST(MedianColor, SetBitCountKeepsOneToEight) {
  const std::pair<int, int> cases[] = {{-5, 1}, {0, 1}, {1, 1}, {2, 2},
                                       {5, 5},  {8, 8}, {9, 8}, {100, 8}};
  for (auto [given, stored] : cases) {
    TMedianColor m;
    m.SetBitCount(given);
    EXPECT_EQ(m.BitCount(), stored) << given;
  }
}

TEST(MedianColor, PaletteSizeFollowsBitCount) {
  const std::pair<int, std::size_t> cases[] = {{1, 2},   {2, 16},  {3, 16},  {4, 16},
                                               {5, 256}, {6, 256}, {7, 256}, {8, 256}};
  for (auto [bits, size] : cases) {
    TMedianColor m;
    m.SetBitCount(bits);
    m.AddPixel(10, 200, 30);
    m.AddPixel(250, 0, 99);
    m.Build();
    EXPECT_EQ(m.palette().size(), size) << bits;
    EXPECT_LE(m.Count(), 1 << bits);
  }
}

TEST(MedianColor, BlackAndWhiteSplitAtMidGrey) {
  TMedianColor m;
  m.SetBitCount(1);
  for (int i = 0; i < 50; ++i) {
    m.AddPixel(0, 0, 0);
    m.AddPixel(255, 255, 255);
  }
  m.Build();
  ASSERT_EQ(m.Count(), 2);
  ASSERT_EQ(m.palette().size(), 2u);
  EXPECT_EQ(m.palette()[0], (PaletteEntry{0, 128, 128, 0}));
  EXPECT_EQ(m.palette()[1], (PaletteEntry{255, 128, 128, 0}));
  EXPECT_EQ(m.boxes()[0].redMax, 127);
  EXPECT_EQ(m.boxes()[1].redMin, 128);
}

// Every pass splits each box present at its start, along red when all ranges are equal, green
// when green is longest with blue, blue when it alone is longest; the new boxes are appended
// in order. Black and white over three passes therefore give the cube's corners in this order.
TEST(MedianColor, BlackAndWhiteOverThreePassesGiveTheCorners) {
  TMedianColor m;
  m.SetBitCount(3);
  m.AddPixel(0, 0, 0);
  m.AddPixel(255, 255, 255);
  m.Build();
  ASSERT_EQ(m.Count(), 8);
  const PaletteEntry corners[] = {{0, 0, 0, 0},     {255, 0, 0, 0},    {0, 255, 0, 0},
                                  {255, 255, 0, 0}, {0, 0, 255, 0},    {255, 0, 255, 0},
                                  {0, 255, 255, 0}, {255, 255, 255, 0}};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(m.palette()[static_cast<std::size_t>(i)], corners[i]) << i;
  for (std::size_t i = 8; i < 16; ++i) EXPECT_EQ(m.palette()[i], PaletteEntry{}) << i;

  m.SetBitCount(2);
  m.Build();
  ASSERT_EQ(m.Count(), 4);
  const PaletteEntry second[] = {
      {0, 0, 128, 0}, {255, 0, 128, 0}, {0, 255, 128, 0}, {255, 255, 128, 0}};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(m.palette()[static_cast<std::size_t>(i)], second[i]) << i;
}

bool contains(const TMedianColor::Box& b, int r, int g, int bl) {
  return b.redMin <= r && r <= b.redMax && b.greenMin <= g && g <= b.greenMax && b.blueMin <= bl &&
         bl <= b.blueMax;
}

TEST(MedianColor, SingleColourGetsItsOwnExactEntry) {
  const PaletteEntry colours[] = {
      {0, 0, 0, 0}, {255, 255, 255, 0}, {1, 254, 128, 0}, {37, 142, 200, 0}, {128, 128, 128, 0}};
  for (const auto& c : colours) {
    for (int bits = 1; bits <= 8; ++bits) {
      TMedianColor m;
      m.SetBitCount(bits);
      for (int i = 0; i < 20; ++i) m.AddPixel(c.red, c.green, c.blue);
      m.Build();
      int holders = 0;
      for (int i = 0; i < m.Count(); ++i) {
        if (!contains(m.boxes()[static_cast<std::size_t>(i)], c.red, c.green, c.blue)) continue;
        ++holders;
        EXPECT_EQ(m.palette()[static_cast<std::size_t>(i)], c) << "bits " << bits;
      }
      EXPECT_EQ(holders, 1) << "bits " << bits;
    }
  }
}

TEST(MedianColor, NoPixelsGiveABlackPalette) {
  TPalHistgram empty;
  for (int lo = 0; lo < 256; lo += 17)
    for (int hi = lo; hi < 256; hi += 23) EXPECT_EQ(empty.Mean(lo, hi), 0);

  TMedianColor m;
  m.SetBitCount(3);
  m.Build();
  EXPECT_EQ(m.palette().size(), 16u);
  EXPECT_LE(m.Count(), 8);
  EXPECT_GE(m.Count(), 1);
  for (const auto& e : m.palette()) EXPECT_EQ(e, PaletteEntry{});
}

TEST(MedianColor, BuildAgainStartsOver) {
  TMedianColor m;
  m.SetBitCount(8);
  for (int v = 0; v < 256; ++v) m.AddPixel(static_cast<std::uint8_t>(v), 0, 0);
  m.Build();
  const int first = m.Count();
  const Palette palette = m.palette();
  m.Build();
  EXPECT_EQ(m.Count(), first);
  EXPECT_EQ(m.palette(), palette);
}

// Whatever the pixels, the boxes must cut the cube into non-empty, disjoint pieces: skewed
// histograms (everything at one end, single values, two spikes) drive the split point to the
// ends of the ranges, where an off-by-one would produce an empty or reversed box.
TEST(MedianColor, BoxesAlwaysPartitionTheCube) {
  std::mt19937 rng(11);
  using Fill = std::vector<std::array<int, 3>>;
  std::vector<Fill> fills = {
      {},
      {{0, 0, 0}},
      {{255, 255, 255}},
      {{0, 0, 0}, {255, 255, 255}},
      {{255, 0, 0}, {254, 0, 0}, {255, 1, 0}},
      {{0, 255, 0}, {1, 255, 1}},
      {{0, 0, 255}, {0, 0, 0}, {0, 0, 1}},
  };
  for (int k = 0; k < 20; ++k) {
    Fill f;
    const int n = 1 + static_cast<int>(rng() % 300);
    const int spread = 1 << (rng() % 9);  // from single values to the whole range
    const int base = static_cast<int>(rng() % 256);
    for (int i = 0; i < n; ++i) {
      std::array<int, 3> c;
      for (int& v : c) v = std::clamp(base + static_cast<int>(rng() % spread) - spread / 2, 0, 255);
      f.push_back(c);
    }
    fills.push_back(f);
  }
  for (std::size_t fi = 0; fi < fills.size(); ++fi) {
    for (int bits = 1; bits <= 8; ++bits) {
      TMedianColor m;
      m.SetBitCount(bits);
      for (const auto& c : fills[fi])
        m.AddPixel(static_cast<std::uint8_t>(c[0]), static_cast<std::uint8_t>(c[1]),
                   static_cast<std::uint8_t>(c[2]));
      m.Build();
      SCOPED_TRACE("fill " + std::to_string(fi) + " bits " + std::to_string(bits));
      ASSERT_GE(m.Count(), 1);
      ASSERT_LE(m.Count(), 1 << bits);
      std::uint64_t volume = 0;
      for (const auto& b : m.boxes()) {
        ASSERT_TRUE(0 <= b.redMin && b.redMin <= b.redMax && b.redMax <= 255);
        ASSERT_TRUE(0 <= b.greenMin && b.greenMin <= b.greenMax && b.greenMax <= 255);
        ASSERT_TRUE(0 <= b.blueMin && b.blueMin <= b.blueMax && b.blueMax <= 255);
        volume += std::uint64_t(b.redMax - b.redMin + 1) *
                  std::uint64_t(b.greenMax - b.greenMin + 1) *
                  std::uint64_t(b.blueMax - b.blueMin + 1);
      }
      EXPECT_EQ(volume, std::uint64_t{1} << 24);  // with the samples below: no overlap, no gap
      for (int s = 0; s < 200; ++s) {
        const int r = static_cast<int>(rng() % 256), g = static_cast<int>(rng() % 256),
                  b = static_cast<int>(rng() % 256);
        int holders = 0;
        for (const auto& box : m.boxes()) holders += contains(box, r, g, b);
        EXPECT_EQ(holders, 1);
      }
      for (const auto& c : fills[fi]) {
        int holders = 0;
        for (const auto& box : m.boxes()) holders += contains(box, c[0], c[1], c[2]);
        EXPECT_EQ(holders, 1);
      }
      for (std::size_t i = static_cast<std::size_t>(m.Count()); i < m.palette().size(); ++i)
        EXPECT_EQ(m.palette()[i], PaletteEntry{});
    }
  }
}

// ---- TPaletteFinder ----

int linearNearest(const Palette& palette, int active, int r, int g, int b) {
  int best = 0;
  long bestDistance = std::numeric_limits<long>::max();
  for (int i = 0; i < active; ++i) {
    const auto& e = palette[static_cast<std::size_t>(i)];
    const long d = long(r - e.red) * (r - e.red) + long(g - e.green) * (g - e.green) +
                   long(b - e.blue) * (b - e.blue);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}

TEST(PaletteFinder, CountAndActiveTable) {
  struct Case {
    int size, limitBefore, count, activeAfterLoad, limitAfter, activeAfterLimit;
  };
  const Case cases[] = {
      {10, 0, 10, 10, 4, 4},    {10, 4, 10, 4, 0, 10},        {10, 10, 10, 10, 20, 10},
      {10, 20, 10, 10, 9, 9},   {300, 0, 256, 256, 256, 256}, {0, 0, 0, 0, 5, 0},
      {10, -3, 10, 10, -1, 10}, {1, 0, 1, 1, 1, 1},
  };
  for (const auto& c : cases) {
    TPaletteFinder f;
    f.SetLimit(c.limitBefore);
    f.Load(Palette(static_cast<std::size_t>(c.size), PaletteEntry{1, 2, 3, 0}));
    EXPECT_EQ(f.count(), c.count) << c.size << " " << c.limitBefore;
    EXPECT_EQ(f.active(), c.activeAfterLoad) << c.size << " " << c.limitBefore;
    f.SetLimit(c.limitAfter);
    EXPECT_EQ(f.active(), c.activeAfterLimit) << c.size << " " << c.limitAfter;
  }
}

TEST(PaletteFinder, NothingActiveGivesZero) {
  TPaletteFinder f;
  EXPECT_EQ(f.NearestIndex(1, 2, 3), 0);
  f.Load({});
  EXPECT_EQ(f.NearestIndex(255, 255, 255), 0);
}

// A palette drawn from a small pool of values, so that duplicates and equal distances are
// common, or from the whole range.
Palette randomPalette(std::mt19937& rng, int size) {
  static const int pool[] = {0, 1, 31, 32, 64, 96, 127, 128, 160, 200, 254, 255};
  const bool coarse = rng() % 2 == 0;
  Palette p(static_cast<std::size_t>(size));
  for (auto& e : p) {
    auto pick = [&] {
      return static_cast<std::uint8_t>(coarse ? pool[rng() % std::size(pool)] : rng() % 256);
    };
    e.red = pick();
    e.green = pick();
    e.blue = pick();
    e.flags = static_cast<std::uint8_t>(rng());
  }
  for (int d = 0; d < size / 8; ++d)  // duplicates at random places
    p[rng() % p.size()] = p[rng() % p.size()];
  return p;
}

void expectLikeLinear(TPaletteFinder& f, const Palette& palette, std::mt19937& rng, int queries) {
  const int active = f.active();
  for (int q = 0; q < queries; ++q) {
    int r, g, b;
    if (q % 3 == 0) {  // on the coarse grid's midpoints, where ties are likeliest
      r = static_cast<int>(rng() % 9) * 32 - (rng() % 2 ? 0 : 16);
      g = static_cast<int>(rng() % 9) * 32 - (rng() % 2 ? 0 : 16);
      b = static_cast<int>(rng() % 9) * 32 - (rng() % 2 ? 0 : 16);
      r = std::clamp(r, 0, 255), g = std::clamp(g, 0, 255), b = std::clamp(b, 0, 255);
    } else {
      r = static_cast<int>(rng() % 256), g = static_cast<int>(rng() % 256),
      b = static_cast<int>(rng() % 256);
    }
    const int want = linearNearest(palette, active, r, g, b);
    ASSERT_EQ(f.NearestIndex(r, g, b), want)
        << "colour " << r << "," << g << "," << b << " palette size " << palette.size()
        << " active " << active;
    EXPECT_EQ(f.NearestColour(r, g, b), palette[static_cast<std::size_t>(want)]);
  }
}

TEST(PaletteFinder, SameAnswerAsLinearSearch) {
  std::mt19937 rng(2024);
  const int sizes[] = {1, 2, 3, 7, 16, 17, 64, 100, 200, 255, 256};
  for (int size : sizes) {
    for (int round = 0; round < 6; ++round) {
      const Palette palette = randomPalette(rng, size);
      TPaletteFinder f;
      f.Load(palette);
      expectLikeLinear(f, palette, rng, 1500);
      // Limits below, at and above the size, then lifted again.
      for (int limit :
           {1 + static_cast<int>(rng() % static_cast<unsigned>(size)), size, size + 5, 0}) {
        f.SetLimit(limit);
        expectLikeLinear(f, palette, rng, 600);
      }
    }
  }
}

TEST(PaletteFinder, ReloadForgetsThePreviousPalette) {
  std::mt19937 rng(5);
  TPaletteFinder f;
  f.SetLimit(40);
  for (int round = 0; round < 8; ++round) {
    const Palette palette = randomPalette(rng, 1 + static_cast<int>(rng() % 256));
    f.Load(palette);
    expectLikeLinear(f, palette, rng, 1000);
  }
}

// Palettes padded with copies of one colour, as many files carry them.
TEST(PaletteFinder, PaddedPalettes) {
  std::mt19937 rng(17);
  std::vector<Palette> palettes;
  palettes.push_back(Palette(256, PaletteEntry{0, 0, 0, 0}));
  palettes.push_back(Palette(256, PaletteEntry{200, 13, 77, 0}));
  for (int used : {1, 2, 16, 100}) {
    Palette p = randomPalette(rng, used);
    p.resize(256, PaletteEntry{0, 0, 0, 0});
    palettes.push_back(p);
    p.resize(static_cast<std::size_t>(used));
    p.resize(256, p.front());  // padded with its own first colour
    palettes.push_back(p);
  }
  for (const auto& palette : palettes) {
    TPaletteFinder f;
    f.Load(palette);
    expectLikeLinear(f, palette, rng, 3000);
  }
}

// Every colour of a thinned-out cube against one full palette: all cells get built.
TEST(PaletteFinder, SweepOfTheCube) {
  std::mt19937 rng(99);
  const Palette palette = randomPalette(rng, 256);
  TPaletteFinder f;
  f.Load(palette);
  for (int r = 0; r < 256; r += 5)
    for (int g = 2; g < 256; g += 5)
      for (int b = 4; b < 256; b += 5)
        ASSERT_EQ(f.NearestIndex(r, g, b), linearNearest(palette, 256, r, g, b))
            << r << "," << g << "," << b;
}

TEST(PaletteFinder, TiesGoToTheLowestIndex) {
  const Palette palette = {{10, 0, 0, 0}, {12, 0, 0, 0}, {10, 0, 0, 0},
                           {11, 1, 0, 0}, {11, 0, 0, 0}, {11, 0, 0, 0}};
  TPaletteFinder f;
  f.Load(palette);
  EXPECT_EQ(f.NearestIndex(11, 0, 0), 4);
  EXPECT_EQ(f.NearestIndex(10, 0, 0), 0);
  f.SetLimit(4);
  EXPECT_EQ(f.NearestIndex(11, 0, 0), 0);  // 0, 1 and 3 are all at distance 1
  EXPECT_EQ(f.NearestIndex(12, 0, 0), 1);
  f.SetLimit(2);
  EXPECT_EQ(f.NearestIndex(11, 1, 0), 0);
}

TEST(PaletteFinder, ColoursOutsideTheCubeStillGetTheLinearAnswer) {
  std::mt19937 rng(3);
  const Palette palette = randomPalette(rng, 50);
  TPaletteFinder f;
  f.Load(palette);
  const int values[] = {-300, -1, 0, 255, 256, 400};
  for (int r : values)
    for (int g : values)
      for (int b : values) EXPECT_EQ(f.NearestIndex(r, g, b), linearNearest(palette, 50, r, g, b));
}

}  // namespace
}  // namespace vexo
