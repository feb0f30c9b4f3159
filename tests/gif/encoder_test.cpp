// The image-data encoders: exact code sequences, framing and bit packing, what a standard
// decoder's table allows, and round trips through Pillow, gifsicle and ImageMagick.
#include <gtest/gtest.h>

#include <random>

#include "gif/gif_internal.h"
#include "support/reference.h"

namespace vexo::gif {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Codes = std::vector<GifCode>;

// Runs of {pixel, length}.
Bytes Runs(std::initializer_list<std::pair<int, int>> runs) {
  Bytes p;
  for (const auto& r : runs) p.insert(p.end(), std::size_t(r.second), std::uint8_t(r.first));
  return p;
}

enum Kind { kNoise, kGradient, kGrowingRuns, kLongRuns, kSolid };
Bytes Make(Kind kind, int bitSize, std::size_t n) {
  std::mt19937 rng(static_cast<unsigned>(n));
  Bytes p;
  const auto colour = [&] { return std::uint8_t(rng() % (1u << bitSize)); };
  for (std::size_t k = 1; p.size() < n; ++k) {
    if (kind == kNoise) p.push_back(colour());
    if (kind == kGradient) p.push_back(std::uint8_t((k % 101 + k / 101) * (1u << bitSize) / 200));
    for (std::size_t i = 0; kind == kGrowingRuns && i <= k; ++i) p.push_back(i < k);  // 1^k 0
    if (kind == kLongRuns) p.insert(p.end(), rng() % 20000 + 1, colour());
    if (kind == kSolid) p.assign(n, 1);
  }
  p.resize(n);
  return p;
}

// Encodes, then checks the framing against the trace: the minimum code size byte, blocks of 255
// bytes but the last, the terminator, and every code read back LSB first at its width.
Codes Encode(const Bytes& pixels, int bitSize, int compression, Bytes* data = nullptr) {
  Bytes out, bytes;
  Codes codes;
  WriteImageData(pixels, bitSize, 256, compression, out, &codes);
  EXPECT_EQ(out.at(0), std::max(bitSize, 2));
  std::size_t pos = 1;
  for (std::size_t n; pos < out.size() && (n = out[pos]) > 0 && pos + 1 + n < out.size();) {
    EXPECT_TRUE(n == 255 || pos + 2 + n == out.size()) << "short block before the last";
    bytes.insert(bytes.end(), out.begin() + long(pos) + 1, out.begin() + long(pos + 1 + n));
    pos += 1 + n;
  }
  EXPECT_EQ(pos + 1, out.size());
  std::size_t bit = 0;
  for (const GifCode& c : codes) {
    int value = 0;
    for (int b = 0; b < c.width && bit / 8 < bytes.size(); ++b, ++bit)
      value |= (bytes[bit / 8] >> (bit % 8) & 1) << b;
    EXPECT_EQ(value, c.code) << "at bit " << bit;
  }
  EXPECT_EQ(bytes.size(), (bit + 7) / 8);
  if (data) *data = out;
  return codes;
}

// What a standard decoder's table does while it reads the codes: every code after the first
// following a clear assigns the next free code, and the read width follows that. A code above the
// next free one would be undecodable.
struct DecoderTable {
  int largestAssigned = 0;
  std::vector<int> nextAtClear;  // the next free code as each clear code arrives
};
void ReadCodes(const Codes& codes, int m, DecoderTable& t) {
  const int clear = 1 << m;
  int next = 0, width = m + 1;
  ASSERT_GE(codes.size(), 2u);
  EXPECT_EQ(codes.front().code, clear);
  EXPECT_EQ(codes.back().code, clear + 1);
  for (std::size_t i = 0; i + 1 < codes.size(); ++i) {
    const int code = codes[i].code;
    ASSERT_EQ(codes[i].width, width) << "code " << i;
    ASSERT_NE(code, clear + 1) << "code " << i;
    if (code == clear) {
      t.nextAtClear.push_back(next);
      next = clear + 2;
      width = m + 1;
    } else if (i == 0 || codes[i - 1].code == clear) {
      ASSERT_LT(code, clear) << "code " << i;
    } else {
      ASSERT_LE(code, next) << "code " << i;
      t.largestAssigned = std::max(t.largestAssigned, next);
      if (++next > (1 << width) - 1 && width < 12) ++width;
    }
  }
  EXPECT_EQ(codes.back().width, width);
}

struct SequenceCase {
  std::string name;
  int bitSize, compression;
  Bytes pixels;
  std::string codes;  // code/width ...
};
class CodeSequence : public testing::TestWithParam<SequenceCase> {};

TEST_P(CodeSequence, IsExact) {
  std::string text;
  for (const GifCode& c : Encode(GetParam().pixels, GetParam().bitSize, GetParam().compression))
    text += (text.empty() ? "" : " ") + std::to_string(c.code) + "/" + std::to_string(c.width);
  EXPECT_EQ(text, GetParam().codes);
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, CodeSequence,
    testing::Values(
        SequenceCase{"LzwOnePixel", 8, kGifLZW, {5}, "256/9 5/9 257/9"},
        SequenceCase{"LzwTwoColours", 1, kGifLZW, {1}, "4/3 1/3 5/3"},
        SequenceCase{"LzwEmpty", 8, kGifLZW, {}, "256/9 257/9"},
        SequenceCase{"LzwRepeats", 1, kGifLZW, Runs({{0, 4}}), "4/3 0/3 6/3 0/3 5/4"},
        SequenceCase{"RleEmpty", 2, kGifRLE, {}, "4/3 5/3"},
        SequenceCase{"RleOnePixel", 8, kGifRLE, {5}, "256/9 5/9 257/9"},
        SequenceCase{"RleRunAfterClear", 8, kGifRLE, Runs({{7, 55}}),
                     "256/9 7/9 258/9 259/9 260/9 261/9 262/9 263/9 264/9 265/9 266/9 257/9"},
        SequenceCase{"RleRunWithRest", 8, kGifRLE, Runs({{7, 57}}),
                     "256/9 7/9 258/9 259/9 260/9 261/9 262/9 263/9 264/9 265/9 266/9 258/9 257/9"},
        SequenceCase{"RleRepeatsNewColour", 8, kGifRLE, Runs({{1, 3}, {2, 3}}),
                     "256/9 1/9 258/9 2/9 2/9 2/9 257/9"},
        SequenceCase{"RleClearsForNewColour", 8, kGifRLE, Runs({{1, 3}, {2, 5}}),
                     "256/9 1/9 258/9 256/9 2/9 258/9 258/9 257/9"},
        SequenceCase{"RleReusesTable", 8, kGifRLE, Runs({{1, 3}, {2, 1}, {1, 5}}),
                     "256/9 1/9 258/9 2/9 258/9 258/9 1/9 257/9"},
        SequenceCase{"RleWidthGrows", 1, kGifRLE, Runs({{0, 10}}), "4/3 0/3 6/3 7/3 8/4 5/4"}),
    [](const testing::TestParamInfo<SequenceCase>& row) { return row.param.name; });

TEST(Encoder, LzwClearsWhenTableIsFull) {
  for (int bitSize : {1, 4, 8}) {
    DecoderTable table;
    ReadCodes(Encode(Make(kNoise, bitSize, 400 * 300), bitSize, kGifLZW), std::max(bitSize, 2),
              table);
    EXPECT_EQ(table.largestAssigned, 4094) << bitSize;
    ASSERT_GE(table.nextAtClear.size(), 3u) << bitSize;
    for (std::size_t i = 1; i < table.nextAtClear.size(); ++i)
      EXPECT_EQ(table.nextAtClear[i], 4095) << bitSize;
  }
}

// Runs of random lengths, a few very long, mostly of two colours so that runs of a colour recur;
// and one run longer than a table's worth of pieces.
TEST(Encoder, RleCodesAreDecodable) {
  for (int bitSize = 1; bitSize <= 8; ++bitSize) {
    std::mt19937 rng(static_cast<unsigned>(bitSize));
    Bytes pixels;
    while (pixels.size() < 300000) {
      const unsigned length = rng() % 50 == 0 ? rng() % 30000 : rng() % 12 + 1;
      const unsigned colours = rng() % 4 ? 2u : 1u << bitSize;
      pixels.insert(pixels.end(), length, std::uint8_t(rng() % colours));
    }
    DecoderTable table;
    ReadCodes(Encode(pixels, bitSize, kGifRLE), std::max(bitSize, 2), table);
    EXPECT_LE(table.largestAssigned, 4094);
  }
  DecoderTable table;
  ReadCodes(Encode(Runs({{3, 8000000}}), 8, kGifRLE), 8, table);
  EXPECT_GE(table.nextAtClear.size(), 3u);
}

TEST(Encoder, RleCost) {
  EXPECT_EQ(RleCost(0, 10), 0);
  EXPECT_EQ(RleCost(7, 3), 4);
  EXPECT_EQ(RleCost(1000000, 3837), 1414);
  EXPECT_EQ(RleCost(7363204, 3837), 3838);
  for (int k : {1, 2, 5, 100})  // against counting pieces 1, 2, …, k, 1, 2, … one by one
    for (int n = 1, cost = 0, covered = 0, piece = 0; n < 3000; ++n) {
      if (n > covered) {
        piece = piece % k + 1;
        covered += piece;
        ++cost;
      }
      EXPECT_EQ(RleCost(n, k), cost) << n << " " << k;
    }
}

TEST(Encoder, IndexOutsideTableFails) {
  Bytes out;
  EXPECT_THROW(WriteImageData(Bytes{0, 3, 1}, 2, 3, kGifLZW, out), GIFException);
  EXPECT_THROW(WriteImageData(Bytes{2}, 1, 2, kGifRLE, out), GIFException);
  EXPECT_THROW(WriteImageData(Bytes{4}, 1, 8, kGifRLE, out), GIFException);  // a clear code
  EXPECT_TRUE(out.empty());
  EXPECT_NO_THROW(WriteImageData(Bytes{0, 2, 1}, 2, 3, kGifLZW, out));
}

struct RoundTripCase {
  std::string name;
  Kind kind;
  int bitSize, width, height;
};
class RoundTrip : public testing::TestWithParam<RoundTripCase> {};

// The data in a one-frame GIF with a global table of 2^bitSize colours, red = index, decoded by
// each decoder (gifsicle's copy by Pillow) with both encoders.
TEST_P(RoundTrip, DecodersReadThePixels) {
  const RoundTripCase& c = GetParam();
  const Bytes pixels = Make(c.kind, c.bitSize, std::size_t(c.width) * std::size_t(c.height));
  Bytes expected, head{'G', 'I', 'F', '8', '9', 'a'};
  for (const std::uint8_t p : pixels) expected.insert(expected.end(), {p, std::uint8_t(~p), 7});
  for (const int v : {c.width, c.height})
    head.insert(head.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
  head.insert(head.end(), {std::uint8_t(0x80 | (c.bitSize - 1) * 17), 0, 0});
  for (int i = 0; i < 1 << c.bitSize; ++i)
    head.insert(head.end(), {std::uint8_t(i), std::uint8_t(~i), 7});
  head.insert(head.end(), {0x2C, 0, 0, 0, 0, head[6], head[7], head[8], head[9], 0});
  test::TempDir dir;
  const std::string path = dir.file("image.gif"), copy = dir.file("copy.gif");
  for (const int compression : {kGifLZW, kGifRLE}) {
    SCOPED_TRACE(compression == kGifLZW ? "LZW" : "RLE");
    Bytes file;
    Encode(pixels, c.bitSize, compression, &file);
    file.insert(file.begin(), head.begin(), head.end());
    file.push_back(0x3B);
    test::writeFile(path, file);
    int w = 0, h = 0, rc = -1;
    EXPECT_TRUE(test::pillowRgb(path, w, h) == expected) << "Pillow";
    EXPECT_TRUE(test::magickRgb(path, w, h) == expected) << "ImageMagick";
    const std::string quoted = test::shellQuote(path) + " -o " + test::shellQuote(copy);
    EXPECT_EQ(test::runCommand("gifsicle " + quoted + " 2>&1", &rc), "");
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(test::pillowRgb(copy, w, h) == expected) << "gifsicle";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, RoundTrip,
    testing::Values(RoundTripCase{"Noise1", kNoise, 1, 97, 31},
                    RoundTripCase{"LongRuns1", kLongRuns, 1, 300, 200},
                    RoundTripCase{"GrowingRuns2", kGrowingRuns, 2, 400, 300},
                    RoundTripCase{"Gradient3", kGradient, 3, 101, 80},
                    RoundTripCase{"Noise4", kNoise, 4, 64, 64},
                    RoundTripCase{"Gradient5", kGradient, 5, 101, 99},
                    RoundTripCase{"LongRuns6", kLongRuns, 6, 400, 300},
                    RoundTripCase{"Noise7", kNoise, 7, 150, 100},
                    RoundTripCase{"Noise8ManyClears", kNoise, 8, 400, 300},
                    RoundTripCase{"GrowingRuns8", kGrowingRuns, 8, 640, 480},
                    RoundTripCase{"OnePixel", kNoise, 8, 1, 1},
                    RoundTripCase{"SolidBeyondOneTable", kSolid, 8, 2720, 2710}),
    [](const testing::TestParamInfo<RoundTripCase>& row) { return row.param.name; });

}  // namespace
}  // namespace vexo::gif
