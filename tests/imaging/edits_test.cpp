// Geometric edits. The resize is checked pixel by pixel against a literal cell-by-cell
// integration of the bilinear surface (the oracle below), the transforms against a per-pixel
// get/set written here from the bitmap layout.
#include "imaging/edits.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace vexo {
namespace {

// ---------------------------------------------------------------------------------------------
// Test images

struct Rgb {
  int r = 0, g = 0, b = 0;
};

using Pattern = std::function<Rgb(int x, int y, int w, int h, std::mt19937& rng)>;

Bitmap makeImage24(int w, int h, const Pattern& pattern, unsigned seed = 1) {
  std::mt19937 rng(seed);
  Bitmap image(w, h, 24);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* p = image.row(y);
    for (int x = 0; x < w; ++x, p += 3) {
      const Rgb c = pattern(x, y, w, h, rng);
      p[0] = static_cast<std::uint8_t>(c.b);
      p[1] = static_cast<std::uint8_t>(c.g);
      p[2] = static_cast<std::uint8_t>(c.r);
    }
  }
  return image;
}

Rgb noise(int, int, int, int, std::mt19937& rng) {
  std::uniform_int_distribution<int> d(0, 255);
  return {d(rng), d(rng), d(rng)};
}

Rgb gradient(int x, int y, int w, int h, std::mt19937&) {
  return {x * 255 / std::max(1, w - 1), y * 255 / std::max(1, h - 1), (x + y) * 255 / (w + h)};
}

// Hard edges: a checkerboard of 3-pixel squares in two saturated colours with a white bar.
Rgb edges(int x, int y, int, int, std::mt19937&) {
  if (x % 7 == 5) return {255, 255, 255};
  return (x / 3 + y / 3) % 2 ? Rgb{255, 0, 40} : Rgb{0, 30, 255};
}

Rgb pixel24(const Bitmap& b, int x, int y) {
  const std::uint8_t* p = b.row(y) + 3 * x;
  return {p[2], p[1], p[0]};
}

// ---------------------------------------------------------------------------------------------
// The oracle: every destination pixel is the sum, over the unit cells between four source pixel
// centres that its footprint touches, of the overlap area times the bilinear surface at the
// overlap's midpoint. Returns the three channel sums (blue, green, red) before the division by
// the nominal area.

void oracleOverlap(double j, double lo, double hi, double& length, double& middle) {
  if (j > lo && j + 1 < hi) {
    length = 1;
    middle = 0.5;
  } else if (j <= lo && j + 1 < hi) {
    length = 1 - (lo - j);
    middle = (lo - j + 1) / 2;
  } else if (j > lo && j + 1 >= hi) {
    length = hi - j;
    middle = (hi - j) / 2;
  } else {
    length = hi - lo;
    middle = ((hi - j) + (lo - j)) / 2;
  }
}

std::array<double, 3> oracleSums(const Bitmap& source, int w, int h, int X, int Y) {
  const int W = source.width(), H = source.height();
  const double sx = static_cast<double>(W) / w;
  const double sy = static_cast<double>(H) / h;
  const double x0 = X * sx - 0.5, x1 = (X + 1) * sx - 0.500001;
  const double y0 = Y * sy - 0.5, y1 = (Y + 1) * sy - 0.500001;
  std::array<double, 3> sum{0, 0, 0};
  for (long i = std::lround(std::floor(y0)); i <= std::lround(std::floor(y1)); ++i) {
    for (long j = std::lround(std::floor(x0)); j <= std::lround(std::floor(x1)); ++j) {
      const int row0 = i < 0 ? 0 : static_cast<int>(i);
      const int row1 = i + 1 > H - 1 ? H - 1 : static_cast<int>(i + 1);
      const int c0 = j < 0 ? 0 : static_cast<int>(j);
      const int c1 = j + 1 > W - 1 ? W - 1 : static_cast<int>(j + 1);
      const std::uint8_t* P = source.row(row0) + 3 * c0;
      const std::uint8_t* Q = source.row(row0) + 3 * c1;
      const std::uint8_t* R = source.row(row1) + 3 * c0;
      const std::uint8_t* S = source.row(row1) + 3 * c1;
      double u = 0, cu = 0, v = 0, cv = 0;
      oracleOverlap(static_cast<double>(j), x0, x1, u, cu);
      oracleOverlap(static_cast<double>(i), y0, y1, v, cv);
      for (int k = 0; k < 3; ++k) {
        const double p = P[k], q = Q[k], r = R[k], s = S[k];
        sum[static_cast<std::size_t>(k)] +=
            u * v * (p + (q - p) * cu + (r - p) * cv + (p + s - q - r) * cu * cv);
      }
    }
  }
  return sum;
}

double oracleArea(int W, int H, int w, int h) {
  return static_cast<double>(W) * static_cast<double>(H) / w / h;
}

// Compares every pixel of ResizeBitmap with the oracle; a value within 1e-6 of a .5 tie may
// round either way. Returns the number of mismatching channel values (reported up to a few).
int countMismatches(const Bitmap& source, const Bitmap& result) {
  const int w = result.width(), h = result.height();
  const double area = oracleArea(source.width(), source.height(), w, h);
  int bad = 0;
  for (int Y = 0; Y < h; ++Y) {
    const std::uint8_t* out = result.row(Y);
    for (int X = 0; X < w; ++X) {
      const auto sums = oracleSums(source, w, h, X, Y);
      for (int k = 0; k < 3; ++k) {
        const double value = std::clamp(sums[static_cast<std::size_t>(k)] / area, 0.0, 255.0);
        const int got = out[3 * X + k];
        const double fraction = value - std::floor(value);
        bool ok;
        if (std::abs(fraction - 0.5) < 1e-6) {
          ok = got == static_cast<int>(std::floor(value)) ||
               got == static_cast<int>(std::ceil(value));
        } else {
          ok = got == static_cast<int>(std::nearbyint(value));
        }
        if (!ok && ++bad <= 5)
          ADD_FAILURE() << "pixel (" << X << ", " << Y << ") channel " << k << ": got " << got
                        << ", oracle " << value;
      }
    }
  }
  return bad;
}

// ---------------------------------------------------------------------------------------------
// Resize against the oracle

struct SourceCase {
  const char* name;
  int w, h;
  Pattern pattern;
};

std::vector<std::pair<int, int>> targetSizes(int W, int H) {
  auto at = [](double v) { return std::max(1, static_cast<int>(v)); };
  return {
      {W, H},                       // same size
      {at(W / 2.0), at(H / 2.0)},   // integer factors down
      {at(W / 3.0), at(H / 3.0)},   //
      {at(W * 0.7), at(H * 0.55)},  // non-integer factors down
      {at(W * 1.5), at(H * 1.5)},   // up
      {W * 2, H * 3},               //
      {at(W * 3.3), at(H * 0.4)},   // up one way, down the other
      {1, 1},                       // everything into one pixel
      {1, H},                       //
      {W, 1},                       //
      {W * 5 + 1, 3},               //
      {50, 1},                      //
      {at(W * 0.9) + 1, H + 1},     //
  };
}

TEST(ResizeOracle, EveryPixelAgreesWithTheCellIntegration) {
  const std::vector<SourceCase> sources = {
      {"noise 1x1", 1, 1, noise},           {"noise 1x7", 1, 7, noise},
      {"noise 7x1", 7, 1, noise},           {"noise 2x2", 2, 2, noise},
      {"noise 3x2", 3, 2, noise},           {"noise 7x5", 7, 5, noise},
      {"noise 13x11", 13, 11, noise},       {"noise 37x23", 37, 23, noise},
      {"gradient 64x48", 64, 48, gradient}, {"gradient 5x31", 5, 31, gradient},
      {"edges 33x17", 33, 17, edges},       {"edges 40x30", 40, 30, edges},
  };
  for (const auto& source : sources) {
    const Bitmap image = makeImage24(source.w, source.h, source.pattern);
    for (const auto& [w, h] : targetSizes(source.w, source.h)) {
      SCOPED_TRACE(std::string(source.name) + " -> " + std::to_string(w) + "x" + std::to_string(h));
      const Bitmap result = ResizeBitmap(image, w, h);
      ASSERT_EQ(result.width(), w);
      ASSERT_EQ(result.height(), h);
      ASSERT_EQ(result.bits(), 24);
      EXPECT_EQ(countMismatches(image, result), 0);
    }
  }
}

// Sizes where an axis has many taps or many destination rows per source row (both ways of
// running the vertical pass, long and short weight lists), and a few extreme ratios.
TEST(ResizeOracle, LargerImagesAndFactors) {
  struct Case {
    int W, H, w, h;
  };
  const std::vector<Case> cases = {
      {300, 200, 97, 61}, {300, 200, 451, 307}, {300, 200, 150, 100}, {300, 200, 300, 7},
      {300, 200, 7, 300}, {300, 200, 7, 33},    {250, 3, 2, 40},      {3, 250, 40, 2},
      {4, 3, 201, 157},   {211, 1, 17, 1},      {1, 211, 1, 17},      {7, 5, 1, 1},
      {1, 1, 5, 3},       {3, 2, 50, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H) + " -> " + std::to_string(c.w) +
                 "x" + std::to_string(c.h));
    const Bitmap image = makeImage24(c.W, c.H, noise, static_cast<unsigned>(c.W * 7 + c.h));
    EXPECT_EQ(countMismatches(image, ResizeBitmap(image, c.w, c.h)), 0);
  }
}

// Past a million destination pixels per source pixel the footprint (scale - 1e-6) is negative:
// most pixels get a negative sum, clamped to 0. Past two million some footprints also straddle
// a cell boundary and touch no cell at all.
TEST(ResizeOracle, FootprintsNarrowerThanTheEpsilon) {
  const Bitmap tall = makeImage24(2, 1, noise, 5);
  EXPECT_EQ(countMismatches(tall, ResizeBitmap(tall, 1, 2100000)), 0);
  const Bitmap wide = makeImage24(1, 2, noise, 6);
  EXPECT_EQ(countMismatches(wide, ResizeBitmap(wide, 2100000, 1)), 0);
}

// ---------------------------------------------------------------------------------------------
// Resize values worked out by hand

TEST(ResizeValues, SameSizeBlursWithOneEighthOfEachNeighbour) {
  // Every row the same: along x an interior pixel is 1/8 left + 3/4 self + 1/8 right, an edge
  // pixel 7/8 self + 1/8 neighbour.
  const int columns[5] = {0, 200, 40, 240, 16};
  const Bitmap image = makeImage24(5, 4, [&](int x, int, int, int, std::mt19937&) -> Rgb {
    return {columns[x], columns[x], 255 - columns[x]};
  });
  const Bitmap result = ResizeBitmap(image, 5, 4);
  const int expected[5] = {25, 155, 85, 187, 44};
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      const Rgb c = pixel24(result, x, y);
      EXPECT_EQ(c.r, expected[x]) << x << "," << y;
      EXPECT_EQ(c.b, 255 - expected[x]) << x << "," << y;
    }
  }
  // A lone bright pixel spreads as (1/8, 3/4, 1/8) along both axes.
  const Bitmap dot = makeImage24(5, 5, [](int x, int y, int, int, std::mt19937&) -> Rgb {
    return x == 2 && y == 2 ? Rgb{255, 255, 255} : Rgb{};
  });
  const Bitmap spread = ResizeBitmap(dot, 5, 5);
  EXPECT_EQ(pixel24(spread, 2, 2).g, 143);  // 255 · 9/16
  EXPECT_EQ(pixel24(spread, 1, 2).g, 24);   // 255 · 3/32
  EXPECT_EQ(pixel24(spread, 2, 3).g, 24);
  EXPECT_EQ(pixel24(spread, 3, 3).g, 4);  // 255 / 64
  EXPECT_EQ(pixel24(spread, 0, 2).g, 0);
}

TEST(ResizeValues, UniformImageStaysUniform) {
  const Bitmap image = makeImage24(17, 13, [](int, int, int, int, std::mt19937&) -> Rgb {
    return {250, 128, 10};
  });
  const std::pair<int, int> sizes[] = {{17, 13}, {8, 6}, {1, 1}, {40, 31}, {3, 100}, {170, 2}};
  for (const auto& [w, h] : sizes) {
    const Bitmap result = ResizeBitmap(image, w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const Rgb c = pixel24(result, x, y);
        ASSERT_TRUE(c.r == 250 && c.g == 128 && c.b == 10)
            << w << "x" << h << " at " << x << "," << y << ": " << c.r << " " << c.g << " " << c.b;
      }
  }
}

TEST(ResizeValues, FourByFourToOneIsTheMean) {
  const Bitmap image = makeImage24(4, 4, noise, 42);
  double mean[3] = {0, 0, 0};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      const Rgb c = pixel24(image, x, y);
      mean[0] += c.r / 16.0;
      mean[1] += c.g / 16.0;
      mean[2] += c.b / 16.0;
    }
  const Rgb c = pixel24(ResizeBitmap(image, 1, 1), 0, 0);
  EXPECT_NEAR(c.r, mean[0], 1.0);
  EXPECT_NEAR(c.g, mean[1], 1.0);
  EXPECT_NEAR(c.b, mean[2], 1.0);
}

TEST(ResizeValues, OnePixelGrowsToItsColour) {
  const Bitmap image = makeImage24(1, 1, [](int, int, int, int, std::mt19937&) -> Rgb {
    return {12, 200, 99};
  });
  const Bitmap result = ResizeBitmap(image, 5, 3);
  ASSERT_EQ(result.width(), 5);
  ASSERT_EQ(result.height(), 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) {
      const Rgb c = pixel24(result, x, y);
      EXPECT_TRUE(c.r == 12 && c.g == 200 && c.b == 99) << x << "," << y;
    }
}

TEST(ResizeValues, RowPaddingIsZero) {
  const Bitmap result = ResizeBitmap(makeImage24(9, 7, noise), 5, 3);  // 15 bytes in a 16
  for (int y = 0; y < 3; ++y) EXPECT_EQ(result.row(y)[15], 0);
}

// Indexed and 32-bit sources give the same result as the equal 24-bit image built here.
TEST(ResizeValues, OtherDepthsResizeAsTheirColours) {
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> byte(0, 255);
  const int W = 23, H = 14;
  Bitmap indexed(W, H, 8);
  Bitmap wide(W, H, 32);
  Bitmap expected8(W, H, 24), expected32(W, H, 24);
  for (int i = 0; i < 256; ++i)
    indexed.palette().push_back({static_cast<std::uint8_t>(byte(rng)),
                                 static_cast<std::uint8_t>(byte(rng)),
                                 static_cast<std::uint8_t>(byte(rng)), 0});
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int index = byte(rng);
      indexed.row(y)[x] = static_cast<std::uint8_t>(index);
      const PaletteEntry& e = indexed.palette()[static_cast<std::size_t>(index)];
      std::uint8_t* p = expected8.row(y) + 3 * x;
      p[0] = e.blue;
      p[1] = e.green;
      p[2] = e.red;
      std::uint8_t* q = wide.row(y) + 4 * x;
      std::uint8_t* r = expected32.row(y) + 3 * x;
      for (int k = 0; k < 4; ++k) q[k] = static_cast<std::uint8_t>(byte(rng));
      for (int k = 0; k < 3; ++k) r[k] = q[k];
    }
  for (const auto& [w, h] : {std::pair{10, 6}, std::pair{31, 29}}) {
    const Bitmap a = ResizeBitmap(indexed, w, h);
    const Bitmap b = ResizeBitmap(expected8, w, h);
    ASSERT_EQ(a.bits(), 24);
    EXPECT_EQ(std::vector<std::uint8_t>(a.data(), a.data() + a.dataSize()),
              std::vector<std::uint8_t>(b.data(), b.data() + b.dataSize()));
    const Bitmap c = ResizeBitmap(wide, w, h);
    const Bitmap d = ResizeBitmap(expected32, w, h);
    EXPECT_EQ(std::vector<std::uint8_t>(c.data(), c.data() + c.dataSize()),
              std::vector<std::uint8_t>(d.data(), d.data() + d.dataSize()));
  }
}

TEST(ResizeErrors, EmptySourceOrTargetIsRefused) {
  EXPECT_THROW(ResizeBitmap(Bitmap(), 3, 3), EditError);
  const Bitmap image = makeImage24(4, 4, noise);
  EXPECT_THROW(ResizeBitmap(image, 0, 3), EditError);
  EXPECT_THROW(ResizeBitmap(image, 3, 0), EditError);
  EXPECT_THROW(ResizeBitmap(image, -2, 3), EditError);
}

// ---------------------------------------------------------------------------------------------
// Transforms: per-pixel reference access in the storage width of each depth

int storageBits(int bits) {
  return bits == 15 ? 16 : bits;
}

std::uint32_t getPixel(const Bitmap& b, int x, int y) {
  const std::uint8_t* row = b.row(y);
  switch (storageBits(b.bits())) {
    case 1:
      return (row[x / 8] >> (7 - x % 8)) & 1u;
    case 4:
      return x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 15u;
    case 8:
      return row[x];
    case 16:
      return row[2 * x] | static_cast<std::uint32_t>(row[2 * x + 1]) << 8;
    case 24:
      return row[3 * x] | static_cast<std::uint32_t>(row[3 * x + 1]) << 8 |
             static_cast<std::uint32_t>(row[3 * x + 2]) << 16;
    default:
      return row[4 * x] | static_cast<std::uint32_t>(row[4 * x + 1]) << 8 |
             static_cast<std::uint32_t>(row[4 * x + 2]) << 16 |
             static_cast<std::uint32_t>(row[4 * x + 3]) << 24;
  }
}

std::uint32_t storedFill(int bits, std::uint32_t fill) {
  switch (storageBits(bits)) {
    case 1:
      return fill & 1u;
    case 4:
      return fill & 15u;
    case 8:
      return fill & 0xFFu;
    case 16:
      return fill & 0xFFFFu;
    case 24:
      return fill & 0xFFFFFFu;
    default:
      return fill;
  }
}

// Random pixels, padding and palette; the transparency fields set to something recognisable.
Bitmap randomBitmap(int w, int h, int bits, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  Bitmap b(w, h, bits);
  for (std::size_t i = 0; i < b.dataSize(); ++i) b.data()[i] = static_cast<std::uint8_t>(byte(rng));
  if (bits <= 8) {
    for (int i = 0; i < (1 << bits); ++i)
      b.palette().push_back({static_cast<std::uint8_t>(byte(rng)),
                             static_cast<std::uint8_t>(byte(rng)),
                             static_cast<std::uint8_t>(byte(rng)), 0});
  }
  b.transparent = true;
  b.transparentColor = 0x00123456;
  return b;
}

// The unused bits of the last byte of each row and the padding to 4 bytes are zero.
bool rowEndsAreZero(const Bitmap& b) {
  const std::size_t usedBits = static_cast<std::size_t>(b.width()) * storageBits(b.bits());
  for (int y = 0; y < b.height(); ++y) {
    const std::uint8_t* row = b.row(y);
    std::size_t from = usedBits / 8;
    if (usedBits % 8) {
      if (row[from] & (0xFFu >> (usedBits % 8))) return false;
      ++from;
    }
    for (std::size_t i = from; i < b.stride(); ++i)
      if (row[i]) return false;
  }
  return true;
}

// Checks result against "pixel (x, y) is the source pixel at map(x, y), or fill outside".
void expectMapped(const Bitmap& source, const Bitmap& result, int w, int h,
                  const std::function<std::pair<long long, long long>(int, int)>& map,
                  std::uint32_t fill) {
  ASSERT_EQ(result.width(), w);
  ASSERT_EQ(result.height(), h);
  ASSERT_EQ(result.bits(), source.bits());
  EXPECT_EQ(result.palette(), source.palette());
  EXPECT_EQ(result.transparent, source.transparent);
  EXPECT_EQ(result.transparentColor, source.transparentColor);
  EXPECT_TRUE(rowEndsAreZero(result));
  int bad = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const auto [sx, sy] = map(x, y);
      const bool inside = sx >= 0 && sy >= 0 && sx < source.width() && sy < source.height();
      const std::uint32_t want = inside
                                     ? getPixel(source, static_cast<int>(sx), static_cast<int>(sy))
                                     : storedFill(source.bits(), fill);
      const std::uint32_t got = getPixel(result, x, y);
      if (got != want && ++bad <= 5)
        ADD_FAILURE() << "pixel (" << x << ", " << y << "): got " << got << ", want " << want;
    }
}

void expectSamePixels(const Bitmap& a, const Bitmap& b) {
  ASSERT_EQ(a.width(), b.width());
  ASSERT_EQ(a.height(), b.height());
  ASSERT_EQ(a.bits(), b.bits());
  int bad = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (getPixel(a, x, y) != getPixel(b, x, y) && ++bad <= 5)
        ADD_FAILURE() << "pixel (" << x << ", " << y << ") differs";
}

constexpr int kDepths[] = {1, 4, 8, 15, 16, 24, 32};
// Widths crossing byte boundaries at 1 and 4 bits, and sizes crossing the blocks quarter turns
// are copied in (64 rows, 1024 columns).
constexpr std::pair<int, int> kSizes[] = {{1, 1}, {9, 5},    {7, 3},    {17, 4},  {1, 6},
                                          {6, 1}, {70, 130}, {131, 67}, {5, 1100}};

struct EditCase {
  const char* name;
  std::function<Bitmap(const Bitmap&)> edit;
  bool swapsSize;
  std::function<std::pair<long long, long long>(int x, int y, int W, int H)> map;
};

TEST(Transforms, EveryEditAtEveryDepthMatchesThePerPixelMapping) {
  const std::vector<EditCase> edits = {
      {"mirror", MirrorBitmap, false,
       [](int x, int y, int W, int) {
         return std::pair<long long, long long>{W - 1 - x, y};
       }},
      {"flip", FlipBitmap, false,
       [](int x, int y, int, int H) {
         return std::pair<long long, long long>{x, H - 1 - y};
       }},
      {"rotate 0", [](const Bitmap& b) { return RotateBitmap(b, 0); }, true,
       [](int x, int y, int, int H) {
         return std::pair<long long, long long>{y, H - 1 - x};
       }},
      {"rotate 1", [](const Bitmap& b) { return RotateBitmap(b, 1); }, false,
       [](int x, int y, int W, int H) {
         return std::pair<long long, long long>{W - 1 - x, H - 1 - y};
       }},
      {"rotate 2", [](const Bitmap& b) { return RotateBitmap(b, 2); }, true,
       [](int x, int y, int W, int) {
         return std::pair<long long, long long>{W - 1 - y, x};
       }},
      {"rotate 7 (copy)", [](const Bitmap& b) { return RotateBitmap(b, 7); }, false,
       [](int x, int y, int, int) {
         return std::pair<long long, long long>{x, y};
       }},
  };
  unsigned seed = 1;
  for (int bits : kDepths)
    for (const auto& [W, H] : kSizes)
      for (const auto& e : edits) {
        SCOPED_TRACE(std::string(e.name) + " " + std::to_string(bits) + " bits " +
                     std::to_string(W) + "x" + std::to_string(H));
        const Bitmap source = randomBitmap(W, H, bits, ++seed);
        const Bitmap result = e.edit(source);
        const int w = e.swapsSize ? H : W, h = e.swapsSize ? W : H;
        if (std::string(e.name) == "rotate 7 (copy)") {
          expectSamePixels(source, result);
          continue;
        }
        expectMapped(
            source, result, w, h, [&](int x, int y) { return e.map(x, y, W, H); }, 0);
      }
}

TEST(Transforms, QuarterTurnsOfTwoPixels) {
  Bitmap pair(2, 1, 24);
  std::uint8_t* p = pair.row(0);
  const std::uint8_t a[3] = {1, 2, 3}, b[3] = {7, 8, 9};
  std::copy(a, a + 3, p);
  std::copy(b, b + 3, p + 3);
  const Bitmap clockwise = RotateBitmap(pair, 0);
  ASSERT_EQ(clockwise.width(), 1);
  ASSERT_EQ(clockwise.height(), 2);
  EXPECT_EQ(getPixel(clockwise, 0, 0), 0x030201u);  // a on top
  EXPECT_EQ(getPixel(clockwise, 0, 1), 0x090807u);
  const Bitmap anticlockwise = RotateBitmap(pair, 2);
  EXPECT_EQ(getPixel(anticlockwise, 0, 0), 0x090807u);  // b on top
  EXPECT_EQ(getPixel(anticlockwise, 0, 1), 0x030201u);
}

TEST(Transforms, InversePairsGiveBackTheSource) {
  const std::vector<std::pair<const char*, std::function<Bitmap(const Bitmap&)>>> pairs = {
      {"mirror twice", [](const Bitmap& b) { return MirrorBitmap(MirrorBitmap(b)); }},
      {"flip twice", [](const Bitmap& b) { return FlipBitmap(FlipBitmap(b)); }},
      {"half turn twice", [](const Bitmap& b) { return RotateBitmap(RotateBitmap(b, 1), 1); }},
      {"quarter turn and back",
       [](const Bitmap& b) { return RotateBitmap(RotateBitmap(b, 0), 2); }},
      {"back and quarter turn",
       [](const Bitmap& b) { return RotateBitmap(RotateBitmap(b, 2), 0); }},
      {"mirror, flip is a half turn",
       [](const Bitmap& b) { return RotateBitmap(FlipBitmap(MirrorBitmap(b)), 1); }},
  };
  for (int bits : kDepths)
    for (const auto& [name, edit] : pairs) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(bits) + " bits");
      const Bitmap source = randomBitmap(13, 70, bits, static_cast<unsigned>(bits));
      expectSamePixels(source, edit(source));
    }
}

TEST(Transforms, PointsOutsideTheSourceTakeTheFill) {
  struct MappingCase {
    const char* name;
    int w, h;
    PixelMapping m;
  };
  const std::vector<MappingCase> mappings = {
      {"shift right", 9, 5, {1, 0, 5, 0, 1, 0}},
      {"shift left and up", 9, 5, {1, 0, -4, 0, 1, -2}},
      {"all outside", 6, 4, {1, 0, 1000, 0, 1, 0}},
      {"all outside below", 6, 4, {1, 0, 0, 0, 1, -1000}},
      {"mirror past the edge", 12, 5, {-1, 0, 10, 0, 1, 0}},
      {"shear", 17, 9, {1, 1, -3, 0, 1, 0}},
      {"double step", 9, 9, {2, 0, -1, 0, -2, 9}},
      {"turn with offset", 11, 13, {0, 1, -2, -1, 0, 7}},
      {"turn the other way", 80, 70, {0, -1, 60, 1, 0, -3}},
      {"diagonal", 20, 20, {1, 1, -10, 1, -1, 4}},
      {"column walk", 9, 8, {0, 3, 1, 1, 0, -2}},
      {"huge steps", 5, 5, {2000000000, 0, 0, 0, -2000000000, 0}},
  };
  const std::uint32_t fill = 0x12345679;
  for (int bits : kDepths)
    for (const auto& c : mappings) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(bits) + " bits");
      const Bitmap source = randomBitmap(9, 5, bits, static_cast<unsigned>(bits * 31));
      const Bitmap result = TransformBitmap(source, c.w, c.h, c.m, fill);
      expectMapped(
          source, result, c.w, c.h,
          [&](int x, int y) {
            const PixelMapping& m = c.m;
            return std::pair<long long, long long>{
                static_cast<long long>(m.xx) * x + static_cast<long long>(m.xy) * y + m.x0,
                static_cast<long long>(m.yx) * x + static_cast<long long>(m.yy) * y + m.y0};
          },
          fill);
    }
}

TEST(Transforms, FillTakesTheLowBitsOfEachWidth) {
  const std::pair<int, std::uint32_t> expected[] = {
      {1, 1u},       {4, 0x9u},       {8, 0x79u},       {15, 0x5679u},
      {16, 0x5679u}, {24, 0x345679u}, {32, 0x12345679u}};
  for (const auto& [bits, value] : expected) {
    const Bitmap source = randomBitmap(3, 3, bits, 3);
    const Bitmap result = TransformBitmap(source, 10, 2, {1, 0, 100, 0, 1, 0}, 0x12345679);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 10; ++x) EXPECT_EQ(getPixel(result, x, y), value) << bits << " bits";
  }
  // 24 bits: 0x00RRGGBB stored blue, green, red.
  const Bitmap result =
      TransformBitmap(randomBitmap(2, 2, 24, 4), 1, 1, {1, 0, 5, 0, 1, 0}, 0x00AABBCC);
  EXPECT_EQ(result.row(0)[0], 0xCC);
  EXPECT_EQ(result.row(0)[1], 0xBB);
  EXPECT_EQ(result.row(0)[2], 0xAA);
}

TEST(Transforms, EmptySourceIsRefused) {
  EXPECT_THROW(MirrorBitmap(Bitmap()), EditError);
  EXPECT_THROW(FlipBitmap(Bitmap()), EditError);
  EXPECT_THROW(RotateBitmap(Bitmap(), 0), EditError);
  EXPECT_THROW(TransformBitmap(Bitmap(), 2, 2, {}, 0), EditError);
  EXPECT_THROW(TransformBitmap(randomBitmap(2, 2, 8, 1), 0, 2, {}, 0), EditError);
}

}  // namespace
}  // namespace vexo
