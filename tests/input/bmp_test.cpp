// The ".bmp" reader and the bitmap writer, checked against Pillow and ImageMagick on the shared
// corpus, on hand-built files, and by a mutation sweep.
#include "input/bmp.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "input/bmp_builder.h"
#include "support/reference.h"

namespace vexo {
namespace {

using test::BmpSpec;
using test::buildBmp;

const std::string kCorpus = VEXO_CORPUS_DIR;

std::string baseName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// Header fields the tests need to pick a tolerance.
int fileBits(const std::vector<std::uint8_t>& bytes) {
  const std::uint32_t hs = bytes[14] | bytes[15] << 8;
  return hs == 12 ? bytes[24] | bytes[25] << 8 : bytes[28] | bytes[29] << 8;
}

// Files Pillow misreads, compared with ImageMagick instead.
const std::map<std::string, std::string> kPillowMisreads = {
    {"pal4rle.bmp",
     "Pillow 9.4 misreads RLE4 runs; ImageMagick gives the picture of pal4.bmp, as we do"},
};

struct Reference {
  std::vector<std::uint8_t> rgb;
  int w = 0, h = 0;
  std::string who;
  // Width of the red, green and blue bit fields when ImageMagick decoded a bit-field file.
  std::array<int, 3> channelBits = {8, 8, 8};
};

// Pillow, or ImageMagick for what Pillow refuses (many bit-field layouts, 52/56-byte headers).
// ImageMagick 6 widens narrow channels inconsistently (5 and 6 bits by bit replication, 2 and 4
// bits by a plain shift: 15 -> 240), so bit-field files are compared at each channel's own
// precision there.
Reference reference(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  Reference ref;
  if (!kPillowMisreads.count(baseName(path))) {
    ref.who = "Pillow";
    ref.rgb = test::pillowRgb(path, ref.w, ref.h);
    if (ref.w != 0) return ref;
  }
  ref.who = "ImageMagick";
  ref.rgb = test::magickRgb(path, ref.w, ref.h);
  const std::uint32_t compression = bytes[30] | bytes[31] << 8;
  if (fileBits(bytes) >= 16 && (compression == 3 || compression == 6)) {
    for (int c = 0; c < 3; ++c) {
      const std::size_t at = 54 + 4 * static_cast<std::size_t>(c);
      const std::uint32_t mask = bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                 static_cast<std::uint32_t>(bytes[at + 3]) << 24;
      ref.channelBits[c] = std::popcount(mask);
    }
  }
  return ref;
}

// Largest difference, at each channel's precision when it is narrower than 8 bits.
int difference(const std::vector<std::uint8_t>& ours, const Reference& ref) {
  if (ours.size() != ref.rgb.size()) return 256;
  int worst = 0;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    const int n = ref.channelBits[i % 3];
    int a = ours[i], b = ref.rgb[i];
    if (n < 8) {
      const int max = (1 << n) - 1;
      a = (a * max + 127) / 255;  // our v * 255 / max, back to v
      b >>= 8 - n;
    }
    worst = std::max(worst, std::abs(a - b));
  }
  return worst;
}

TEST(BmpCorpus, GoodFilesMatchReferenceDecoders) {
  int checked = 0;
  for (const char* dir : {"bmp/bmpsuite/g", "bmp/image-rs", "bmp/pillow", "bmp/wuffs"}) {
    for (const auto& path : test::filesBelow(kCorpus + "/" + dir)) {
      // clipboard.dib has no file header (TDibImage's test); the two run-length files whose runs
      // leave the image are refused (rle_overflow.bmp has its own test).
      if (path.ends_with(".dib") || path.ends_with("rle_overflow.bmp")) continue;
      if (path.ends_with("imagemagick_invalid_run_length_issue_2321.bmp")) {
        EXPECT_THROW(ReadBmp(test::readFile(path), DecodeLimits{}), BmpError);
        continue;
      }
      SCOPED_TRACE(path);
      const auto bytes = test::readFile(path);
      Bitmap bitmap;
      try {
        bitmap = ReadBmp(bytes, DecodeLimits{});
      } catch (const Error& e) {
        ADD_FAILURE() << "refused: " << e.what();
        continue;
      }
      const Reference ref = reference(path, bytes);
      ASSERT_GT(ref.w, 0) << "no reference decoder reads this file";
      EXPECT_EQ(bitmap.width(), ref.w);
      EXPECT_EQ(bitmap.height(), ref.h);
      // 16- and 32-bit channels are scaled to 8 bits; decoders round differently by one level.
      const int tolerance = fileBits(bytes) >= 16 && fileBits(bytes) != 24 ? 1 : 0;
      EXPECT_LE(difference(test::bitmapRgb(bitmap), ref), tolerance) << ref.who;
      ++checked;
    }
  }
  EXPECT_GT(checked, 60);
}

// lenient/rle_overflow.bmp: 2 x 2, RLE8; the bottom row is an absolute run of three pixels in a
// row of two. Pillow and ImageMagick refuse it too.
TEST(BmpCorpus, RleRunPastRowEndIsRefused) {
  const auto bytes = test::readFile(kCorpus + "/bmp/image-rs/lenient/rle_overflow.bmp");
  try {
    ReadBmp(bytes, DecodeLimits{});
    ADD_FAILURE() << "decoded";
  } catch (const BmpError& e) {
    EXPECT_EQ(e.code(), BmpErrc::kRleOutside);
  }
}

// The suite's "bad" files are refused, except where only a field that does not affect the
// pixels is absurd.
const std::map<std::string, std::string> kBadFilesThatDecode = {
    {"baddens1.bmp", "absurd resolution: not used for drawing, ignored"},
    {"baddens2.bmp", "absurd resolution: not used for drawing, ignored"},
};

// Reads with a small limit; returns the error text, or "" when the file decoded.
std::string outcome(const std::vector<std::uint8_t>& bytes, Bitmap* out = nullptr) {
  DecodeLimits limits;
  limits.maxImageBytes = 64u << 20;
  try {
    Bitmap b = ReadBmp(bytes, limits);
    EXPECT_EQ(b.bits(), 24);
    EXPECT_LE(b.dataSize(), limits.maxImageBytes);
    if (out) *out = std::move(b);
    return "";
  } catch (const BmpError& e) {
    return std::string("BmpError: ") + e.what();
  } catch (const ImageSizeError& e) {
    return std::string("ImageSizeError: ") + e.what();
  }
}

TEST(BmpCorpus, BadFilesAreRefusedOrDecodeSafely) {
  for (const auto& path : test::filesBelow(kCorpus + "/bmp/bmpsuite/b")) {
    SCOPED_TRACE(path);
    const std::string result = outcome(test::readFile(path));
    if (kBadFilesThatDecode.count(baseName(path)))
      EXPECT_EQ(result, "");
    else
      EXPECT_NE(result, "");
  }
}

TEST(BmpCorpus, MalformedFilesAreRefused) {
  for (const char* dir : {"malformed/bmp-image-rs", "malformed/bmp-pillow", "bmp/bmpsuite/x"}) {
    for (const auto& path : test::filesBelow(kCorpus + "/" + dir)) {
      SCOPED_TRACE(path);
      const std::string result = outcome(test::readFile(path));
      EXPECT_NE(result, "");
    }
  }
}

TEST(BmpCorpus, QuestionableFilesNeverCrash) {
  int decoded = 0;
  for (const auto& path : test::filesBelow(kCorpus + "/bmp/bmpsuite/q")) {
    SCOPED_TRACE(path);
    decoded += outcome(test::readFile(path)).empty();
  }
  EXPECT_GT(decoded, 0);
}

// ---- Hand-built files -------------------------------------------------------------------------

struct HandCase {
  HandCase(const char* w, BmpSpec s, std::vector<std::uint8_t> r) : what(w), spec(s), rgb(r) {}
  HandCase(const char* w, BmpSpec s, std::vector<std::uint8_t> r, BmpErrc e)
      : what(w), spec(s), rgb(r), error(e) {}
  const char* what;
  BmpSpec spec;
  std::vector<std::uint8_t> rgb;  // expected top-down R,G,B when no error
  std::optional<BmpErrc> error;
};

BmpSpec spec(std::function<void(BmpSpec&)> edit) {
  BmpSpec s;
  edit(s);
  return s;
}

const std::vector<std::uint32_t> kBlackWhite = {0x000000, 0xFFFFFF};

std::vector<HandCase> handCases() {
  return {
      {"1 bit, 5 x 2: MSB first, rows padded to 4 bytes, bottom row first",
       spec([](BmpSpec& s) {
         s.width = 5, s.height = 2, s.bits = 1, s.palette = test::paletteBytes(kBlackWhite);
         s.pixels = {0b10100000, 0, 0, 0, 0b01011000, 0, 0, 0};
       }),
       {0,   0,   0,   255, 255, 255, 0,   0,   0,   255, 255, 255, 255, 255, 255,  // top
        255, 255, 255, 0,   0,   0,   255, 255, 255, 0,   0,   0,   0,   0,   0}},
      {"2 bits (Windows CE), 3 x 1",
       spec([](BmpSpec& s) {
         s.width = 3, s.bits = 2,
         s.palette = test::paletteBytes({0x000000, 0xFF0000, 0x00FF00, 0x0000FF});
         s.pixels = {0b11100100, 0, 0, 0};
       }),
       {0, 0, 255, 0, 255, 0, 255, 0, 0}},
      {"core header, 8 bits, 3-byte palette entries",
       spec([](BmpSpec& s) {
         s.headerSize = 12, s.width = 2, s.bits = 8;
         s.palette = test::paletteBytes({0x102030, 0x405060}, 3);
         s.pixels = {1, 0, 0, 0};
       }),
       {0x40, 0x50, 0x60, 0x10, 0x20, 0x30}},
      {"16 bits without masks: 5-5-5, channel v * 255 / 31",
       spec([](BmpSpec& s) {
         s.width = 3, s.bits = 16;
         s.pixels = {0xFF, 0x7F, 0x21, 0x04, 0x00, 0x7C, 0, 0};  // 0x7FFF, 0x0421, 0x7C00
       }),
       {255, 255, 255, 8, 8, 8, 255, 0, 0}},
      {"32 bits, bit fields 10-10-10 in a 124-byte header",
       spec([](BmpSpec& s) {
         s.headerSize = 124, s.width = 2, s.bits = 32, s.compression = 3;
         s.masks = {0x3FF00000, 0x000FFC00, 0x000003FF};
         s.pixels = {0xFF, 0xFF, 0xFF, 0x3F, 0x00, 0x00, 0x00, 0x20};  // all ones; red 512
       }),
       {255, 255, 255, 127, 0, 0}},
      {"24 bits top-down: first stored row is the top",
       spec([](BmpSpec& s) {
         s.height = -2;
         s.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
       }),
       {3, 2, 1, 6, 5, 4}},
      {"RLE8: run, end of line, delta, literal, end of bitmap; undrawn pixels keep index 0",
       spec([](BmpSpec& s) {
         s.width = 4, s.height = 2, s.bits = 8, s.compression = 1, s.colorsUsed = 4;
         s.palette = test::paletteBytes({0x000000, 0xFF0000, 0x00FF00, 0x0000FF});
         s.pixels = {2, 1, 0, 0, 0, 2, 1, 0, 0, 3, 2, 3, 1, 0, 0, 1};
       }),
       {0,   0, 0, 0,   255, 0, 0, 0, 255, 255, 0, 0,    // top: 0, 2, 3, 1 (after delta 1)
        255, 0, 0, 255, 0,   0, 0, 0, 0,   0,   0, 0}},  // bottom: 1, 1, 0, 0
      {"RLE4: nibbles alternate high, low; literal run padded to 16 bits",
       spec([](BmpSpec& s) {
         s.width = 3, s.height = 1, s.bits = 4, s.compression = 2, s.colorsUsed = 3;
         s.palette = test::paletteBytes({0x000000, 0xFF0000, 0x00FF00});
         s.pixels = {0, 3, 0x12, 0x10, 0, 1};
       }),
       {255, 0, 0, 0, 255, 0, 255, 0, 0}},
      {"RLE4: a run past the row end",
       spec([](BmpSpec& s) {
         s.width = 3, s.height = 1, s.bits = 4, s.compression = 2, s.colorsUsed = 3;
         s.palette = test::paletteBytes({0x000000, 0xFF0000, 0x00FF00});
         s.pixels = {0, 3, 0x12, 0x10, 1, 0x22, 0, 1};
       }),
       {},
       BmpErrc::kRleOutside},
      {"RLE8: a literal run past the row end",
       spec([](BmpSpec& s) {
         s.width = 2, s.height = 1, s.bits = 8, s.compression = 1, s.colorsUsed = 2;
         s.palette = test::paletteBytes({0x000000, 0xFF0000});
         s.pixels = {0, 3, 1, 0, 1, 0, 0, 1};
       }),
       {},
       BmpErrc::kRleOutside},
      {"RLE8: a delta above the top row",
       spec([](BmpSpec& s) {
         s.width = 2, s.height = 2, s.bits = 8, s.compression = 1, s.colorsUsed = 2;
         s.palette = test::paletteBytes({0x000000, 0xFF0000});
         s.pixels = {0, 2, 0, 3, 0, 1};
       }),
       {},
       BmpErrc::kRleOutside},
      {"RLE8: a delta to just past the last row ends the drawing",
       spec([](BmpSpec& s) {
         s.width = 2, s.height = 2, s.bits = 8, s.compression = 1, s.colorsUsed = 2;
         s.palette = test::paletteBytes({0x000000, 0xFF0000});
         s.pixels = {2, 1, 0, 0, 0, 2, 0, 1};
       }),
       {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0}},

      {"signature BA (OS/2 bitmap array)",
       spec([](BmpSpec& s) { s.signature[1] = 'A'; }),
       {},
       BmpErrc::kNotBitmap},
      {"OS/2 2.x 64-byte header",
       spec([](BmpSpec& s) {
         s.headerSize = 64, s.pixels = {0, 0, 0, 0};
       }),
       {},
       BmpErrc::kHeaderSize},
      {"64 bits per pixel",
       spec([](BmpSpec& s) { s.bits = 64, s.pixels.resize(8); }),
       {},
       BmpErrc::kBitCount},
      {"JPEG inside (compression 4)",
       spec([](BmpSpec& s) { s.bits = 0, s.compression = 4; }),
       {},
       BmpErrc::kCompression},
      {"RLE8 compression on a 4-bit image",
       spec([](BmpSpec& s) { s.bits = 4, s.compression = 1, s.palette.resize(64); }),
       {},
       BmpErrc::kCompression},
      {"bit fields on a 24-bit image",
       spec([](BmpSpec& s) {
         s.compression = 3, s.masks = {0xFF0000, 0xFF00, 0xFF};
       }),
       {},
       BmpErrc::kCompression},
      {"width 0", spec([](BmpSpec& s) { s.width = 0; }), {}, BmpErrc::kDimensions},
      {"width -1", spec([](BmpSpec& s) { s.width = -1; }), {}, BmpErrc::kDimensions},
      {"height 0", spec([](BmpSpec& s) { s.height = 0; }), {}, BmpErrc::kDimensions},
      {"height -2^31 has no positive counterpart",
       spec([](BmpSpec& s) { s.height = INT32_MIN; }),
       {},
       BmpErrc::kDimensions},
      {"2 planes",
       spec([](BmpSpec& s) { s.planes = 2, s.pixels.resize(4); }),
       {},
       BmpErrc::kPlanes},
      {"pixel offset past the end of the file",
       spec([](BmpSpec& s) { s.offBits = 1000, s.pixels.resize(4); }),
       {},
       BmpErrc::kOffset},
      {"pixel offset inside the header",
       spec([](BmpSpec& s) { s.offBits = 40, s.pixels.resize(4); }),
       {},
       BmpErrc::kOffset},
      {"16 palette entries announced, room for 2 before the pixels",
       spec([](BmpSpec& s) {
         s.bits = 8, s.colorsUsed = 16, s.palette = test::paletteBytes(kBlackWhite);
         s.pixels.resize(4);
       }),
       {},
       BmpErrc::kPalette},
      {"index 2 in a 2-entry palette",
       spec([](BmpSpec& s) {
         s.bits = 8, s.colorsUsed = 2, s.palette = test::paletteBytes(kBlackWhite);
         s.pixels = {2, 0, 0, 0};
       }),
       {},
       BmpErrc::kPaletteIndex},
      {"RLE8 run of an index past the palette",
       spec([](BmpSpec& s) {
         s.bits = 8, s.compression = 1, s.colorsUsed = 2,
         s.palette = test::paletteBytes(kBlackWhite);
         s.pixels = {1, 5, 0, 1};
       }),
       {},
       BmpErrc::kPaletteIndex},
      {"overlapping masks",
       spec([](BmpSpec& s) {
         s.bits = 16, s.compression = 3, s.masks = {0xF800, 0x0FE0, 0x001F}, s.pixels.resize(4);
       }),
       {},
       BmpErrc::kMasks},
      {"mask with a gap",
       spec([](BmpSpec& s) {
         s.bits = 16, s.compression = 3, s.masks = {0xF800, 0x05E0, 0x001F}, s.pixels.resize(4);
       }),
       {},
       BmpErrc::kMasks},
      {"zero mask",
       spec([](BmpSpec& s) {
         s.bits = 16, s.compression = 3, s.masks = {0xF800, 0x07E0, 0}, s.pixels.resize(4);
       }),
       {},
       BmpErrc::kMasks},
      {"mask beyond the 16 bits of the pixel",
       spec([](BmpSpec& s) {
         s.bits = 16, s.compression = 3, s.masks = {0x1F0000, 0x07E0, 0x001F}, s.pixels.resize(4);
       }),
       {},
       BmpErrc::kMasks},
      {"run-length data stored top-down",
       spec([](BmpSpec& s) {
         s.height = -1, s.bits = 8, s.compression = 1, s.colorsUsed = 2;
         s.palette = test::paletteBytes(kBlackWhite);
         s.pixels = {0, 1};
       }),
       {},
       BmpErrc::kRleTopDown},
      {"last row one byte short",
       spec([](BmpSpec& s) { s.height = 2, s.pixels.resize(7); }),
       {},
       BmpErrc::kTruncated},
      {"file size field larger than the file",
       spec([](BmpSpec& s) { s.pixels.resize(4), s.fileSize = 1000; }),
       {},
       BmpErrc::kTruncated},
      {"image size field larger than the pixel data",
       spec([](BmpSpec& s) { s.pixels.resize(4), s.sizeImage = 1000; }),
       {},
       BmpErrc::kTruncated},
      {"RLE8 stream that stops inside a literal run",
       spec([](BmpSpec& s) {
         s.width = 8, s.bits = 8, s.compression = 1, s.colorsUsed = 2;
         s.palette = test::paletteBytes(kBlackWhite);
         s.pixels = {0, 6, 1, 1};
       }),
       {},
       BmpErrc::kTruncated},
      {"RLE8 stream without end of bitmap while rows remain",
       spec([](BmpSpec& s) {
         s.height = 2, s.bits = 8, s.compression = 1, s.colorsUsed = 2;
         s.palette = test::paletteBytes(kBlackWhite);
         s.pixels = {1, 1, 0, 0};
       }),
       {},
       BmpErrc::kTruncated},
      {"16384 x 16384 x 24 bits (under the limit) declared by a 58-byte file",
       spec([](BmpSpec& s) { s.width = 16384, s.height = 16384, s.pixels.resize(4); }),
       {},
       BmpErrc::kTruncated},
  };
}

TEST(BmpRead, HandBuiltFiles) {
  for (const auto& c : handCases()) {
    SCOPED_TRACE(c.what);
    const auto bytes = buildBmp(c.spec);
    if (c.error) {
      try {
        ReadBmp(bytes, DecodeLimits{});
        ADD_FAILURE() << "accepted";
      } catch (const BmpError& e) {
        EXPECT_EQ(e.code(), *c.error) << e.what();
        EXPECT_EQ(std::string_view(e.what()), BmpErrorText(*c.error));
      }
    } else {
      try {
        EXPECT_EQ(test::bitmapRgb(ReadBmp(bytes, DecodeLimits{})), c.rgb);
      } catch (const Error& e) {
        ADD_FAILURE() << e.what();
      }
    }
  }
}

TEST(BmpRead, HugeDeclaredSizesAreRefusedByTheLimit) {
  for (auto [w, h] : {std::pair{INT32_MAX, INT32_MAX}, {65536, 65536}, {INT32_MAX, 1}}) {
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
    const auto bytes =
        buildBmp(spec([&](BmpSpec& s) { s.width = w, s.height = h, s.pixels.resize(4); }));
    EXPECT_THROW(ReadBmp(bytes, DecodeLimits{}), ImageSizeError);
  }
}

TEST(BmpRead, MessageTableIsComplete) {
  std::set<std::string_view> seen;
  for (int i = 0; i < kBmpErrcCount; ++i) {
    const auto text = BmpErrorText(static_cast<BmpErrc>(i));
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(seen.insert(text).second) << "duplicate: " << text;
  }
}

// ---- Mutation and truncation sweep
// ---------------------------------------------------------------

// Small valid files covering each decoding path.
std::vector<std::vector<std::uint8_t>> sweepSeeds() {
  std::vector<std::vector<std::uint8_t>> seeds;
  for (const auto& c : handCases())
    if (!c.error) seeds.push_back(buildBmp(c.spec));
  for (const char* name :
       {"Info_4_Bit.bmp", "Info_8_Bit_Top_Down.bmp", "V3_R5_G6_B5.bmp", "Info_A8_R8_G8_B8.bmp"})
    seeds.push_back(test::readFile(kCorpus + "/bmp/image-rs/" + name));
  return seeds;
}

// Every byte set to 0x00, 0xFF, its complement and each single-bit flip, then every prefix: the
// reader returns a Bitmap within the limit or throws a vexo::Error.
void sweep(const std::vector<std::uint8_t>& seed,
           const std::function<void(std::span<const std::uint8_t>)>& read) {
  auto check = [&](std::span<const std::uint8_t> bytes) {
    try {
      read(bytes);
    } catch (const Error&) {
    }
  };
  std::vector<std::uint8_t> m = seed;
  for (std::size_t i = 0; i < seed.size(); ++i) {
    const std::uint8_t orig = seed[i];
    std::vector<std::uint8_t> values = {0x00, 0xFF, static_cast<std::uint8_t>(~orig)};
    for (int b = 0; b < 8; ++b) values.push_back(static_cast<std::uint8_t>(orig ^ (1 << b)));
    for (auto v : values) {
      m[i] = v;
      check(m);
    }
    m[i] = orig;
  }
  for (std::size_t n = 0; n < seed.size(); ++n) check(std::span(seed).first(n));
}

TEST(BmpRead, MutationAndTruncationSweep) {
  DecodeLimits limits;
  limits.maxImageBytes = 1 << 20;
  for (const auto& seed : sweepSeeds()) {
    sweep(seed, [&](std::span<const std::uint8_t> bytes) {
      const Bitmap b = ReadBmp(bytes, limits);
      ASSERT_EQ(b.bits(), 24);
      ASSERT_LE(b.dataSize(), limits.maxImageBytes);
    });
  }
}

// ---- Writer
// --------------------------------------------------------------------------------------

// A width x height bitmap of the given depth with distinct, known pixels.
Bitmap patternBitmap(int bits, int width, int height) {
  Bitmap bm(width, height, bits);
  if (bits <= 8) {
    const int entries = 1 << bits;
    for (int i = 0; i < std::min(entries, 200); ++i)  // fewer than 256: the rest is padding
      bm.palette().push_back({static_cast<std::uint8_t>(i * 37), static_cast<std::uint8_t>(255 - i),
                              static_cast<std::uint8_t>(i * 11 + 5), 0});
  }
  const int used = bits <= 8 ? std::min(1 << bits, 200) : 0;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bm.row(y);
    for (int x = 0; x < width; ++x) {
      const unsigned v = static_cast<unsigned>(x * 7 + y * 31);
      switch (bits) {
        case 1:
        case 4:
        case 8: {
          const unsigned index = v % static_cast<unsigned>(used);
          const int perByte = 8 / bits, shift = 8 - bits * (x % perByte + 1);
          row[x / perByte] = static_cast<std::uint8_t>(row[x / perByte] | index << shift);
          break;
        }
        case 15:
        case 16: {
          const unsigned word = (v * 2654435761u) >> 16 & (bits == 15 ? 0x7FFF : 0xFFFF);
          row[2 * x] = static_cast<std::uint8_t>(word);
          row[2 * x + 1] = static_cast<std::uint8_t>(word >> 8);
          break;
        }
        default:
          for (int c = 0; c < bits / 8; ++c)
            row[x * bits / 8 + c] = static_cast<std::uint8_t>(v * (c + 3) + c * 50);
          if (bits == 32) row[4 * x + 3] = 0;  // unused byte
      }
    }
  }
  return bm;
}

// The pixels as R,G,B the way the file format defines them: 5-bit and 6-bit channels scaled by
// v * 255 / max (Pillow's own scaling for these layouts).
std::vector<std::uint8_t> expectedRgb(const Bitmap& bm) {
  std::vector<std::uint8_t> rgb;
  for (int y = 0; y < bm.height(); ++y) {
    const std::uint8_t* row = bm.row(y);
    for (int x = 0; x < bm.width(); ++x) {
      switch (bm.bits()) {
        case 1:
        case 4:
        case 8: {
          const int perByte = 8 / bm.bits(), shift = 8 - bm.bits() * (x % perByte + 1);
          const auto& e = bm.palette()[(row[x / perByte] >> shift) & ((1 << bm.bits()) - 1)];
          rgb.insert(rgb.end(), {e.red, e.green, e.blue});
          break;
        }
        case 15:
        case 16: {
          const unsigned w = row[2 * x] | row[2 * x + 1] << 8;
          const bool six = bm.bits() == 16;
          const unsigned r = six ? w >> 11 : w >> 10 & 31, g = six ? w >> 5 & 63 : w >> 5 & 31;
          rgb.push_back(static_cast<std::uint8_t>(r * 255 / 31));
          rgb.push_back(static_cast<std::uint8_t>(g * 255 / (six ? 63 : 31)));
          rgb.push_back(static_cast<std::uint8_t>((w & 31) * 255 / 31));
          break;
        }
        default: {
          const std::uint8_t* p = row + x * bm.bits() / 8;
          rgb.insert(rgb.end(), {p[2], p[1], p[0]});
        }
      }
    }
  }
  return rgb;
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

struct WriterCase {
  int bits;
  std::uint32_t offBits, fileBits, compression;
};

class BmpWrite : public ::testing::TestWithParam<WriterCase> {};

TEST_P(BmpWrite, HeaderRoundTripAndIndependentDecoders) {
  const WriterCase c = GetParam();
  for (int width : {5, 13}) {
    SCOPED_TRACE("width " + std::to_string(width));
    const Bitmap bm = patternBitmap(c.bits, width, 3);
    const auto file = EncodeBmp(bm);

    // Header fields.
    ASSERT_GE(file.size(), 54u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(le32(file, 2), file.size());
    EXPECT_EQ(le32(file, 10), c.offBits);
    EXPECT_EQ(le32(file, 14), 40u);
    EXPECT_EQ(le32(file, 18), static_cast<std::uint32_t>(width));
    EXPECT_EQ(le32(file, 22), 3u);  // positive: bottom-up
    EXPECT_EQ(file[26] | file[27] << 8, 1);
    EXPECT_EQ(file[28] | file[29] << 8, static_cast<int>(c.fileBits));
    EXPECT_EQ(le32(file, 30), c.compression);
    EXPECT_EQ(le32(file, 34), bm.stride() * 3);
    EXPECT_EQ(le32(file, 46), 0u);  // colours used: all
    if (c.bits == 16) {
      EXPECT_EQ(le32(file, 54), 0xF800u);
      EXPECT_EQ(le32(file, 58), 0x07E0u);
      EXPECT_EQ(le32(file, 62), 0x001Fu);
    }
    if (c.bits <= 8) {  // full table; entries past the bitmap's palette are zero
      for (std::size_t i = 0; i < (1u << c.bits); ++i) {
        const std::size_t at = 54 + 4 * i;
        const PaletteEntry e = i < bm.palette().size() ? bm.palette()[i] : PaletteEntry{};
        ASSERT_EQ(std::vector<std::uint8_t>(file.begin() + at, file.begin() + at + 4),
                  (std::vector<std::uint8_t>{e.blue, e.green, e.red, 0}))
            << "entry " << i;
      }
    }
    EXPECT_TRUE(std::equal(bm.data(), bm.data() + bm.dataSize(), file.begin() + c.offBits));
    EXPECT_EQ(file.size(), c.offBits + bm.dataSize());

    // Our reader, and Pillow (5-bit and 6-bit channels scaled the same way).
    const auto expected = expectedRgb(bm);
    EXPECT_EQ(test::bitmapRgb(ReadBmp(file, DecodeLimits{})), expected);
    test::TempDir dir;
    const std::string path = dir.file("out.bmp");
    test::writeFile(path, file);
    int w = 0, h = 0;
    const auto pillow = test::pillowRgb(path, w, h);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(test::maxDifference(pillow, expected), 0);
    const auto magick = test::magickRgb(path, w, h);
    EXPECT_LE(test::maxDifference(magick, expected), 1) << "ImageMagick";
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, BmpWrite,
                         ::testing::Values(WriterCase{1, 62, 1, 0}, WriterCase{4, 118, 4, 0},
                                           WriterCase{8, 1078, 8, 0}, WriterCase{15, 54, 16, 0},
                                           WriterCase{16, 66, 16, 3}, WriterCase{24, 54, 24, 0},
                                           WriterCase{32, 54, 32, 0}),
                         [](const auto& row) { return std::to_string(row.param.bits) + "bit"; });

TEST(BmpWriteEdge, OneBitWithoutPaletteIsBlackAndWhite) {
  Bitmap bm(3, 1, 1);
  bm.row(0)[0] = 0b01000000;
  EXPECT_EQ(test::bitmapRgb(ReadBmp(EncodeBmp(bm), DecodeLimits{})),
            (std::vector<std::uint8_t>{0, 0, 0, 255, 255, 255, 0, 0, 0}));
}

TEST(BmpWriteEdge, EmptyBitmapIsRefused) {
  try {
    EncodeBmp(Bitmap());
    ADD_FAILURE() << "accepted";
  } catch (const BmpError& e) {
    EXPECT_EQ(e.code(), BmpErrc::kNothingToSave);
  }
}

TEST(BmpImageTest, LoadsWithItsLimitsAndSavesThroughTheWriter) {
  BmpImage image;
  const auto file = EncodeBmp(patternBitmap(24, 13, 3));
  image.loadFromMemory(file);
  EXPECT_EQ(image.width(), 13);
  EXPECT_EQ(image.height(), 3);
  EXPECT_EQ(image.saveToMemory(), file);
  DecodeLimits tight;
  tight.maxImageBytes = 100;  // 13 x 3 x 24 bits needs 120
  image.setLimits(tight);
  EXPECT_THROW(image.loadFromMemory(file), ImageSizeError);
}

}  // namespace
}  // namespace vexo
