// The PNG writer at the byte level, where a decoder cannot see the rules: the filter bytes of
// crafted rows, IDAT sizes, chunk order, palette tRNS bytes; the source depths
// against libpng; blank image types and errors. Every colour type and depth written back and
// the pipeline's settings are checked against libpng and pngcheck in reader_test.cpp and the
// end-to-end tests.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "png/png.h"
#include "support/libpng_reference.h"
#include "support/png_file.h"
#include "support/reference.h"

namespace vexo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Rgb = std::array<int, 3>;

constexpr PngFilterSet kNone = FilterBit(PngFilter::None), kSub = FilterBit(PngFilter::Sub),
                       kUp = FilterBit(PngFilter::Up), kPaeth = FilterBit(PngFilter::Paeth),
                       kAll = kAllFilters;

constexpr auto u8 = [](int v) { return static_cast<std::uint8_t>(v); };
constexpr auto rgbOf = [](const PaletteEntry& e) { return Rgb{e.red, e.green, e.blue}; };

// The inflated image data, and the size of each IDAT chunk.
Bytes imageData(const Bytes& file, std::vector<std::size_t>* sizes = nullptr) {
  const test::PngFile png = test::parsePngFile(file);
  for (const auto& c : png.chunks)
    if (sizes && c.type == "IDAT") sizes->push_back(c.data.size());
  return png.inflated;
}

// ---- sources ----

// A bitmap of gradients and noise, with the colour each pixel must come out as.
struct Source {
  Bitmap bitmap;
  std::vector<Rgb> rgb;  // top row first
};

Source makeSource(int bits, int entries, int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  auto noise = [&](unsigned range) { return int(rng() % range); };
  auto widen = [](int v, int b) { return v << (8 - b) | v >> (2 * b - 8); };
  Source s{Bitmap(w, h, bits), {}};
  for (int i = 0; i < entries; ++i) s.bitmap.palette().push_back({u8(rng()), u8(rng()), u8(rng())});
  Palette padded = s.bitmap.palette();  // black past the bitmap's palette
  if (bits <= 8) padded.resize(std::size_t{1} << bits);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = s.bitmap.row(y);
    const int down = h > 1 ? y * 255 / (h - 1) : 0;
    for (int x = 0; x < w; ++x) {
      const int ramp = w > 1 ? x * 255 / (w - 1) : 0;
      if (bits <= 8) {  // indices past the palette too
        const int i = (x + 3 * y + noise(3)) % (1 << bits);
        row[x * bits / 8] |= u8(i << (8 - bits - x * bits % 8));
        s.rgb.push_back(rgbOf(padded[std::size_t(i)]));
      } else if (bits <= 16) {  // 5-5-5 with a stray top bit, or 5-6-5
        const int gb = bits == 16 ? 6 : 5;
        const int r = (ramp / 8 + noise(4)) & 31, g = (down >> (8 - gb)) ^ noise(4), b = noise(32);
        const int v = r << (5 + gb) | g << 5 | b | (bits == 15 ? noise(2) << 15 : 0);
        row[2 * x] = u8(v);
        row[2 * x + 1] = u8(v >> 8);
        s.rgb.push_back({widen(r, 5), widen(g, gb), widen(b, 5)});
      } else {  // 24, or 32 with a fourth byte that must not reach the file
        const Rgb c = {(ramp + noise(16)) & 255, (down + noise(16)) & 255,
                       (ramp + down) / 2 ^ noise(8)};
        std::uint8_t* p = row + x * bits / 8;
        p[0] = u8(c[2]), p[1] = u8(c[1]), p[2] = u8(c[0]);
        if (bits == 32) p[3] = u8(noise(256));
        s.rgb.push_back(c);
      }
    }
  }
  return s;
}

struct DepthCase {
  int bits, entries;
};

class PngWriterDepths : public ::testing::TestWithParam<DepthCase> {};

// Indexed bitmaps become palette images of their depth with 2^bits entries (black past the
// bitmap's palette), deeper ones 8-bit RGB: 5- and 6-bit channels widened, the fourth byte of
// 32 bits dropped. Adam7 and every filter on an odd size.
TEST_P(PngWriterDepths, LibpngDecodesTheSourceColours) {
  const auto [bits, entries] = GetParam();
  const Source src = makeSource(bits, entries, 37, 23, unsigned(bits * 31 + entries));
  TPNGObject png;
  png.AssignBitmap(src.bitmap);
  png.RowFilters = kAll;
  png.InterlaceMode = PngInterlace::Adam7;
  const Bytes file = png.saveToMemory();
  test::TempDir dir;
  test::writeFile(dir.file("out.png"), file);
  int code = -1;
  test::runCommand("/usr/bin/pngcheck -q " + test::shellQuote(dir.file("out.png")), &code);
  EXPECT_EQ(code, 0);
  const test::LibpngImage decoded = test::decodeWithLibpng(file);
  EXPECT_EQ(decoded.colorType, bits <= 8 ? 3 : 2);
  EXPECT_EQ(decoded.bitDepth, bits <= 8 ? bits : 8);
  Bytes rgba;
  for (const Rgb& c : src.rgb) rgba.insert(rgba.end(), {u8(c[0]), u8(c[1]), u8(c[2]), 255});
  EXPECT_EQ(decoded.rgba, rgba) << decoded.error;
  const test::PngFile parsed = test::parsePngFile(file);
  const auto* plte = parsed.find("PLTE");
  EXPECT_EQ(plte ? plte->data.size() : 0, bits <= 8 ? std::size_t{3} << bits : 0);
}

INSTANTIATE_TEST_SUITE_P(Sources, PngWriterDepths,
                         ::testing::Values(DepthCase{1, 2}, DepthCase{1, 1}, DepthCase{4, 16},
                                           DepthCase{4, 5}, DepthCase{8, 256}, DepthCase{8, 100},
                                           DepthCase{15, 0}, DepthCase{16, 0}, DepthCase{24, 0},
                                           DepthCase{32, 0}),
                         [](const ::testing::TestParamInfo<DepthCase>& p) {
                           return std::to_string(p.param.bits) + "Bits" +
                                  (p.param.bits <= 8 ? std::to_string(p.param.entries) + "Entries"
                                                     : "");
                         });

// ---- what a decoder cannot see ----

// An 8-bit palette image whose raw rows are the given bytes.
TPNGObject rowsImage(const std::vector<Bytes>& rows) {
  Bitmap b(int(rows[0].size()), int(rows.size()), 8);
  b.palette().resize(256);
  for (std::size_t y = 0; y < rows.size(); ++y)
    std::copy(rows[y].begin(), rows[y].end(), b.row(int(y)));
  TPNGObject png;
  png.AssignBitmap(b);
  return png;
}

std::vector<Bytes> noiseRows(int w, int h) {
  std::mt19937 rng(unsigned(w + h));
  std::vector<Bytes> rows(static_cast<std::size_t>(h), Bytes(static_cast<std::size_t>(w)));
  for (auto& row : rows)
    std::generate(row.begin(), row.end(), [&] { return u8(int(rng() & 255)); });
  return rows;
}

TEST(PngWriterFilters, CraftedRowsTakeTheFilterTheirScoresGive) {
  const Bytes noisy = {200, 13, 77, 150, 2, 99, 31, 180}, ramp = {0, 10, 20, 30, 40, 50, 60, 70};
  const struct {
    const char* what;
    PngFilterSet filters;
    std::vector<Bytes> rows;
    std::vector<int> want;
  } cases[] = {
      {"alternating: None, Up 6, others 5; ties keep None", kAll, {{1, 2, 1, 2, 1, 2, 1, 2}}, {0}},
      {"ramp: Sub, Paeth 6; ties keep Sub", kAll, {ramp}, {1}},
      {"noise: all 0, None; repeated: Up, Paeth 6", kAll, {noisy, noisy}, {0, 2}},
      {"Sub, Up 0: None, not in the set; then Sub 5",
       kSub | kUp,
       {{40, 41, 39, 44, 30, 52, 21, 70}, {10, 50, 20, 60, 30, 70, 40, 80}},
       {0, 1}},
      {"Up alone, on the first row too", kUp, {noisy, ramp}, {2, 2}},
      {"2-byte rows score 0", kSub | kUp, {{5, 5}, {5, 5}, {9, 1}}, {0, 0, 0}},
      {"1-byte rows score 0", kAll, {{3}, {3}}, {0, 0}},
      {"a single filter on short rows too", kPaeth, {{5, 5}, {9, 1}}, {4, 4}},
      {"the empty set", 0, {noisy, ramp}, {0, 0}},
      {"None alone", kNone, {ramp, noisy}, {0, 0}},
  };
  for (const auto& c : cases) {
    TPNGObject png = rowsImage(c.rows);
    png.RowFilters = c.filters;
    const Bytes data = imageData(png.saveToMemory());
    const std::size_t n = c.rows[0].size() + 1;  // each row: its filter type, then its bytes
    ASSERT_EQ(data.size(), n * c.rows.size()) << c.what;
    for (std::size_t y = 0; y < c.rows.size(); ++y) EXPECT_EQ(data[y * n], c.want[y]) << c.what;
  }
}

TEST(PngWriterIdat, EveryChunkButTheLastHoldsMaxIdatData) {
  TPNGObject png = rowsImage(noiseRows(400, 400));
  for (std::size_t max : {0, 100000}) {
    png.setMaxIdatData(max);
    EXPECT_EQ(png.MaxIdatData(), std::max<std::size_t>(max, 65535));
    std::vector<std::size_t> sizes;
    imageData(png.saveToMemory(), &sizes);
    ASSERT_GE(sizes.size(), 2u) << max;
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], png.MaxIdatData());
    EXPECT_LE(sizes.back(), png.MaxIdatData());
  }
}

TEST(PngWriterIdat, ExactlyOneChunkOfDataThenOneByteMore) {
  // At level 0 the compressed size grows a byte per pixel between stored-block headers.
  std::map<std::size_t, std::vector<std::size_t>> found;
  for (int h = 1; h <= 3 && found.size() < 2; ++h)
    for (int w = 65480 / h; w <= 65535 / h && found.size() < 2; ++w) {
      TPNGObject png = rowsImage(std::vector<Bytes>(std::size_t(h), Bytes(std::size_t(w))));
      png.setDeflateLevel(0);
      std::vector<std::size_t> sizes;
      imageData(png.saveToMemory(), &sizes);
      const std::size_t total = std::accumulate(sizes.begin(), sizes.end(), std::size_t{0});
      if (total == 65535 || total == 65536) found[total] = sizes;
    }
  EXPECT_EQ(found[65535], (std::vector<std::size_t>{65535}));
  EXPECT_EQ(found[65536], (std::vector<std::size_t>{65535, 1}));
}

TEST(PngWriterChunks, PngOrderWhateverTheOrderOfTheCalls) {
  TPNGObject png = rowsImage(noiseRows(300, 300));
  png.setDeflateLevel(0);
  png.AddCompressedText("Comment", "first");
  png.SetTransparency(0);  // entry 0 is black
  EXPECT_EQ(test::parsePngFile(png.saveToMemory()).types(),
            (std::vector<std::string>{"IHDR", "PLTE", "tRNS", "IDAT", "IDAT", "zTXt", "IEND"}));
}

TEST(PngWriterChunks, PaletteTransparencyBytes) {
  Bitmap b(4, 4, 8);
  for (int i = 0; i < 256; ++i) b.palette().push_back({u8(i), u8(2 * i), u8(3 * i)});
  b.transparent = true;
  b.transparentColor = 0x000F0A05;  // entry 5
  const std::pair<std::vector<ColorValue>, Bytes> cases[] = {
      {{}, {255, 255, 255, 255, 255, 0}},  // the bitmap's mark
      {{0}, {0}},
      {{0x00040201}, {}},  // no entry has it: no tRNS, and the marked one goes
      {{0x00040201, 0x00090603}, {255, 255, 255, 0}},
  };
  for (const auto& [colours, want] : cases) {
    TPNGObject png;
    png.AssignBitmap(b);
    for (ColorValue colour : colours) png.SetTransparency(colour);
    const test::PngFile file = test::parsePngFile(png.saveToMemory());
    const test::PngChunk* trns = file.find("tRNS");
    EXPECT_EQ(trns ? trns->data : Bytes{}, want) << colours.size();
  }
}

// ---- blank images and errors ----

TEST(PngWriterErrors, BlankTypesKeyColoursOnAlphaAndMissingHeaders) {
  const std::set<std::pair<int, int>> valid = {{0, 1}, {0, 2},  {0, 4},  {0, 8}, {0, 16},
                                               {2, 8}, {2, 16}, {3, 1},  {3, 2}, {3, 4},
                                               {3, 8}, {4, 8},  {4, 16}, {6, 8}, {6, 16}};
  for (int type = -1; type <= 7; ++type)
    for (int depth : {0, 1, 2, 3, 4, 8, 12, 16, 32}) {
      TPNGObject png;
      if (!valid.count({type, depth})) {
        EXPECT_THROW(png.InitBlank(type, depth, 5, 3), EPNGInvalidSpec) << type << "/" << depth;
        EXPECT_TRUE(png.empty());
        continue;
      }
      png.InitBlank(type, depth, 5, 3);
      const test::LibpngImage decoded = test::decodeWithLibpng(png.saveToMemory());
      EXPECT_EQ(decoded.colorType, type) << decoded.error;
      EXPECT_EQ(decoded.bitDepth, depth == 2 ? 4 : depth);
      if (type != 4 && type != 6) continue;
      EXPECT_THROW(png.SetTransparency(0x00FFFFFF), EPNGCannotChangeTransparent) << type;
      EXPECT_EQ(png.Chunks().Find("tRNS"), nullptr);
    }
  TPNGObject empty;
  EXPECT_THROW(empty.saveToMemory(), EPNGHeaderNotPresent);
  EXPECT_THROW(empty.SetTransparency(0), EPNGHeaderNotPresent);
  empty.AssignBitmap(makeSource(24, 0, 2, 2, 1).bitmap);
  empty.AssignBitmap(Bitmap());
  EXPECT_THROW(empty.saveToMemory(), EPNGHeaderNotPresent);
}

}  // namespace
}  // namespace vexo
