// Colour reduction: the lookups' exact answers, the octree's palettes, the engines' first pixels,
// and the kernel engines against a plain model that keeps one error plane for the whole image.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/colors.h"
#include "gif/dither.h"
#include "gif/lookup.h"
#include "gif/reduce.h"
#include "support/reference.h"

namespace vexo {
namespace {

using Rgb = std::array<int, 3>;

template <class Colour>
Bitmap imageOf(int w, int h, Colour colour) {
  Bitmap b(w, h, 24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const Rgb c = colour(x, y);
      std::uint8_t* p = b.row(y) + 3 * x;
      p[0] = std::uint8_t(c[2]), p[1] = std::uint8_t(c[1]), p[2] = std::uint8_t(c[0]);
    }
  return b;
}

Rgb noise(int x, int y) {
  return {(x * 61 + y * 17) % 256, (x * 29 + y * 83) % 256, (x * y * 7) % 256};
}

std::vector<int> indicesOf(const Bitmap& b) {
  std::vector<int> out;
  for (int y = 0; y < b.height(); ++y) out.insert(out.end(), b.row(y), b.row(y) + b.width());
  return out;
}

// The text of the GIFException fn throws, empty when it throws none.
template <class Fn>
std::string thrownText(Fn fn) {
  try {
    fn();
  } catch (const GIFException& e) {
    return e.what();
  }
  return {};
}

TEST(ReduceLookup, FixedRules) {
  TNetscapeColorLookup cube;
  EXPECT_EQ(cube.MatchColour(255, 0, 0), (ColorMatch{180, 255, 0, 0}));
  EXPECT_EQ(cube.MatchColour(47, 47, 47), (ColorMatch{0, 0, 0, 0}));
  EXPECT_EQ(cube.MatchColour(48, 48, 48), (ColorMatch{43, 51, 51, 51}));
  const int edges[][2] = {{47, 0},  {48, 1},  {98, 1},  {99, 2},  {149, 2},
                          {150, 3}, {200, 3}, {201, 4}, {251, 4}, {252, 5}};
  for (const auto& edge : edges) {
    const auto step = std::uint8_t(edge[1]);
    EXPECT_EQ(cube.MatchColour(0, edge[0], 0),
              (ColorMatch{std::uint8_t(6 * step), 0, std::uint8_t(51 * step), 0}));
  }
  EXPECT_EQ(TMonochromeLookup().MatchColour(128, 127, 127), (ColorMatch{1, 255, 255, 255}));
  EXPECT_EQ(TMonochromeLookup().MatchColour(127, 127, 127), (ColorMatch{0, 0, 0, 0}));
  EXPECT_EQ(TGrayScaleLookup().MatchColour(255, 0, 0), (ColorMatch{76, 76, 76, 76}));  // 19 635
  EXPECT_EQ(TGrayScaleLookup().MatchColour(100, 50, 200).index, 82);                   // 21 000
  EXPECT_EQ(TGrayScaleLookup().MatchColour(255, 255, 255).index, 255);
}

TEST(ReduceLookup, FastLookupTiesAndSharedCells) {
  // Equal distances: the lower index, whichever colour it is.
  EXPECT_EQ(TFastColorLookup({{0, 0, 0}, {100, 0, 0}}).MatchColour(50, 0, 0).index, 0);
  EXPECT_EQ(TFastColorLookup({{100, 0, 0}, {0, 0, 0}}).MatchColour(50, 0, 0).index, 0);
  // The exact colour of entry 2 shares its cell with entry 1, which claimed it first.
  EXPECT_EQ(TFastColorLookup({{200, 0, 0}, {0, 0, 0}, {7, 7, 7}}).MatchColour(7, 7, 7).index, 1);
  // Cell (15, 15, 16) holds colours nearer black and nearer white: the first one decides.
  const Palette bw = {{0, 0, 0}, {255, 255, 255}};
  TFastColorLookup whiteFirst(bw), blackFirst(bw);
  EXPECT_EQ(whiteFirst.MatchColour(127, 127, 135).index, 1);
  EXPECT_EQ(whiteFirst.MatchColour(120, 120, 128), (ColorMatch{1, 255, 255, 255}));
  EXPECT_EQ(blackFirst.MatchColour(120, 120, 128).index, 0);
  EXPECT_EQ(blackFirst.MatchColour(127, 127, 135).index, 0);
}

TEST(ReducePalettes, FixedMethods) {
  const Bitmap any(1, 1, 24);
  const Palette given = {{1, 2, 3, 4}, {5, 6, 7, 0}};
  EXPECT_EQ(ReductionPalette(kReduceWindows20, any), DefaultPalette());
  EXPECT_EQ(ReductionPalette(kReduceWindows256, any), HalftonePalette());
  EXPECT_EQ(ReductionPalette(kReduceGiven, any, &given), given);
  EXPECT_EQ(ReductionPalette(kReduceWindowsGray, any),
            (Palette{{0, 0, 0, 4}, {128, 128, 128, 4}, {192, 192, 192, 4}, {255, 255, 255, 4}}));
  EXPECT_EQ(ReductionPalette(kReduceMonochrome, any), (Palette{{0, 0, 0, 4}, {255, 255, 255, 4}}));
  EXPECT_EQ(ReductionPalette(kReduceGrayScale, any).size(), 256u);
  EXPECT_EQ(ReductionPalette(kReduceGrayScale, any)[77], (PaletteEntry{77, 77, 77, 4}));
  EXPECT_EQ(ReductionPalette(kReduceNetscape, any).size(), 216u);
  EXPECT_EQ(ReductionPalette(kReduceNetscape, any)[101], (PaletteEntry{102, 204, 255, 0}));
}

TEST(ReduceOctree, FewColoursInTreeOrderThenBlack) {
  const Rgb colours[] = {{255, 0, 0}, {0, 0, 255}, {10, 10, 10}};
  const Bitmap image = imageOf(3, 2, [&](int x, int y) { return colours[(x + y) % 3]; });
  Palette expected = {{10, 10, 10}, {0, 0, 255}, {255, 0, 0}};  // first branch r·4 + g·2 + b
  expected.resize(8);
  EXPECT_EQ(ReductionPalette(kReduceOptimized, image, nullptr, 3), expected);
}

TEST(ReduceOctree, ReducesTheNewestDeepestNodeAndTruncatesTheMean) {
  TColorQuantizer tree(3, 8);
  for (const int blue : {0, 1, 254, 255, 255, 255}) tree.AddColor(0, 0, std::uint8_t(blue));
  EXPECT_EQ(tree.LeafCount(), 3);
  EXPECT_EQ(tree.ColorTable(), (Palette{{0, 0, 0}, {0, 0, 1}, {0, 0, 254}}));  // 1019 / 4
  EXPECT_EQ(thrownText([] { TColorQuantizer(8, 9); }), "ColorBits must be 8 or less");
}

TEST(ReduceOctree, SumsOfALargeFlatImageDoNotWrap) {
  TColorQuantizer tree(256, 8);
  for (int i = 0; i < 17'000'000; ++i) tree.AddColor(255, 255, 255);  // 255 × 17 M > 2^32
  EXPECT_EQ(tree.ColorTable(), (Palette{{255, 255, 255}}));
}

TEST(ReduceOctree, WindowsOptimisedFramedByStaticColours) {
  const Bitmap image = imageOf(40, 30, noise);
  const Palette p = ReductionPalette(kReduceOptimizedWindows, image);
  ASSERT_EQ(p.size(), 256u);
  EXPECT_TRUE(std::equal(p.begin(), p.begin() + 10, DefaultPalette().begin()));
  EXPECT_TRUE(std::equal(p.end() - 10, p.end(), DefaultPalette().begin() + 10));
}

TEST(ReduceToPalette, ErrorsAndEmptyResults) {
  const Bitmap image = imageOf(4, 3, noise);
  for (const int bits : {2, 9})
    EXPECT_EQ(thrownText([&] { ReduceToPalette(image, kReduceOptimized, 0, nullptr, bits); }),
              "Invalid Bits Per Pixel value");
  EXPECT_EQ(thrownText([] { ReduceToPalette(Bitmap(), kReduceNetscape, 0); }),
            "Invalid image dimensions");
  EXPECT_TRUE(ReduceToPalette(image, 10, kDitherNearest).empty());
  EXPECT_TRUE(ReduceToPalette(image, kReduceNetscape, 7).empty());
  EXPECT_TRUE(ReduceToPalette(image, kReduceGiven, kDitherNearest).empty());
  EXPECT_EQ(test::bitmapRgb(ReduceToPalette(image, kReduceNone, 0)), test::bitmapRgb(image));
}

// The engine driven by MapPixel, column() and direction() through the Netscape cube.
template <class Engine>
std::vector<int> pixelByPixel(const Bitmap& image) {
  TNetscapeColorLookup cube;
  Engine engine(image.width(), cube);
  std::vector<int> out(std::size_t(image.width()) * image.height());
  for (int y = 0; y < image.height(); ++y, engine.EndRow())
    for (int x = engine.column(); x >= 0 && x < image.width(); x = engine.column()) {
      const std::uint8_t* p = image.row(y) + 3 * x;
      out[std::size_t(y) * image.width() + x] = engine.MapPixel(p[2], p[1], p[0]);
    }
  return out;
}

// Floyd–Steinberg reads each cell one pixel behind the column it completed and keeps a cell
// whose new error is zero; these indices pin that down.
TEST(ReduceToPalette, FloydSteinbergRows) {
  const Bitmap image = imageOf(6, 4, [](int x, int y) {
    return Rgb{(x * 61 + y * 17) % 256, (x * 29 + y * 83) % 256, 51 * ((x + y) % 6)};
  });
  const std::vector<int> want = {0,  37, 80,  117, 196, 59, 13, 86, 93,  166, 29, 60,
                                 20, 99, 136, 179, 36,  43, 69, 82, 155, 156, 49, 86};
  EXPECT_EQ(indicesOf(ReduceToPalette(image, kReduceNetscape, kDitherFloydSteinberg)), want);
  EXPECT_EQ(pixelByPixel<TFloydSteinbergDitherer<TNetscapeColorLookup>>(image), want);
}

// weights[row][offset + margin] with offsets −margin..margin along the scan; empty for nearest.
struct EngineCase {
  int engine;
  std::string name;
  std::vector<int> (*pixelByPixel)(const Bitmap&);
  std::vector<int> greyStart;  // first indices of flat (128, 128, 128) in black and white
  int divisor = 1;
  std::vector<std::vector<int>> weights = {};
};

// Floyd–Steinberg first: the others are checked against the model below.
using L = TNetscapeColorLookup;
// clang-format off
const std::vector<EngineCase> kEngines = {
  {kDitherFloydSteinberg, "FloydSteinberg", pixelByPixel<TFloydSteinbergDitherer<L>>, {1, 0}},
  {kDitherNearest, "Nearest", pixelByPixel<TDitherEngine<L>>, {1, 1, 1, 1}},
  {kDitherStucki, "Stucki", pixelByPixel<TStuckiDitherer<L>>, {1, 0}, 42,
   {{0, 0, 0, 8, 4}, {2, 4, 8, 4, 2}, {1, 2, 4, 2, 1}}},
  {kDitherSierra, "Sierra", pixelByPixel<TSierraDitherer<L>>, {1, 0}, 32,
   {{0, 0, 0, 5, 3}, {2, 4, 5, 4, 2}, {0, 2, 3, 2, 0}}},
  {kDitherJaJuNi, "JarvisJudiceNinke", pixelByPixel<TJaJuNiDitherer<L>>, {1, 0}, 48,
   {{0, 0, 0, 7, 5}, {3, 5, 7, 5, 3}, {1, 3, 5, 3, 1}}},
  {kDitherSteveArche, "StevensonArce", pixelByPixel<TSteveArcheDitherer<L>>, {1, 1, 0}, 200,
   {{0, 0, 0, 0, 0, 32, 0}, {12, 0, 26, 0, 30, 0, 16}, {0, 12, 0, 26, 0, 12, 0},
    {5, 0, 12, 0, 12, 0, 5}}},
  {kDitherBurkes, "Burkes", pixelByPixel<TBurkesDitherer<L>>, {1, 0}, 32,
   {{0, 0, 0, 8, 4}, {2, 4, 8, 4, 2}}},
};
// clang-format on

void PrintTo(const EngineCase& c, std::ostream* os) {
  *os << c.name;
}

std::string caseName(const testing::TestParamInfo<EngineCase>& param) {
  return param.param.name;
}

class ReduceEngine : public testing::TestWithParam<EngineCase> {};

TEST_P(ReduceEngine, FlatMidGreyStart) {
  const Bitmap grey = imageOf(9, 3, [](int, int) { return Rgb{128, 128, 128}; });
  const std::vector<int> got =
      indicesOf(ReduceToPalette(grey, kReduceMonochrome, GetParam().engine));
  const auto& want = GetParam().greyStart;
  EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + std::ptrdiff_t(want.size())), want);
}

// Netscape colours, and given colours one to a cache cell, so that no entry loses its own.
TEST_P(ReduceEngine, PaletteColoursMapExactly) {
  const Palette given = {{3, 200, 17}, {250, 250, 250}, {120, 40, 90}, {0, 0, 0}, {64, 128, 255}};
  for (const int method : {kReduceNetscape, kReduceGiven}) {
    const Palette colours = ReductionPalette(method, Bitmap(1, 1, 24), &given);
    const auto colour = [&](int x, int y) {
      return colours[std::size_t(x * 7 + y * 3) % colours.size()];
    };
    const Bitmap in = imageOf(13, 7, [&](int x, int y) {
      return Rgb{colour(x, y).red, colour(x, y).green, colour(x, y).blue};
    });
    const Bitmap out = ReduceToPalette(in, method, GetParam().engine, &given);
    for (int y = 0; y < in.height(); ++y)
      for (int x = 0; x < in.width(); ++x) ASSERT_EQ(out.palette()[out.row(y)[x]], colour(x, y));
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, ReduceEngine, testing::ValuesIn(kEngines), caseName);

// Every engine but Floyd–Steinberg against a model keeping one error plane for the whole image,
// both through the row loop and pixel by pixel; one pixel wide, rows turn round at once.
class ReduceKernel : public ReduceEngine {};

TEST_P(ReduceKernel, MatchesErrorPlaneModel) {
  const EngineCase& k = GetParam();
  const int rows = int(k.weights.size()), margin = rows ? int(k.weights[0].size()) / 2 : 0;
  for (const int method : {kReduceNetscape, kReduceMonochrome})
    for (const int w : {1, 2, 3, 23}) {
      const int h = 9, plane = w + 2 * margin;
      const Bitmap image = imageOf(w, h, noise);
      std::vector<Rgb> error(std::size_t(plane) * (h + 4));
      std::vector<int> want(std::size_t(w) * h);
      for (int y = 0; y < h; ++y)
        for (int i = 0, dir = y % 2 ? -1 : 1; i < w; ++i) {
          const int x = dir > 0 ? i : w - 1 - i;
          const std::uint8_t* p = image.row(y) + 3 * x;
          const Rgb& cell = error[std::size_t(y) * plane + x + margin];
          Rgb v;
          for (int c = 0; c < 3; ++c)
            v[c] = std::clamp(p[2 - c] + (cell[c] + k.divisor / 2) / k.divisor, 0, 255);
          const ColorMatch m = method == kReduceNetscape
                                   ? TNetscapeColorLookup().MatchColour(v[0], v[1], v[2])
                                   : TMonochromeLookup().MatchColour(v[0], v[1], v[2]);
          want[std::size_t(y) * w + x] = m.index;
          const Rgb e = {v[0] - m.red, v[1] - m.green, v[2] - m.blue};
          for (int r = 0; r < rows; ++r)
            for (int o = -margin; o <= margin; ++o)
              for (int c = 0; c < 3; ++c)
                error[std::size_t(y + r) * plane + x + margin + dir * o][c] +=
                    k.weights[r][o + margin] * e[c];
        }
      EXPECT_EQ(indicesOf(ReduceToPalette(image, method, k.engine)), want) << method << " " << w;
      if (method == kReduceNetscape) {
        EXPECT_EQ(k.pixelByPixel(image), want) << w;
      }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ReduceKernel,
                         testing::ValuesIn(kEngines.begin() + 1, kEngines.end()), caseName);

}  // namespace
}  // namespace vexo
