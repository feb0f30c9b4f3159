// TGIFImage as a writer. What decoders do not check (table sizes, packed bytes, the version, the
// order the transparency preparation leaves the table in) is compared byte for byte; the pixels
// of every palette, engine and compression, with and without a transparent colour, are compared
// exactly with what Pillow and ImageMagick decode, and gifsicle must accept every file.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "gif/gif.h"
#include "imaging/edits.h"
#include "input/images.h"
#include "support/reference.h"

namespace vexo {
namespace {

using Colour = std::uint32_t;  // 0xRRGGBB

Bitmap makeImage(int w, int h, const std::function<Colour(int, int)>& colour) {
  Bitmap b(w, h, 24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const Colour c = colour(x, y);
      std::uint8_t* p = b.row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(c), p[1] = static_cast<std::uint8_t>(c >> 8),
      p[2] = static_cast<std::uint8_t>(c >> 16);
    }
  return b;
}

Colour cube(int i) {  // entry i of the web palette
  return Colour(51 * (i / 36)) << 16 | Colour(51 * (i / 6 % 6)) << 8 | Colour(51 * (i % 6));
}

// The fields of a single-frame file that decoders take on trust.
struct Layout {
  std::string version;
  int screenPacked = -1, descriptorPacked = -1, transparentIndex = -1, codeSize = -1;
  std::vector<Colour> table;  // as written, padding included
};

Layout layoutOf(const std::vector<std::uint8_t>& f) {
  Layout l;
  l.version.assign(f.begin() + 3, f.begin() + 6);
  l.screenPacked = f.at(10);
  std::size_t p = 13 + (f[10] & 0x80 ? 3u << ((f[10] & 7) + 1) : 0);
  while (f.at(p) == 0x21) {
    if (f.at(p + 1) == 0xF9 && (f.at(p + 3) & 1)) l.transparentIndex = f.at(p + 6);
    p += 2;
    while (f.at(p)) p += f[p] + 1u;
    ++p;
  }
  EXPECT_EQ(f.at(p), 0x2C);
  l.descriptorPacked = f.at(p + 9);
  p += 10;
  if (l.descriptorPacked & 0x80)
    for (int i = 0; i < 2 << (l.descriptorPacked & 7); ++i, p += 3)
      l.table.push_back(Colour(f.at(p)) << 16 | Colour(f.at(p + 1)) << 8 | f.at(p + 2));
  l.codeSize = f.at(p);
  return l;
}

std::vector<std::uint8_t> encode(const Bitmap& source, int method, bool transparent,
                                 ColorValue key = kColorAuto) {
  Bitmap b = source;
  b.transparent = transparent;
  b.transparentColor = key;
  TGIFImage gif;
  gif.PaletteMethod = method;
  gif.assign(b);
  return gif.saveToMemory();
}

struct LayoutCase {
  std::string name;
  Bitmap image;
  int method;
  bool transparent;
  ColorValue key;
  std::string version;
  int screenPacked, descriptorPacked, transparentIndex, codeSize;
  std::vector<Colour> tableStart;  // the first entries of the written table
  std::size_t tableSize;
};

class WriterLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(WriterLayout, TablesPackedBytesAndVersion) {
  const LayoutCase& c = GetParam();
  const Layout l = layoutOf(encode(c.image, c.method, c.transparent, c.key));
  EXPECT_EQ(l.version, c.version);
  EXPECT_EQ(l.screenPacked, c.screenPacked);
  EXPECT_EQ(l.descriptorPacked, c.descriptorPacked);
  EXPECT_EQ(l.transparentIndex, c.transparentIndex);
  EXPECT_EQ(l.codeSize, c.codeSize);
  EXPECT_EQ(l.table.size(), c.tableSize);
  ASSERT_GE(l.table.size(), c.tableStart.size());
  EXPECT_EQ(std::vector<Colour>(l.table.begin(), l.table.begin() + c.tableStart.size()),
            c.tableStart);
}

const Bitmap kGrays = makeImage(16, 16, [](int x, int y) { return Colour(16 * y + x) * 0x010101; });
// 40 web colours, colour k on k + 1 pixels.
const Bitmap kForty = makeImage(41, 20, [](int x, int y) {
  int k = 0;
  while ((k + 1) * (k + 2) / 2 <= 41 * y + x) ++k;
  return cube(5 * k);
});
const Bitmap kChecker = makeImage(4, 4, [](int x, int y) { return (x + y) % 2 ? 0xFFFFFFu : 0u; });

INSTANTIATE_TEST_SUITE_P(
    Gif, WriterLayout,
    ::testing::Values(
        // 20 colours are written as 32, the last 12 zero; 5 bits a code.
        LayoutCase{"Windows20",
                   kGrays,
                   kReduceWindows20,
                   false,
                   kColorAuto,
                   "87a",
                   0x44,
                   0x84,
                   -1,
                   5,
                   {0x000000, 0x800000, 0x008000},
                   32},
        // Two colours: 1-bit table, yet a minimum code size of 2.
        LayoutCase{"Monochrome",
                   kGrays,
                   kReduceMonochrome,
                   false,
                   kColorAuto,
                   "87a",
                   0x00,
                   0x80,
                   -1,
                   2,
                   {0x000000, 0xFFFFFF},
                   2},
        // 40 web colours used, black appended as the transparent entry 40: 41 written as 64.
        LayoutCase{"Web40Transparent",
                   kForty,
                   kReduceNetscape,
                   true,
                   kColorAuto,
                   "89a",
                   0x55,
                   0x85,
                   40,
                   6,
                   {},
                   64},
        // All 256 levels used: the table stays full, sorted, without a control extension.
        LayoutCase{"Gray256Transparent",
                   kGrays,
                   kReduceGrayScale,
                   true,
                   kColorAuto,
                   "89a",
                   0x77,
                   0xA7,
                   -1,
                   8,
                   {},
                   256},
        LayoutCase{"Gray256Opaque",
                   kGrays,
                   kReduceGrayScale,
                   false,
                   kColorAuto,
                   "87a",
                   0x77,
                   0x87,
                   -1,
                   8,
                   {0x000000, 0x010101, 0x020202},
                   256},
        // Equal counts: the sort exchanges black and white; red is absent, so the appended
        // entry is taken back and the cleared sorted mark leaves version 87a.
        LayoutCase{"EqualCountsSwapAbsentKey",
                   kChecker,
                   kReduceMonochrome,
                   true,
                   0x0000FF,
                   "87a",
                   0x00,
                   0x80,
                   -1,
                   2,
                   {0xFFFFFF, 0x000000},
                   2}),
    [](const ::testing::TestParamInfo<LayoutCase>& row) { return row.param.name; });

TEST(GifWriter, Web40TableHoldsTheUsedColoursMostUsedFirst) {
  const Layout l = layoutOf(encode(kForty, kReduceNetscape, true));
  std::map<Colour, int> counts;
  for (int y = 0; y < kForty.height(); ++y)
    for (int x = 0; x < kForty.width(); ++x) {
      const std::uint8_t* p = kForty.row(y) + 3 * x;
      ++counts[Colour(p[2]) << 16 | Colour(p[1]) << 8 | p[0]];
    }
  ASSERT_EQ(counts.size(), 40u);
  for (std::size_t i = 0; i + 1 < 40; ++i) EXPECT_GE(counts[l.table[i]], counts[l.table[i + 1]]);
  EXPECT_EQ(l.table[40], 0u);
}

TEST(GifWriter, TrueColourKeepsFirstAppearanceOrderAndOverflowsAt257) {
  const Bitmap few =
      makeImage(5, 2, [](int x, int) { return x % 3 == 0 ? 0x102030u : 0xA0B0C0u + x; });
  const Layout l = layoutOf(encode(few, kReduceNone, false));
  EXPECT_EQ(std::vector<Colour>(l.table.begin(), l.table.begin() + 4),
            (std::vector<Colour>{0x102030, 0xA0B0C1, 0xA0B0C2, 0xA0B0C4}));
  const Bitmap many = makeImage(257, 1, [](int x, int) { return Colour(x) * 0x0101; });
  EXPECT_THROW(encode(many, kReduceNone, false), GIFException);
}

TEST(GifWriter, ParameterErrors) {
  TGIFImage gif;
  for (int bits : {2, 9}) {
    try {
      gif.setOptimisedBits(bits);
      ADD_FAILURE() << bits;
    } catch (const GIFException& e) {
      EXPECT_STREQ(e.what(), "Invalid Bits Per Pixel value");
    }
  }
  try {
    (void)gif.saveToMemory();
    ADD_FAILURE();
  } catch (const GIFException& e) {
    EXPECT_STREQ(e.what(), "Unsupported GIF version");
  }
}

// ---- Round trips through independent decoders ----

// A 101 × 67 piece of a photo with a 9 × 7 block of one colour at the bottom left (the
// automatic transparent colour) and some saturated pixels, so the diffusion clamps.
const Bitmap& photo() {
  static const Bitmap piece = [] {
    Bitmap b = LoadWorkingBitmap(TImages().ClassAt(TImages().IndexOf(".jpeg")),
                                 VEXO_CORPUS_DIR "/jpeg/wuffs/hippopotamus.jpeg");
    b = ResizeBitmap(b, 101, 67);
    for (int y = 60; y < 67; ++y)
      for (int x = 0; x < 9; ++x) std::copy_n("\x33\x99\x66", 3, b.row(y) + 3 * x);
    for (int x = 40; x < 60; ++x) std::fill_n(b.row(30) + 3 * x, 3, x % 2 ? 255 : 0);
    return b;
  }();
  return piece;
}

struct RoundTrip {
  int method, engine, bits, compression;
  bool transparent;
};

std::string nameOf(const RoundTrip& r) {
  return "Method" + std::to_string(r.method) + "Engine" + std::to_string(r.engine) + "Bits" +
         std::to_string(r.bits) + (r.compression ? "Rle" : "Lzw") + (r.transparent ? "Key" : "");
}

// RGBA as Pillow decodes the first frame.
std::vector<std::uint8_t> pillowRgba(const std::string& path) {
  static const char* const kScript =
      "import sys\nfrom PIL import Image\n"
      "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGBA').tobytes())\n";
  const std::string out = test::runCommand("/usr/bin/python3 -c " + test::shellQuote(kScript) +
                                           " " + test::shellQuote(path) + " 2>/dev/null");
  return {out.begin(), out.end()};
}

std::vector<std::uint8_t> magickRgba(const std::string& path) {
  const std::string out = test::runCommand("/usr/bin/convert " + test::shellQuote(path) +
                                           "[0] -depth 8 rgba:- 2>/dev/null");
  return {out.begin(), out.end()};
}

class WriterRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(WriterRoundTrip, DecodersSeeTheReducedPixels) {
  const RoundTrip& r = GetParam();
  Bitmap source = photo();
  const Bitmap reduced = ReduceToPalette(source, r.method, r.engine, nullptr, r.bits);
  ASSERT_FALSE(reduced.empty());
  const std::vector<std::uint8_t> rgb = test::bitmapRgb(ConvertToBitmap24(reduced));
  const std::vector<std::uint8_t> original = test::bitmapRgb(source);
  // A table whose 256 entries are all used has no room for the transparent entry.
  std::set<std::uint8_t> used;
  for (int y = 0; y < reduced.height(); ++y)
    used.insert(reduced.row(y), reduced.row(y) + reduced.width());
  const bool keyed = r.transparent && used.size() < 256;
  std::vector<std::uint8_t> want;
  for (std::size_t i = 0; i < rgb.size(); i += 3) {
    const bool key =
        keyed && original[i] == 0x66 && original[i + 1] == 0x99 && original[i + 2] == 0x33;
    want.insert(want.end(), {rgb[i], rgb[i + 1], rgb[i + 2], std::uint8_t(key ? 0 : 255)});
  }

  source.transparent = r.transparent;
  TGIFImage gif;
  gif.PaletteMethod = r.method;
  gif.DitherMethod = r.engine;
  gif.setOptimisedBits(r.bits);
  gif.GifCompression = r.compression;
  gif.assign(source);
  test::TempDir dir;
  const std::string path = dir.file("out.gif");
  test::writeFile(path, gif.saveToMemory());

  for (const auto& [decoder, rgba] :
       {std::pair{"Pillow", pillowRgba(path)}, std::pair{"ImageMagick", magickRgba(path)}}) {
    ASSERT_EQ(rgba.size(), want.size()) << decoder;
    for (std::size_t i = 0; i < want.size(); i += 4) {
      ASSERT_EQ(rgba[i + 3], want[i + 3]) << decoder << " alpha at pixel " << i / 4;
      if (want[i + 3]) {
        ASSERT_TRUE(std::equal(&want[i], &want[i] + 3, &rgba[i]))
            << decoder << " colour at pixel " << i / 4;
      }
    }
  }
  int code = 0;
  const std::string info =
      test::runCommand("gifsicle --info " + test::shellQuote(path) + " 2>&1", &code);
  EXPECT_EQ(code, 0) << info;
  EXPECT_EQ(info.find("warning"), std::string::npos) << info;
}

std::vector<RoundTrip> roundTrips() {
  std::vector<RoundTrip> rows;
  for (int method = kReduceWindows20; method <= kReduceOptimizedWindows; ++method) {
    rows.push_back({method, kDitherNearest, 8, kGifLZW, false});
    rows.push_back({method, kDitherNearest, 8, kGifRLE, true});
  }
  for (int engine = kDitherFloydSteinberg; engine <= kDitherBurkes; ++engine) {
    rows.push_back({kReduceNetscape, engine, 8, kGifLZW, true});
    rows.push_back({kReduceOptimized, engine, 5, kGifRLE, false});
    rows.push_back({kReduceMonochrome, engine, 8, engine % 2, false});
  }
  for (int bits = 3; bits <= 7; ++bits)
    rows.push_back({kReduceOptimized, 0, bits, bits % 2, bits == 4});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Gif, WriterRoundTrip, ::testing::ValuesIn(roundTrips()),
                         [](const ::testing::TestParamInfo<RoundTrip>& row) {
                           return nameOf(row.param);
                         });

}  // namespace
}  // namespace vexo
