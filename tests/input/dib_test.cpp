// The ".dib" reader (TDibImage): the 40-byte and 12-byte headers only, bit fields with the
// documented channel formula, and the pixel data bounded by the file size field.
#include "input/dib.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "input/bmp.h"
#include "input/bmp_builder.h"
#include "support/reference.h"

namespace vexo {
namespace {

using test::BmpSpec;
using test::buildBmp;

const std::string kCorpus = VEXO_CORPUS_DIR;

BmpSpec spec(std::function<void(BmpSpec&)> edit) {
  BmpSpec s;
  edit(s);
  return s;
}

std::vector<std::uint8_t> le16(std::initializer_list<unsigned> words) {
  std::vector<std::uint8_t> out;
  for (auto w : words)
    out.insert(out.end(), {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8)});
  return out;
}

// Decodes through the Graphic class, as the format table does.
Bitmap readDib(const std::vector<std::uint8_t>& bytes) {
  TDibImage image;
  image.loadFromMemory(bytes);
  return image.bitmap();
}

std::optional<DibErrc> errorOf(const std::vector<std::uint8_t>& bytes) {
  try {
    readDib(bytes);
    return std::nullopt;
  } catch (const DibError& e) {
    EXPECT_EQ(std::string_view(e.what()), DibErrorText(e.code()));
    return e.code();
  }
}

// Every corpus file with a 40-byte or 12-byte header that ReadBmp decodes gives the same pixels
// through TDibImage (ReadBmp itself is checked against Pillow and ImageMagick); V4 and V5 files
// are invalid bitmaps here.
TEST(DibCorpus, SameAsBmpReaderOrInvalidHeader) {
  int same = 0, invalid = 0;
  for (const char* dir : {"bmp/bmpsuite/g", "bmp/image-rs", "bmp/pillow", "bmp/wuffs"}) {
    for (const auto& path : test::filesBelow(kCorpus + "/" + dir)) {
      if (path.ends_with(".dib")) continue;
      SCOPED_TRACE(path);
      const auto bytes = test::readFile(path);
      const std::uint32_t headerSize = bytes[14] | bytes[15] << 8;
      const std::uint32_t compression = headerSize == 40 ? bytes[30] : 0;
      if (headerSize != 40 && headerSize != 12) {
        EXPECT_EQ(errorOf(bytes), DibErrc::kInvalidBitmap);
        ++invalid;
      } else if (compression <= 3) {
        try {
          const auto expected = test::bitmapRgb(ReadBmp(bytes, DecodeLimits{}));
          EXPECT_EQ(test::bitmapRgb(readDib(bytes)), expected);
          ++same;
        } catch (const BmpError& e) {  // refused by both
          EXPECT_EQ(std::string(DibErrorText(errorOf(bytes).value())), e.what());
        }
      }
    }
  }
  EXPECT_GT(same, 30);
  EXPECT_GT(invalid, 10);
}

TEST(DibCorpus, ClipboardDibWithoutFileHeaderIsRefused) {
  EXPECT_EQ(errorOf(test::readFile(kCorpus + "/bmp/pillow/clipboard.dib")), DibErrc::kNotBitmap);
}

TEST(DibCorpus, BrokenFilesNeverCrash) {
  DecodeLimits limits;
  limits.maxImageBytes = 64u << 20;
  for (const char* dir : {"bmp/bmpsuite/b", "bmp/bmpsuite/q", "bmp/bmpsuite/x",
                          "malformed/bmp-image-rs", "malformed/bmp-pillow"}) {
    for (const auto& path : test::filesBelow(kCorpus + "/" + dir)) {
      SCOPED_TRACE(path);
      try {
        const Bitmap b = ReadDib(test::readFile(path), limits);
        EXPECT_LE(b.dataSize(), limits.maxImageBytes);
      } catch (const Error&) {
      }
    }
  }
}

struct DibCase {
  DibCase(const char* w, BmpSpec s, std::vector<std::uint8_t> r) : what(w), spec(s), rgb(r) {}
  DibCase(const char* w, BmpSpec s, DibErrc e) : what(w), spec(s), error(e) {}
  const char* what;
  BmpSpec spec;
  std::vector<std::uint8_t> rgb;  // expected top-down R,G,B when no error
  std::optional<DibErrc> error;
};

std::vector<DibCase> dibCases() {
  return {
      // Default 16-bit masks 0x7C00, 0x03E0, 0x001F: channel = v * 255 / 31.
      {"16 bits, default masks",
       spec([](BmpSpec& s) {
         s.width = 6, s.bits = 16;
         s.pixels = le16({0x7FFF, 0x0000, 0x0421, 0x4210, 0x7C00, 0x801F});  // top bit unused
         s.pixels.resize(12);
       }),
       {255, 255, 255, 0, 0, 0, 8, 8, 8, 131, 131, 131, 255, 0, 0, 0, 0, 255}},
      {"16 bits, compression 3 with 5-6-5 masks in front of the palette",
       spec([](BmpSpec& s) {
         s.width = 5, s.bits = 16, s.compression = 3, s.masks = {0xF800, 0x07E0, 0x001F};
         s.pixels = le16({0xF800, 0x07E0, 0x0020, 0x001F, 0x8410});
         s.pixels.resize(12);
       }),
       {255, 0, 0, 0, 255, 0, 0, 4, 0, 0, 0, 255, 131, 129, 131}},
      {"32 bits, default masks; the fourth byte is ignored",
       spec([](BmpSpec& s) {
         s.width = 2, s.bits = 32;
         s.pixels = {1, 2, 3, 0xFF, 4, 5, 6, 0x80};
       }),
       {3, 2, 1, 6, 5, 4}},
      {"32 bits, compression 3 with 4-bit masks (any masks, scaled to 255)",
       spec([](BmpSpec& s) {
         s.width = 1, s.bits = 32, s.compression = 3, s.masks = {0xF000, 0x0F00, 0x00F0};
         s.pixels = {0x70, 0xF1, 0, 0};  // red 15, green 1, blue 7
       }),
       {255, 17, 119}},
      {"colour count 0 means 2^bits entries",
       spec([](BmpSpec& s) {
         s.width = 2, s.bits = 4, s.palette = test::paletteBytes({0x000000, 0x112233});
         s.palette.resize(64);
         s.pixels = {0x10, 0, 0, 0};
       }),
       {0x11, 0x22, 0x33, 0, 0, 0}},
      {"300 palette entries: read past, the first 256 kept",
       spec([](BmpSpec& s) {
         s.bits = 8, s.colorsUsed = 300;
         s.palette.resize(300 * 4);
         s.palette[255 * 4 + 2] = 0x99;  // entry 255: red 0x99
         s.pixels = {255, 0, 0, 0};
       }),
       {0x99, 0, 0}},
      {"core header, 3-byte palette entries",
       spec([](BmpSpec& s) {
         s.headerSize = 12, s.width = 2, s.bits = 1;
         s.palette = test::paletteBytes({0xFF0000, 0x0000FF}, 3);
         s.pixels = {0x40, 0, 0, 0};
       }),
       {255, 0, 0, 0, 0, 255}},
      {"RLE4 accepted",
       spec([](BmpSpec& s) {
         s.width = 2, s.bits = 4, s.compression = 2, s.colorsUsed = 2;
         s.palette = test::paletteBytes({0x000000, 0xFFFFFF});
         s.pixels = {2, 0x10, 0, 1};
       }),
       {255, 255, 255, 0, 0, 0}},
      {"file size field larger than the file: the real data is used",
       spec([](BmpSpec& s) {
         s.pixels = {1, 2, 3, 0};
         s.fileSize = 100000;
       }),
       {3, 2, 1}},

      {"header size 108 (V4)", spec([](BmpSpec& s) { s.headerSize = 108, s.pixels.resize(4); }),
       DibErrc::kInvalidBitmap},
      {"header size 124 (V5)", spec([](BmpSpec& s) { s.headerSize = 124, s.pixels.resize(4); }),
       DibErrc::kInvalidBitmap},
      {"no BM signature", spec([](BmpSpec& s) { s.signature[0] = 'X'; }), DibErrc::kNotBitmap},
      {"width 0", spec([](BmpSpec& s) { s.width = 0; }), DibErrc::kInvalidBitmap},
      {"width negative", spec([](BmpSpec& s) { s.width = -5; }), DibErrc::kInvalidBitmap},
      {"height 0", spec([](BmpSpec& s) { s.height = 0; }), DibErrc::kInvalidBitmap},
      {"bit count 2", spec([](BmpSpec& s) { s.bits = 2, s.palette.resize(16); }),
       DibErrc::kInvalidBitmap},
      {"core header with 16 bits", spec([](BmpSpec& s) { s.headerSize = 12, s.bits = 16; }),
       DibErrc::kInvalidBitmap},
      {"zero mask", spec([](BmpSpec& s) {
         s.bits = 16, s.compression = 3, s.masks = {0xF800, 0, 0x001F}, s.pixels.resize(4);
       }),
       DibErrc::kInvalidBitmap},
      {"compression 3 on 24 bits", spec([](BmpSpec& s) {
         s.compression = 3, s.masks = {0xFF, 0xFF00, 0xFF0000};
       }),
       DibErrc::kInvalidBitmap},
      {"compression 4 (JPEG)", spec([](BmpSpec& s) { s.compression = 4; }),
       DibErrc::kInvalidBitmap},
      {"pixel-data offset inside the palette", spec([](BmpSpec& s) {
         s.bits = 8, s.palette.resize(1024), s.pixels.resize(4), s.offBits = 54 + 512;
       }),
       DibErrc::kInvalidBitmap},
      {"pixel-data offset inside the masks", spec([](BmpSpec& s) {
         s.bits = 16, s.compression = 3, s.masks = {0xF800, 0x07E0, 0x001F}, s.offBits = 60;
         s.pixels.resize(4);
       }),
       DibErrc::kInvalidBitmap},
      {"file size field smaller than the pixel data", spec([](BmpSpec& s) {
         s.height = 2, s.pixels.resize(8);
         s.fileSize = 54 + 6;
       }),
       DibErrc::kTruncated},
      {"rows missing from the file", spec([](BmpSpec& s) { s.height = 3, s.pixels.resize(8); }),
       DibErrc::kTruncated},
      {"index past a 2-entry palette", spec([](BmpSpec& s) {
         s.bits = 8, s.colorsUsed = 2, s.palette.resize(8), s.pixels = {7, 0, 0, 0};
       }),
       DibErrc::kPaletteIndex},
  };
}

TEST(DibRead, HandBuiltFiles) {
  for (const auto& c : dibCases()) {
    SCOPED_TRACE(c.what);
    const auto bytes = buildBmp(c.spec);
    if (c.error) {
      EXPECT_EQ(errorOf(bytes), c.error);
    } else {
      try {
        EXPECT_EQ(test::bitmapRgb(readDib(bytes)), c.rgb);
      } catch (const Error& e) {
        ADD_FAILURE() << e.what();
      }
    }
  }
}

TEST(DibRead, V4HeaderIsForTheBmpReaderOnly) {
  const auto bytes = buildBmp(spec([](BmpSpec& s) {
    s.headerSize = 108, s.bits = 16, s.compression = 3, s.masks = {0xF800, 0x07E0, 0x001F};
    s.pixels = le16({0xF800, 0});
  }));
  EXPECT_EQ(errorOf(bytes), DibErrc::kInvalidBitmap);
  EXPECT_EQ(test::bitmapRgb(ReadBmp(bytes, DecodeLimits{})),
            (std::vector<std::uint8_t>{255, 0, 0}));
}

TEST(DibRead, HugeDeclaredSizeIsRefusedByTheLimit) {
  const auto bytes = buildBmp(
      spec([](BmpSpec& s) { s.width = INT32_MAX, s.height = INT32_MAX, s.pixels.resize(4); }));
  EXPECT_THROW(readDib(bytes), ImageSizeError);
}

TEST(DibRead, MessageTableIsComplete) {
  std::set<std::string_view> seen;
  for (int i = 0; i < kDibErrcCount; ++i) {
    const auto text = DibErrorText(static_cast<DibErrc>(i));
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(seen.insert(text).second) << "duplicate: " << text;
  }
  EXPECT_EQ(DibErrorText(DibErrc::kInvalidBitmap), "Invalid bitmap");
}

TEST(DibRead, MutationAndTruncationSweep) {
  DecodeLimits limits;
  limits.maxImageBytes = 1 << 20;
  std::vector<std::vector<std::uint8_t>> seeds;
  for (const auto& c : dibCases())
    if (!c.error) seeds.push_back(buildBmp(c.spec));
  for (const char* name : {"Info_4_Bit.bmp", "Info_X1_R5_G5_B5.bmp", "Info_1_Bit_Top_Down.bmp"})
    seeds.push_back(test::readFile(kCorpus + "/bmp/image-rs/" + name));
  for (const auto& seed : seeds) {
    auto check = [&](std::span<const std::uint8_t> bytes) {
      try {
        const Bitmap b = ReadDib(bytes, limits);
        ASSERT_EQ(b.bits(), 24);
        ASSERT_LE(b.dataSize(), limits.maxImageBytes);
      } catch (const Error&) {
      }
    };
    std::vector<std::uint8_t> m = seed;
    for (std::size_t i = 0; i < seed.size(); ++i) {
      for (int v : {0x00, 0xFF, ~seed[i] & 0xFF, seed[i] ^ 1, seed[i] ^ 2, seed[i] ^ 4, seed[i] ^ 8,
                    seed[i] ^ 16, seed[i] ^ 32, seed[i] ^ 64, seed[i] ^ 128}) {
        m[i] = static_cast<std::uint8_t>(v);
        check(m);
      }
      m[i] = seed[i];
    }
    for (std::size_t n = 0; n < seed.size(); ++n) check(std::span(seed).first(n));
  }
}

}  // namespace
}  // namespace vexo
