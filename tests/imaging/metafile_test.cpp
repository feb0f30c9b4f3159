// Metafiles: our EMF and WMF outputs played back by our reader give the source pixels exactly,
// the placeable header and its checksum, the EMF header and frame, damaged input, and the corpus
// files read without a crash.
#include "imaging/metafile.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/reference.h"

namespace vexo {
namespace {

Bitmap pattern(int w, int h) {
  Bitmap b(w, h, 24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = b.row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(x * 7 + y);
      p[1] = static_cast<std::uint8_t>(y * 5);
      p[2] = static_cast<std::uint8_t>(x ^ y);
    }
  return b;
}

std::uint32_t u32At(const std::vector<std::uint8_t>& d, std::size_t at) {
  return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | std::uint32_t{d[at + 3]} << 24;
}
std::uint16_t u16At(const std::vector<std::uint8_t>& d, std::size_t at) {
  return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8);
}

struct RoundTrip {
  int w, h;
  bool enhanced;
};

class MetafileRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(MetafileRoundTrip, PlaysBackTheSourcePixels) {
  const RoundTrip& c = GetParam();
  const Bitmap source = pattern(c.w, c.h);
  TMetafileEx writer;
  writer.Enhanced = c.enhanced;
  writer.assign(source);
  const auto bytes = writer.saveToMemory();
  TMetafileEx reader;
  reader.loadFromMemory(bytes);
  EXPECT_EQ(reader.Enhanced, c.enhanced);
  ASSERT_EQ(reader.width(), c.w);
  ASSERT_EQ(reader.height(), c.h);
  EXPECT_EQ(test::maxDifference(test::bitmapRgb(reader.picture()), test::bitmapRgb(source)), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MetafileRoundTrip,
                         testing::Values(RoundTrip{1, 1, true}, RoundTrip{1, 1, false},
                                         RoundTrip{640, 480, true}, RoundTrip{640, 480, false},
                                         RoundTrip{37, 5, true}, RoundTrip{37, 5, false},
                                         RoundTrip{3, 301, true}, RoundTrip{3, 301, false},
                                         RoundTrip{1001, 7, true}, RoundTrip{1001, 7, false}),
                         [](const testing::TestParamInfo<RoundTrip>& p) {
                           return std::to_string(p.param.w) + "x" + std::to_string(p.param.h) +
                                  (p.param.enhanced ? "_emf" : "_wmf");
                         });

TEST(Metafile, PlaceableHeaderAndChecksum) {
  TMetafileEx m;
  m.Enhanced = false;
  m.assign(pattern(640, 480));
  const auto d = m.saveToMemory();
  EXPECT_EQ(u32At(d, 0), 0x9AC6CDD7u);
  EXPECT_EQ(u16At(d, 10), 640);
  EXPECT_EQ(u16At(d, 12), 480);
  EXPECT_EQ(u16At(d, 14), 96);
  EXPECT_EQ(u16At(d, 20), 0x5411);
  std::uint16_t x = 0;
  for (std::size_t i = 0; i < 20; i += 2) x ^= u16At(d, i);
  EXPECT_EQ(x, u16At(d, 20));
  // META_HEADER's size in words covers everything after the placeable header.
  EXPECT_EQ(std::uint64_t{u32At(d, 22 + 6)} * 2, d.size() - 22);
}

// libwmf, an independent player, renders our WMF at its own 72 dpi: the picture must be the
// source scaled (compared with the source sampled at the nearest pixel), and clearly not its
// mirror image.
TEST(Metafile, LibwmfRendersOurWmf) {
  const Bitmap source = pattern(101, 67);
  test::TempDir dir;
  test::writeFile(dir.file("a.wmf"), TMetafileEx::encodeWmf(source));
  test::runCommand("wmf2gd -t png -o " + test::shellQuote(dir.file("a.png")) + " " +
                   test::shellQuote(dir.file("a.wmf")) + " 2>/dev/null");
  int w = 0, h = 0;
  const std::vector<std::uint8_t> rendered = test::pillowRgb(dir.file("a.png"), w, h);
  ASSERT_EQ(w, 101 * 72 / 96);
  ASSERT_EQ(h, 67 * 72 / 96);
  const std::vector<std::uint8_t> rgb = test::bitmapRgb(source);
  auto meanDifference = [&](bool mirrored) {
    double sum = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int sx = (2 * x + 1) * 101 / (2 * w), sy = (2 * y + 1) * 67 / (2 * h);
        const std::size_t at = 3 * std::size_t(101 * sy + (mirrored ? 100 - sx : sx));
        for (int c = 0; c < 3; ++c)
          sum += std::abs(rendered[3 * std::size_t(w * y + x) + c] - rgb[at + c]);
      }
    return sum / (3.0 * w * h);
  };
  EXPECT_LT(meanDifference(false), 20);
  EXPECT_GT(meanDifference(true), 2 * meanDifference(false) + 20);
}

TEST(Metafile, EmfFrameOf640x480) {
  TMetafileEx m;
  m.assign(pattern(640, 480));
  const auto d = m.saveToMemory();
  EXPECT_EQ(u32At(d, 0), 1u);
  EXPECT_EQ(u32At(d, 40), 0x464D4520u);
  EXPECT_EQ(u32At(d, 8 + 8), 639u);     // bounds, inclusive
  EXPECT_EQ(u32At(d, 24 + 8), 16933u);  // 640 × 2540 / 96 = 16933.3
  EXPECT_EQ(u32At(d, 24 + 12), 12700u);
  EXPECT_EQ(u32At(d, 48), d.size());
  EXPECT_EQ(u32At(d, 52), 3u);
  EXPECT_EQ(u32At(d, 72), 1920u);
  EXPECT_EQ(u32At(d, 80), 508u);
  EXPECT_EQ(u32At(d, 108), 81u);  // EMR_STRETCHDIBITS
  EXPECT_EQ(u32At(d, d.size() - 20), 14u);
}

TEST(Metafile, DamagedInputFailsOrWarns) {
  TMetafileEx m;
  m.assign(pattern(9, 9));
  for (bool enhanced : {true, false}) {
    m.Enhanced = enhanced;
    auto d = m.saveToMemory();
    if (!enhanced) {
      auto bad = d;
      bad[20] ^= 1;  // checksum
      TMetafileEx r;
      EXPECT_THROW(r.loadFromMemory(bad), MetafileError);
    }
    // Every truncation either fails with our error or plays with a warning.
    for (std::size_t n = 0; n < d.size(); n += 13) {
      TMetafileEx r;
      try {
        r.loadFromMemory(std::span(d.data(), n));
      } catch (const Error&) {
      }
    }
  }
  TMetafileEx r;
  const std::vector<std::uint8_t> junk(100, 0x41);
  EXPECT_THROW(r.loadFromMemory(junk), MetafileError);
}

TEST(Metafile, RefusesPicturesOverTheLimit) {
  TMetafileEx m;
  m.assign(pattern(200, 200));
  const auto d = m.saveToMemory();
  DecodeLimits small;
  small.maxImageBytes = 1000;
  TMetafileEx r;
  r.setLimits(small);
  EXPECT_THROW(r.loadFromMemory(d), ImageSizeError);
}

// A white 20 × 20 picture with extra records before the end record: a red brush, a null pen and a
// rectangle from (2, 3) to (12, 8), whose right and bottom edges are left out.
std::vector<std::uint8_t> withRectangle(bool enhanced) {
  Bitmap white(20, 20, 24);
  auto d = enhanced ? TMetafileEx::encodeEmf(white) : TMetafileEx::encodeWmf(white);
  d.resize(d.size() - (enhanced ? 20 : 6));
  const auto put = [&d](std::initializer_list<std::uint32_t> values, int bytes) {
    for (std::uint32_t v : values)
      for (int i = 0; i < bytes; ++i) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  if (enhanced) {
    put({39, 24, 1, 0, 0x0000FF, 0}, 4);      // CREATEBRUSHINDIRECT 1, solid red
    put({37, 12, 1, 37, 12, 0x80000008}, 4);  // SELECTOBJECT 1, stock NULL_PEN
    put({43, 24, 2, 3, 12, 8}, 4);            // RECTANGLE
    put({14, 20, 0, 16, 20}, 4);
  } else {
    d[22 + 10] = 2;                                  // two objects
    put({7}, 4), put({0x02FC, 0, 0x00FF, 0, 0}, 2);  // brush, slot 0
    put({8}, 4), put({0x02FA, 5, 0, 0, 0, 0}, 2);    // null pen, slot 1
    put({4}, 4), put({0x012D, 0}, 2), put({4}, 4), put({0x012D, 1}, 2);
    put({7}, 4), put({0x041B, 8, 12, 3, 2}, 2);  // RECTANGLE bottom, right, top, left
    put({3}, 4), put({0}, 2);
  }
  return d;
}

class MetafileVector : public testing::TestWithParam<bool> {};

TEST_P(MetafileVector, FillsARectangle) {
  TMetafileEx m;
  m.loadFromMemory(withRectangle(GetParam()));
  ASSERT_EQ(m.width(), 20);
  const auto at = [&m](int x, int y) {
    const std::uint8_t* p = m.picture().row(y) + x * 3;
    return std::uint32_t{p[2]} << 16 | p[1] << 8 | p[0];
  };
  EXPECT_EQ(at(2, 3), 0xFF0000u);
  EXPECT_EQ(at(11, 7), 0xFF0000u);
  EXPECT_EQ(at(12, 8), 0xFFFFFFu);
  EXPECT_EQ(at(1, 3), 0xFFFFFFu);
  EXPECT_EQ(at(2, 2), 0xFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(Forms, MetafileVector, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) {
                           return std::string(p.param ? "emf" : "wmf");
                         });

// A 2 × 2 DIB in an EMR_STRETCHDIBITS record: colour table (or masks), rows bottom-up, and the
// colours expected top-left, top-right, bottom-left, bottom-right.
struct DibCase {
  const char* name;
  int bits, compression, colors;
  std::vector<std::uint8_t> table, rows;
  std::array<std::uint32_t, 4> expected;
};

const std::vector<std::uint8_t> kTable4 = {0,   0, 255, 0, 0,   255, 0,   0,
                                           255, 0, 0,   0, 255, 255, 255, 0};
constexpr std::array<std::uint32_t, 4> kRgbw = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

class MetafileDib : public testing::TestWithParam<DibCase> {};

TEST_P(MetafileDib, DecodesTheRecordBitmap) {
  const DibCase& c = GetParam();
  auto d = TMetafileEx::encodeEmf(Bitmap(2, 2, 24));
  d.resize(108);
  const auto put = [&d](std::initializer_list<std::uint32_t> values) {
    for (std::uint32_t v : values)
      for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  const auto bmi = static_cast<std::uint32_t>(40 + c.table.size());
  const auto bits = static_cast<std::uint32_t>(c.rows.size());
  put({81,  80 + bmi + bits, 0,    0, 1,          1, 0, 0, 0, 0, 2, 2, 80,
       bmi, 80 + bmi,        bits, 0, 0x00CC0020, 2, 2});
  put({40, 2, 2, std::uint32_t(1) | std::uint32_t(c.bits) << 16, std::uint32_t(c.compression), 0, 0,
       0, std::uint32_t(c.colors), 0});
  d.insert(d.end(), c.table.begin(), c.table.end());
  d.insert(d.end(), c.rows.begin(), c.rows.end());
  put({14, 20, 0, 16, 20});
  TMetafileEx m;
  m.loadFromMemory(d);
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* p = m.picture().row(i / 2) + (i % 2) * 3;
    EXPECT_EQ(std::uint32_t{p[2]} << 16 | p[1] << 8 | p[0], c.expected[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Depths, MetafileDib,
    testing::Values(DibCase{"bits1",
                            1,
                            0,
                            2,
                            {0, 0, 255, 0, 0, 255, 0, 0},
                            {0x80, 0, 0, 0, 0x40, 0, 0, 0},
                            {0xFF0000, 0x00FF00, 0x00FF00, 0xFF0000}},
                    DibCase{"bits4", 4, 0, 4, kTable4, {0x23, 0, 0, 0, 0x01, 0, 0, 0}, kRgbw},
                    DibCase{"bits8", 8, 0, 4, kTable4, {2, 3, 0, 0, 0, 1, 0, 0}, kRgbw},
                    DibCase{
                        "bits16", 16, 0, 0, {}, {0x1F, 0, 0xFF, 0x7F, 0, 0x7C, 0xE0, 0x03}, kRgbw},
                    DibCase{"bits16_565",
                            16,
                            3,
                            0,
                            {0, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0},
                            {0x1F, 0, 0xFF, 0xFF, 0, 0xF8, 0xE0, 0x07},
                            kRgbw},
                    DibCase{"bits24",
                            24,
                            0,
                            0,
                            {},
                            {255, 0, 0, 255, 255, 255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0},
                            kRgbw},
                    DibCase{"bits32",
                            32,
                            0,
                            0,
                            {},
                            {255, 0, 0, 0, 255, 255, 255, 0, 0, 0, 255, 0, 0, 255, 0, 0},
                            kRgbw}),
    [](const testing::TestParamInfo<DibCase>& p) { return std::string(p.param.name); });

class MetafileCorpus : public testing::TestWithParam<std::string> {};

TEST_P(MetafileCorpus, ReadsWithoutCrash) {
  const auto bytes = test::readFile(GetParam());
  TMetafileEx m;
  int warnings = 0;
  m.OnWarning = [&](std::string_view) { ++warnings; };
  try {
    m.loadFromMemory(bytes);
    EXPECT_GT(m.width(), 0);
    Bitmap target(m.width(), m.height(), 24);
    m.draw(target, 0, 0);
  } catch (const Error& e) {
    // Non-placeable WMFs are refused; anything else that fails is reported here.
    SUCCEED() << e.what();
  }
}

std::vector<std::string> corpusFiles() {
  std::vector<std::string> files;
  for (const char* dir :
       {"/wmf", "/emf", "/malformed/wmf-poi", "/malformed/emf-poi", "/malformed/emf-libemf2svg"})
    for (const auto& f : test::filesBelow(std::string(VEXO_CORPUS_DIR) + dir))
      if (f.ends_with(".wmf") || f.ends_with(".emf")) files.push_back(f);
  return files;
}

INSTANTIATE_TEST_SUITE_P(Corpus, MetafileCorpus, testing::ValuesIn(corpusFiles()),
                         [](const testing::TestParamInfo<std::string>& p) {
                           return test::TestName(
                                      p.param.substr(std::string(VEXO_CORPUS_DIR).size())) +
                                  "_" + std::to_string(p.index);
                         });

}  // namespace
}  // namespace vexo
