// The reader over the corpus with libpng as the oracle: every file libpng decodes draws over
// white exactly as libpng's pixels composited over white (through the image's gamma table),
// unless corpus.expect records why we refuse it; PngSuite's corrupt files and the malformed
// collections give the outcome corpus.expect records (and libpng's pixels where it decodes them).
// Written back by our writer, the files decode with libpng to the same pixels.
// Hand-made files cover what the corpus does not: limits, a decompression bomb, the conversion to
// Bitmap and a mutation sweep.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "png/png.h"
#include "support/libpng_reference.h"
#include "support/png_file.h"
#include "support/reference.h"

namespace vexo {
namespace {

const std::string kCorpus = VEXO_CORPUS_DIR;

constexpr const char* kClassNames[kPngErrcCount] = {
    "EPNGInvalidFileHeader",
    "EPngUnexpectedEnd",
    "EPNGIHDRNotFirst",
    "EPNGUnknownCriticalChunk",
    "EPngInvalidCRC",
    "EPngInvalidIHDR",
    "EPNGSizeExceeds",
    "EPNGUnknownCompression",
    "EPNGUnknownInterlace",
    "EPNGInvalidPalette",
    "EPNGMissingMultipleIDAT",
    "EPNGZLIBError",
    "EPNGNoImageData",
    "EPNGInvalidSpec",
    "EPNGCannotChangeTransparent",
    "EPNGHeaderNotPresent",
    "EPngError",
    "EPngError",
    "EPngError",
};

// corpus.expect: "<path below the corpus> <outcome>", # comments.
std::map<std::string, std::string> expectations() {
  std::ifstream in(std::string(VEXO_SOURCE_DIR) + "/tests/png/corpus.expect");
  std::map<std::string, std::string> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    rows[line.substr(0, space)] = line.substr(space + 1);
  }
  return rows;
}

DecodeLimits tightLimits() {
  DecodeLimits limits;
  limits.maxImageBytes = 64u << 20;
  return limits;
}

// Loads and draws over white: "ok WxH", or the class of the exception.
std::string load(std::span<const std::uint8_t> data, TPNGObject& image, Bitmap* drawn = nullptr) {
  image.setLimits(tightLimits());
  try {
    image.loadFromMemory(data);
    if (drawn) {
      *drawn = Bitmap(image.width(), image.height(), 24);
      image.draw(*drawn, 0, 0);
    }
    return "ok " + std::to_string(image.width()) + "x" + std::to_string(image.height());
  } catch (const EPngError& e) {
    return kClassNames[static_cast<int>(e.code())];
  } catch (const ImageSizeError&) {
    return "ImageSizeError";
  }
}

std::string relative(const std::string& path) {
  return path.substr(kCorpus.size() + 1);
}

// Building files from chunks, for the hand-made cases and for dropping a chunk of a file.

void appendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void appendChunk(std::vector<std::uint8_t>& out, const char* type,
                 const std::vector<std::uint8_t>& data) {
  appendU32(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  appendU32(out, static_cast<std::uint32_t>(::crc32(0, out.data() + start, data.size() + 4)));
}

std::vector<std::uint8_t> header(std::uint32_t w, std::uint32_t h, std::uint8_t depth,
                                 std::uint8_t type) {
  std::vector<std::uint8_t> d;
  appendU32(d, w);
  appendU32(d, h);
  d.insert(d.end(), {depth, type, 0, 0, 0});
  return d;
}

std::vector<std::uint8_t> deflate(const std::vector<std::uint8_t>& raw) {
  uLongf size = ::compressBound(raw.size());
  std::vector<std::uint8_t> out(size);
  ::compress(out.data(), &size, raw.data(), raw.size());
  out.resize(size);
  return out;
}

// A PNG of the given IHDR, raw (filtered) image data and extra chunks before IDAT.
std::vector<std::uint8_t> makePng(
    const std::vector<std::uint8_t>& ihdr, const std::vector<std::uint8_t>& raw,
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>>& before = {}) {
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  appendChunk(png, "IHDR", ihdr);
  for (const auto& [type, data] : before) appendChunk(png, type, data);
  appendChunk(png, "IDAT", deflate(raw));
  appendChunk(png, "IEND", {});
  return png;
}

// The file with every chunk of one type left out.
std::vector<std::uint8_t> withoutChunk(const std::vector<std::uint8_t>& data, const char* type) {
  std::vector<std::uint8_t> out(data.begin(), data.begin() + 8);
  for (const auto& chunk : test::parsePngFile(data).chunks)
    if (chunk.type != type) appendChunk(out, chunk.type.c_str(), chunk.data);
  return out;
}

TEST(PngReaderCorpus, DrawsWhatLibpngDecodesOrRefusesAsRecorded) {
  const auto expected = expectations();
  int compared = 0, refused = 0;
  for (const auto* folder : {"png/pngsuite", "png/image-png", "png/wuffs"}) {
    for (const auto& path : test::filesBelow(kCorpus + "/" + folder)) {
      const std::string name = relative(path);
      const auto data = test::readFile(path);
      TPNGObject image;
      Bitmap drawn;
      const std::string got = load(data, image, &drawn);
      if (const auto row = expected.find(name); row != expected.end()) {
        EXPECT_EQ(got, row->second) << name;
        ++refused;
        continue;
      }
      const auto reference = test::decodeWithLibpng(data);
      ASSERT_TRUE(reference.ok()) << name << ": libpng says " << reference.error;
      ASSERT_EQ(got.substr(0, 2), "ok") << name << ": " << got;
      EXPECT_EQ(test::bitmapRgb(drawn), test::overWhite(reference, image.GammaTable().data()))
          << name;
      EXPECT_EQ(image.Chunks().Find("cHRM"), nullptr) << name;  // dropped, never stored
      // Written back, every colour type and depth keeps what libpng sees (read without its gAMA
      // chunk: gamma tables are not exactly invertible).
      TPNGObject plain;
      plain.loadFromMemory(withoutChunk(data, "gAMA"));
      plain.setDeflateLevel(1);
      plain.RowFilters = kAllFilters;
      const auto again = test::decodeWithLibpng(plain.saveToMemory());
      EXPECT_EQ(again.rgba, reference.rgba) << name << " written back: " << again.error;
      ++compared;
    }
  }
  EXPECT_GT(compared, 180);
  EXPECT_GE(refused, 15);
}

TEST(PngReaderCorpus, MalformedFilesGiveTheirRecordedOutcome) {
  const auto expected = expectations();
  for (const auto* folder :
       {"malformed/png-image-png", "malformed/png-libpng", "malformed/png-wuffs"}) {
    for (const auto& path : test::filesBelow(kCorpus + "/" + folder)) {
      TPNGObject image;
      Bitmap drawn;
      const auto row = expected.find(relative(path));
      ASSERT_NE(row, expected.end()) << relative(path) << " has no recorded outcome";
      const auto data = test::readFile(path);
      const std::string got = load(data, image, &drawn);
      EXPECT_EQ(got, row->second) << relative(path);
      if (got.substr(0, 2) != "ok") continue;
      const auto reference = test::decodeWithLibpng(data);
      if (reference.ok()) {  // what both decoders show, they show alike
        EXPECT_EQ(test::bitmapRgb(drawn), test::overWhite(reference, image.GammaTable().data()))
            << relative(path);
      }
    }
  }
}

TEST(PngReader, HugeDeclaredImagesAreRefusedBeforeAllocating) {
  TPNGObject image;
  // 60000 × 60000 RGBA would need 14 GB: refused from the header alone.
  EXPECT_EQ(load(makePng(header(60000, 60000, 8, 6), {0}), image), "ImageSizeError");
  EXPECT_EQ(load(makePng(header(65536, 1, 8, 0), {0}), image), "EPNGSizeExceeds");
  EXPECT_EQ(load(makePng(header(0, 1, 8, 0), {0}), image), "EPngInvalidIHDR");
}

TEST(PngReader, TextThatInflatesPastTheBoundIsDroppedNotKept) {
  // 80 MiB of text in an 80 KiB zTXt: the image loads, that text stays empty, the next is read.
  std::vector<std::uint8_t> ztxt = {'b', 'o', 'm', 'b', 0, 0};
  const auto bomb = deflate(std::vector<std::uint8_t>(80u << 20, 'x'));
  ztxt.insert(ztxt.end(), bomb.begin(), bomb.end());
  std::vector<std::uint8_t> small = {0, 0};  // an empty keyword is read like any other
  const auto hello = deflate({'h', 'i'});
  small.insert(small.end(), hello.begin(), hello.end());
  TPNGObject image;
  ASSERT_EQ(load(makePng(header(1, 1, 8, 0), {0, 7}, {{"zTXt", ztxt}, {"zTXt", small}}), image),
            "ok 1x1");
  std::vector<std::string> texts;
  for (const auto& chunk : image.Chunks())
    if (auto* text = dynamic_cast<const TChunkzTXt*>(chunk.get())) texts.push_back(text->Text);
  EXPECT_EQ(texts, (std::vector<std::string>{"", "hi"}));
}

struct BitmapCase {
  const char* file;
  int bits;
  bool transparent;
};

class PngToBitmap : public ::testing::TestWithParam<BitmapCase> {};

TEST_P(PngToBitmap, TakesTheDepthOfTheImage) {
  TPNGObject image;
  image.loadFromFile(kCorpus + "/png/pngsuite/" + GetParam().file);
  const Bitmap bitmap = image.ToBitmap();
  EXPECT_EQ(bitmap.bits(), GetParam().bits);
  EXPECT_EQ(bitmap.transparent, GetParam().transparent);
  Bitmap drawn(image.width(), image.height(), 24);
  image.draw(drawn, 0, 0);
  if (!GetParam().transparent) {  // the same pixels as drawing, whatever the depth
    EXPECT_EQ(test::bitmapRgb(ConvertToBitmap24(bitmap)), test::bitmapRgb(drawn));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, PngToBitmap,
    ::testing::Values(BitmapCase{"basn0g01.png", 1, false}, BitmapCase{"basn0g02.png", 4, false},
                      BitmapCase{"basn3p04.png", 4, false}, BitmapCase{"basn3p08.png", 8, false},
                      BitmapCase{"basn0g16.png", 24, false}, BitmapCase{"basn2c16.png", 24, false},
                      BitmapCase{"basn6a08.png", 24, false}, BitmapCase{"tm3n3p02.png", 24, false},
                      BitmapCase{"tbbn3p08.png", 8, true}, BitmapCase{"tbbn0g04.png", 4, true},
                      BitmapCase{"tbbn2c16.png", 24, true}),
    [](const ::testing::TestParamInfo<BitmapCase>& p) {
      std::string name = p.param.file;
      return name.substr(0, name.find('.'));
    });

// Every byte of small valid files set to 0, 255 and its complement, every single-bit flip and
// every prefix: each loads or throws one of the program's errors, within the limits.
TEST(PngReader, MutationAndTruncationSweep) {
  for (const char* file : {"basn0g01.png", "basn3p02.png", "tbbn2c16.png", "basi4a08.png"}) {
    const auto seed = test::readFile(kCorpus + "/png/pngsuite/" + file);
    auto attempt = [&](const std::vector<std::uint8_t>& data) {
      TPNGObject image;
      Bitmap drawn;
      try {
        load(data, image, &drawn);
      } catch (const Error&) {
      }
    };
    for (std::size_t i = 0; i < seed.size(); ++i) {
      auto data = seed;
      for (int v : {0x00, 0xFF, static_cast<int>(seed[i] ^ 0xFF)}) {
        data[i] = static_cast<std::uint8_t>(v);
        attempt(data);
      }
      for (int bit = 0; bit < 8; ++bit) {
        data[i] = static_cast<std::uint8_t>(seed[i] ^ (1 << bit));
        attempt(data);
      }
      attempt({seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(i)});
    }
  }
}

TEST(PngErrors, EachCodeRaisesItsClassWithItsOwnMessage) {
  std::set<std::string_view> texts;
  for (int i = 0; i < kPngErrcCount; ++i) {
    const auto code = static_cast<PngErrc>(i);
    EXPECT_TRUE(texts.insert(PngErrorText(code)).second) << i;
    try {
      RaisePngError(code, code == PngErrc::kZLIBError ? ZlibStatusText(-3) : "");
      FAIL();
    } catch (const EPngError& e) {
      EXPECT_EQ(e.code(), code);
      EXPECT_EQ(std::string(e.what()).rfind(std::string(PngErrorText(code)), 0), 0u);
    }
  }
  EXPECT_THROW(RaisePngError(PngErrc::kInvalidCRC), EPngInvalidCRC);
  EXPECT_THROW(RaisePngError(PngErrc::kZLIBError), EPNGZLIBError);
  EXPECT_EQ(std::string(EPNGZLIBError(ZlibStatusText(-3)).what()),
            "Could not decompress the image because it contains invalid compressed data.\r\n "
            "Description: data error (-3)");
}

}  // namespace
}  // namespace vexo
