// The icon writer and reader: placement and masks per stretch mode, directory and header bytes
// per bit count, the box-average reduction, cursors refused, every written depth read back by
// Pillow and ImageMagick, and the corpus icons read (and drawn like Pillow where it agrees on
// the image).
#include "imaging/icon.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "support/reference.h"

namespace vexo {
namespace {

using Bytes = std::vector<std::uint8_t>;

unsigned u16(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8;
}
unsigned u32(const Bytes& b, std::size_t at) {
  return u16(b, at) | u16(b, at + 2) << 16;
}

// Source pattern: colour (x, y) from a small set, so every depth from 4 bits keeps it exactly.
std::array<std::uint8_t, 3> patternRgb(int x, int y, int bits) {
  static constexpr std::array<std::array<std::uint8_t, 3>, 5> kColours = {
      {{255, 255, 255}, {200, 30, 40}, {20, 160, 60}, {40, 50, 220}, {0, 0, 0}}};
  return bits == 1 ? kColours[(x + y) % 2 == 0 ? 0 : 4] : kColours[(x / 4 + y / 4) % 4];
}

Bitmap pattern(int w, int h, int bits) {
  Bitmap b(w, h, 24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const auto c = patternRgb(x, y, bits);
      b.row(y)[3 * x] = c[2];
      b.row(y)[3 * x + 1] = c[1];
      b.row(y)[3 * x + 2] = c[0];
    }
  return b;
}

// Mask bit of (x, y counted from the top) of the single image of a written file.
bool maskBit(const Bytes& file, int x, int y) {
  const std::size_t res = u32(file, 18);
  const int w = static_cast<int>(u32(file, res + 4)), h = static_cast<int>(u32(file, res + 8)) / 2;
  const int bits = static_cast<int>(u16(file, res + 14));
  const std::size_t colours = u32(file, res + 32);
  const std::size_t cs = (w * bits + 31) / 32 * 4, ms = (w + 31) / 32 * 4;
  const std::size_t mask = res + 40 + 4 * colours + cs * h;
  return file[mask + (h - 1 - y) * ms + x / 8] >> (7 - x % 8) & 1;
}

TRkIcon makeIcon(int size, int bits, int stretch) {
  TRkIcon icon;
  icon.SetWidth(size);
  icon.SetHeight(size);
  icon.SetBitCount(bits);
  icon.SetStretchMode(stretch);
  return icon;
}

struct Placement {
  const char* name;
  int sw, sh, stretch;
  int ox, oy, nw, nh;  // the image inside the 32 × 32 icon; the margin is masked
};

class IconPlacement : public ::testing::TestWithParam<Placement> {};

TEST_P(IconPlacement, MaskCoversTheMargin) {
  const Placement& p = GetParam();
  TRkIcon icon = makeIcon(32, 24, p.stretch);
  Bitmap source(p.sw, p.sh, 24);  // opaque white
  icon.assign(source);
  const Bytes file = icon.saveToMemory();
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const bool inside = x >= p.ox && x < p.ox + p.nw && y >= p.oy && y < p.oy + p.nh;
      ASSERT_EQ(maskBit(file, x, y), !inside) << x << "," << y;
    }
  Bitmap target(32, 32, 24);
  std::memset(target.data(), 0x55, target.dataSize());
  icon.draw(target, 0, 0);
  EXPECT_EQ(target.row(p.oy)[3 * p.ox], 255);
  EXPECT_EQ(target.row(0)[0], p.ox + p.oy == 0 ? 255 : 0x55);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, IconPlacement,
    ::testing::Values(Placement{"100x50_reduce_each_axis", 100, 50, 0, 0, 0, 32, 32},
                      Placement{"100x50_fit_exactly", 100, 50, 1, 0, 0, 32, 32},
                      Placement{"100x50_keep_aspect", 100, 50, 2, 0, 8, 32, 16},
                      Placement{"16x16_reduce_each_axis_not_enlarged", 16, 16, 0, 8, 8, 16, 16},
                      Placement{"16x16_keep_aspect_not_enlarged", 16, 16, 2, 8, 8, 16, 16},
                      Placement{"16x16_fit_exactly_enlarged", 16, 16, 1, 0, 0, 32, 32},
                      Placement{"1000x1_keep_aspect_one_row", 1000, 1, 2, 0, 15, 32, 1}),
    [](const auto& param) { return std::string(param.param.name); });

struct Layout {
  const char* name;
  int bitCount, size;
  int widthByte, colourByte, planes, entryBits, headerBits, coloursUsed;
};

class IconLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(IconLayout, DirectoryAndHeaderBytes) {
  const Layout& l = GetParam();
  TRkIcon icon = makeIcon(l.size, l.bitCount, 0);
  icon.assign(pattern(20, 20, 8));
  const Bytes f = icon.saveToMemory();
  EXPECT_EQ(u16(f, 0), 0u);
  EXPECT_EQ(u16(f, 2), 1u);
  EXPECT_EQ(u16(f, 4), 1u);
  EXPECT_EQ(f[6], l.widthByte);
  EXPECT_EQ(f[8], l.colourByte);
  EXPECT_EQ(u16(f, 10), static_cast<unsigned>(l.planes));
  EXPECT_EQ(u16(f, 12), static_cast<unsigned>(l.entryBits));
  EXPECT_EQ(u32(f, 18), 22u);
  EXPECT_EQ(u32(f, 14), f.size() - 22);
  EXPECT_EQ(u32(f, 22), 40u);
  EXPECT_EQ(u32(f, 30), 2u * static_cast<unsigned>(l.size));
  EXPECT_EQ(u16(f, 36), static_cast<unsigned>(l.headerBits));
  EXPECT_EQ(u32(f, 54), static_cast<unsigned>(l.coloursUsed));
  const std::size_t w = static_cast<std::size_t>(l.size);
  EXPECT_EQ(f.size(), 22 + 40 + 4u * l.coloursUsed + (w * l.headerBits + 31) / 32 * 4 * w +
                          (w + 31) / 32 * 4 * w);
}

INSTANTIATE_TEST_SUITE_P(BitCounts, IconLayout,
                         ::testing::Values(Layout{"bits1", 1, 32, 32, 2, 0, 0, 1, 2},
                                           Layout{"bits4", 4, 32, 32, 16, 0, 0, 4, 16},
                                           Layout{"bits8_256_colours", 8, 32, 32, 0, 0, 0, 8, 256},
                                           Layout{"bits24_no_palette", 24, 32, 32, 0, 1, 24, 24, 0},
                                           Layout{"bits32", 32, 32, 32, 0, 1, 32, 32, 0},
                                           Layout{"bits16", 16, 16, 16, 0, 1, 16, 16, 0},
                                           Layout{"bits0_stores_1", 0, 16, 16, 2, 0, 0, 1, 2},
                                           Layout{"width72", 24, 72, 72, 0, 1, 24, 24, 0},
                                           Layout{"width256_byte0", 1, 256, 0, 2, 0, 0, 1, 2}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Icon, Defaults) {
  TRkIcon icon;
  EXPECT_EQ(icon.Width(), 32);
  EXPECT_EQ(icon.BitCount(), 4);
  EXPECT_EQ(icon.StretchMode(), 0);
  EXPECT_TRUE(icon.empty());
  icon.SetWidth(0);
  icon.SetHeight(65535);
  icon.SetBitCount(40);
  EXPECT_EQ(icon.Width(), 32);
  EXPECT_EQ(icon.Height(), 32);
  EXPECT_EQ(icon.BitCount(), 32);
  EXPECT_THROW(icon.saveToMemory(), ERkGraphic);
}

TEST(Icon, CursorRefused) {
  const Bytes cursor = {0, 0, 2, 0, 0, 0};
  TRkIcon icon;
  try {
    icon.loadFromMemory(cursor);
    FAIL() << "loaded a cursor";
  } catch (const ERkGraphic& e) {
    EXPECT_EQ(e.id(), 2);
    EXPECT_STREQ(e.what(), "ID:2 Uncorresponding format");
  }
}

TEST(Icon, TransparentBorderMaskedAndBlack) {
  Bitmap source = pattern(16, 16, 8);
  for (int i = 0; i < 16; ++i)
    for (auto [x, y] : {std::pair{i, 0}, std::pair{i, 15}, std::pair{0, i}, std::pair{15, i}})
      std::memset(source.row(y) + 3 * x, 0x7F, 3);
  source.transparent = true;  // kColorAuto: the bottom-left pixel's colour
  for (int bits : {4, 8, 24, 32}) {
    TRkIcon icon = makeIcon(16, bits, 0);
    icon.assign(source);
    const Bytes f = icon.saveToMemory();
    EXPECT_TRUE(maskBit(f, 0, 0) && maskBit(f, 15, 7) && maskBit(f, 3, 15)) << bits;
    EXPECT_FALSE(maskBit(f, 1, 1) || maskBit(f, 14, 14)) << bits;
    if (bits == 24) {
      EXPECT_EQ(f[22 + 40] | f[23 + 40] | f[24 + 40], 0);  // black under the mask
    }
  }
}

TEST(Icon, ResampleAveragesTheWidenedFootprint) {
  // 4 × 1 grey row to 2 × 1: x0 = 0, x1 = 1.998 → columns 0..2 weights 1, 1, 0.998.
  Bitmap row(4, 1, 24);
  const std::uint8_t greys[4] = {0, 60, 120, 240};
  for (int x = 0; x < 4; ++x) std::memset(row.row(0) + 3 * x, greys[x], 3);
  Bitmap out;
  ResampleBitmap(row, out, 2, 1);
  ASSERT_EQ(out.width(), 2);
  EXPECT_EQ(out.row(0)[0], 60);   // (0 + 60 + 120 × 0.998) / 2.998 = 59.95
  EXPECT_EQ(out.row(0)[3], 180);  // columns 2..3 (4 clipped): 1, 0.998 → 179.9
}

// Every written depth read back by Pillow (with its alpha) and ImageMagick (colour only), and by
// our own reader drawn onto white.
class IconOracle : public ::testing::TestWithParam<int> {};

TEST_P(IconOracle, ReadersAgree) {
  const int bits = GetParam();
  Bitmap source = pattern(32, 32, bits);
  for (int y = 0; y < 6; ++y)  // a transparent block, marked by an explicit colour
    for (int x = 0; x < 10; ++x) {
      std::uint8_t* p = source.row(y) + 3 * x;
      p[0] = 0x30, p[1] = 0x20, p[2] = 0x10;
    }
  source.transparent = true;
  source.transparentColor = 0x302010;
  TRkIcon icon = makeIcon(32, bits, 0);
  icon.assign(source);
  test::TempDir dir;
  const std::string path = dir.file("out.ico");
  icon.saveToFile(path);
  auto masked = [](int x, int y) { return x < 10 && y < 6; };

  static const char* const kRgba =
      "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1]).convert('RGBA')\n"
      "sys.stdout.buffer.write(im.tobytes())\n";
  const std::string rgba = test::runCommand("/usr/bin/python3 -c " + test::shellQuote(kRgba) + " " +
                                            test::shellQuote(path));
  ASSERT_EQ(rgba.size(), 32u * 32 * 4);
  int w = 0, h = 0;
  const auto magick = test::magickRgb(path, w, h);
  ASSERT_EQ(w, 32);
  Bitmap drawn(32, 32, 24);
  TRkIcon back;
  back.loadFromMemory(test::readFile(path));
  back.draw(drawn, 0, 0);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const auto c = patternRgb(x, y, bits);
      const std::size_t i = static_cast<std::size_t>(y * 32 + x);
      const std::uint8_t* d = drawn.row(y) + 3 * x;
      ASSERT_EQ(static_cast<std::uint8_t>(rgba[4 * i + 3]), masked(x, y) ? 0 : 255)
          << x << "," << y;
      for (int k = 0; k < 3; ++k) {
        if (masked(x, y)) {  // ImageMagick drops the alpha: its colour there is its own
          ASSERT_EQ(d[2 - k], 255) << x << "," << y;
          continue;
        }
        // The median-cut palette keeps these colours closely from 8 bits (at 1 and 4 bits it
        // gives box colours); all three readers see the same one.
        if (bits >= 8) {
          ASSERT_NEAR(d[2 - k], c[k], 8) << x << "," << y;
        }
        ASSERT_EQ(magick[3 * i + k], d[2 - k]) << x << "," << y;
        ASSERT_EQ(static_cast<std::uint8_t>(rgba[4 * i + k]), d[2 - k]) << x << "," << y;
      }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, IconOracle, ::testing::Values(1, 4, 8, 24, 32),
                         [](const auto& param) { return "bits" + std::to_string(param.param); });

// Corpus icons: cursors refused, icons read or refused with an Error, never a crash; a loaded
// single-image icon drawn on white matches Pillow's composite when Pillow picks the same size.
class IconCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(IconCorpus, ReadsLikePillow) {
  const std::string& path = GetParam();
  TRkIcon icon;
  if (path.ends_with(".cur")) {
    EXPECT_THROW(icon.loadFromMemory(test::readFile(path)), ERkGraphic);
    return;
  }
  try {
    icon.loadFromMemory(test::readFile(path));
  } catch (const ERkGraphic& e) {  // such as an info header other than the 40-byte one
    EXPECT_TRUE(e.id() == 2 || e.id() == 3) << e.what();
    return;
  }
  ASSERT_FALSE(icon.empty());
  Bitmap drawn(icon.width(), icon.height(), 24);
  icon.draw(drawn, 0, 0);
  if (icon.Images().size() != 1) return;
  static const char* const kOnWhite =
      "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1]).convert('RGBA')\n"
      "bg = Image.new('RGBA', im.size, (255, 255, 255, 255))\nbg.alpha_composite(im)\n"
      "sys.stdout.buffer.write(b'%d %d\\n' % im.size + bg.convert('RGB').tobytes())\n";
  const std::string out = test::runCommand("/usr/bin/python3 -c " + test::shellQuote(kOnWhite) +
                                           " " + test::shellQuote(path) + " 2>/dev/null");
  int w = 0, h = 0;
  if (std::sscanf(out.c_str(), "%d %d", &w, &h) != 2 || w != icon.width() || h != icon.height())
    return;
  const std::vector<std::uint8_t> pillow(
      out.begin() + static_cast<std::ptrdiff_t>(out.find('\n')) + 1, out.end());
  RecordProperty("pillow", "compared");
  EXPECT_LE(test::maxDifference(test::bitmapRgb(drawn), pillow), 2);
}

INSTANTIATE_TEST_SUITE_P(Corpus, IconCorpus,
                         ::testing::ValuesIn(test::filesBelow(VEXO_CORPUS_DIR "/ico")),
                         [](const auto& param) {
                           return test::TestName(
                               param.param.substr(std::string(VEXO_CORPUS_DIR "/ico/").size()));
                         });

}  // namespace
}  // namespace vexo
