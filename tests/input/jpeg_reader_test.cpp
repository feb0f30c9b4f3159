// The libjpeg input reader, checked against djpeg (same library, default settings) and Pillow.
#include "input/jpeg_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "support/reference.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::bitmapRgb;
using test::maxDifference;
using test::runCommand;
using test::shellQuote;

const fs::path kCorpus = VEXO_CORPUS_DIR;

Bytes readFile(const fs::path& p) {
  return test::readFile(p.string());
}

// An image as top-down R,G,B rows.
struct Rgb {
  int width = 0, height = 0;
  Bytes pixels;
  bool operator==(const Rgb&) const = default;
};

Rgb toRgb(const Bitmap& b) {
  return {b.width(), b.height(), bitmapRgb(b)};
}

// djpeg's decoding (default settings, PPM or PGM on stdout); *exitCode is 0 when clean, 2
// after warnings (the image is still written) and 1 on an error.
Rgb djpegRgb(const fs::path& file, int* exitCode) {
  const test::Pnm pnm = test::djpeg(file.string(), "", exitCode);
  return {pnm.width, pnm.height, pnm.rgb()};
}

// Whether decoding ends in a Bitmap or a vexo::Error; anything else fails the test.
bool decodesOrThrowsVexoError(const Bytes& data, const DecodeLimits& limits) {
  try {
    DecodeJpegWithLibjpeg(data, limits);
    return true;
  } catch (const Error&) {
    return false;
  }
}

// ---- every JPEG of the corpus against djpeg ----

std::vector<std::string> corpusJpegs() {
  std::vector<std::string> files;
  for (const char* dir : {"jpeg/wuffs", "jpeg/jpeg-decoder/reftest/images", "jpeg/libjpeg-turbo",
                          "jpeg/pillow", "jpeg/image-rs", "jpeg/jpeg-decoder/icc"}) {
    if (!fs::is_directory(kCorpus / dir)) continue;
    for (const auto& e : fs::recursive_directory_iterator(kCorpus / dir)) {
      const std::string ext = e.path().extension().string();
      if (e.is_regular_file() && (ext == ".jpg" || ext == ".jpeg"))
        files.push_back(fs::relative(e.path(), kCorpus).string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

class CorpusJpeg : public testing::TestWithParam<std::string> {};

TEST_P(CorpusJpeg, MatchesDjpegOrFailsLikeIt) {
  const fs::path file = kCorpus / GetParam();
  int rc = -1;
  const Rgb expected = djpegRgb(file, &rc);
  ASSERT_TRUE(rc == 0 || rc == 1 || rc == 2) << "djpeg exit " << rc;
  const Bytes data = readFile(file);
  if (rc == 1) {
    EXPECT_THROW(DecodeJpegWithLibjpeg(data, DecodeLimits{}), JpegReadError);
    return;
  }
  Bitmap bitmap;
  ASSERT_NO_THROW(bitmap = DecodeJpegWithLibjpeg(data, DecodeLimits{}));
  EXPECT_EQ(bitmap.bits(), 24);
  ASSERT_GT(expected.width, 0);
  const Rgb ours = toRgb(bitmap);
  ASSERT_EQ(ours.width, expected.width);
  ASSERT_EQ(ours.height, expected.height);
  EXPECT_EQ(maxDifference(ours.pixels, expected.pixels), 0);
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusJpeg, testing::ValuesIn(corpusJpegs()), testName);

TEST(CorpusJpegList, FindsTheCorpus) {
  EXPECT_GT(corpusJpegs().size(), 50u);
}

// ---- CMYK and YCCK against Pillow, whose conversion ignores ICC profiles ----

class CmykJpeg : public testing::TestWithParam<std::string> {};

TEST_P(CmykJpeg, MatchesPillow) {
  const fs::path file = kCorpus / GetParam();
  int w = 0, h = 0;
  const Bytes pillow = test::pillowRgb(file.string(), w, h);
  ASSERT_GT(w, 0);
  const Bitmap bitmap = DecodeJpegWithLibjpeg(readFile(file), DecodeLimits{});
  ASSERT_EQ(bitmap.width(), w);
  ASSERT_EQ(bitmap.height(), h);
  EXPECT_LE(maxDifference(bitmapRgb(bitmap), pillow), 2);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CmykJpeg,
                         testing::Values("jpeg/jpeg-decoder/reftest/images/mozilla/jpg-cmyk-1.jpg",
                                         "jpeg/jpeg-decoder/reftest/images/ycck.jpg",
                                         "jpeg/pillow/pil_sample_cmyk.jpg"),
                         testName);

// ---- files that must fail with libjpeg's own message ----

struct Refused {
  const char* file;
  const char* messagePart;
};

class RefusedJpeg : public testing::TestWithParam<Refused> {};

TEST_P(RefusedJpeg, ThrowsJpegReadErrorWithLibjpegMessage) {
  const Bytes data = readFile(kCorpus / GetParam().file);
  ASSERT_FALSE(data.empty());
  try {
    DecodeJpegWithLibjpeg(data, DecodeLimits{});
    FAIL() << "decoded";
  } catch (const JpegReadError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().messagePart), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, RefusedJpeg,
    testing::Values(Refused{"jpeg/jpeg-decoder/reftest/images/mozilla/jpg-size-6x6.jpg",
                            "Not a JPEG file"},
                    Refused{"jpeg/libjpeg-turbo/monkey12.jpg", "precision 12"},
                    Refused{"jpeg/jpeg-decoder/reftest/images/lossless/1/jpeg_lossless_sel1.jpg",
                            "Unsupported JPEG process"}),
    [](const auto& p) { return test::TestName(fs::path(p.param.file).stem().string()); });

TEST(JpegReader, EmptyInputIsAJpegReadError) {
  EXPECT_THROW(DecodeJpegWithLibjpeg({}, DecodeLimits{}), JpegReadError);
}

// ---- hostile files ----

TEST(JpegReader, MalformedCorpusDecodesOrThrowsVexoError) {
  DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{256} << 20;
  int count = 0;
  for (const auto& dir : fs::directory_iterator(kCorpus / "malformed")) {
    if (dir.path().filename().string().rfind("jpeg-", 0) != 0) continue;
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
      if (!e.is_regular_file()) continue;
      SCOPED_TRACE(e.path().string());
      decodesOrThrowsVexoError(readFile(e.path()), limits);
      ++count;
    }
  }
  EXPECT_GT(count, 50);
}

TEST(JpegReader, MaxSizeFileIsRefusedBeforeDecoding) {
  DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{1} << 20;
  EXPECT_THROW(
      DecodeJpegWithLibjpeg(readFile(kCorpus / "malformed/jpeg-jpeg-decoder/max_size.jpg"), limits),
      ImageSizeError);
}

// SOI, a one-component SOF0 of the given size, SOS, EOI: a complete header without
// quantisation tables, so anything that starts decoding fails with a libjpeg error.
Bytes headerOnly(int width, int height) {
  const auto hi = [](int v) { return static_cast<std::uint8_t>(v >> 8); };
  const auto lo = [](int v) { return static_cast<std::uint8_t>(v & 0xFF); };
  return {0xFF, 0xD8,  // SOI
          0xFF, 0xC0, 0x00, 0x0B, 0x08, hi(height), lo(height), hi(width), lo(width), 0x01,
          0x01, 0x11, 0x00,  // SOF0, 1 component
          0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01,       0x00,       0x00,      0x3F,      0x00,  // SOS
          0xFF, 0xD9};                                                                       // EOI
}

TEST(JpegReader, HugeHeaderIsRefusedWithImageSizeErrorBeforeDecoding) {
  DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{1} << 20;
  EXPECT_THROW(DecodeJpegWithLibjpeg(headerOnly(65535, 65535), limits), ImageSizeError);
  // The same header at a size within the limit reaches the decoder, which fails on it.
  EXPECT_THROW(DecodeJpegWithLibjpeg(headerOnly(64, 64), limits), JpegReadError);
}

// Compresses a w × h test pattern in memory with libjpeg (1 or 3 components); scans, when
// given, replace the default scan script.
Bytes compressPattern(int w, int h, int components, bool progressive,
                      const std::vector<jpeg_scan_info>& scans = {}) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(w);
  cinfo.image_height = static_cast<JDIMENSION>(h);
  cinfo.input_components = components;
  cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  if (components == 3)
    for (int c = 0; c < 3; ++c)
      cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
  if (progressive) jpeg_simple_progression(&cinfo);
  if (!scans.empty()) {
    cinfo.scan_info = scans.data();
    cinfo.num_scans = static_cast<int>(scans.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  Bytes row(static_cast<std::size_t>(w) * components);
  while (cinfo.next_scanline < cinfo.image_height) {
    for (std::size_t i = 0; i < row.size(); ++i)
      row[i] = static_cast<std::uint8_t>(i * 7 + cinfo.next_scanline * 13);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  Bytes result(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return result;
}

TEST(JpegReader, LibjpegWorkingMemoryIsBoundedByTheLimit) {
  // 256 × 256 at 4:4:4: 196608 bytes of pixels; a progressive stream also needs 393216 bytes of
  // coefficients, which a 300000-byte limit does not allow. Baseline needs no such buffer.
  DecodeLimits limits;
  limits.maxImageBytes = 300000;
  EXPECT_NO_THROW(DecodeJpegWithLibjpeg(compressPattern(256, 256, 3, false), limits));
  const Bytes progressive = compressPattern(256, 256, 3, true);
  try {
    DecodeJpegWithLibjpeg(progressive, limits);
    FAIL() << "decoded";
  } catch (const JpegReadError& e) {
    // libjpeg asks for a backing store when its buffers do not fit; this build has none.
    EXPECT_NE(std::string(e.what()).find("Backing store"), std::string::npos) << e.what();
  }
  EXPECT_NO_THROW(DecodeJpegWithLibjpeg(progressive, DecodeLimits{}));
}

// A grey progressive stream whose full AC scan is repeated `repeats` extra times before EOI:
// each repeat is valid and warning-free, so only the scan bound stops a flood of them.
Bytes repeatedScans(int repeats) {
  const std::vector<jpeg_scan_info> scans = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
  Bytes data = compressPattern(32, 32, 1, true, scans);
  std::size_t sos = 0;
  for (std::size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0xFF && data[i + 1] == 0xDA) sos = i;
  const Bytes scan(data.begin() + static_cast<std::ptrdiff_t>(sos), data.end() - 2);
  Bytes out(data.begin(), data.end() - 2);
  for (int i = 0; i < repeats; ++i) out.insert(out.end(), scan.begin(), scan.end());
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

TEST(JpegReader, TooManyScansFail) {
  EXPECT_NO_THROW(DecodeJpegWithLibjpeg(repeatedScans(100), DecodeLimits{}));
  try {
    DecodeJpegWithLibjpeg(repeatedScans(DecodeLimits{}.maxJpegScans + 10), DecodeLimits{});
    FAIL() << "decoded";
  } catch (const JpegReadError& e) {
    EXPECT_NE(std::string(e.what()).find("scans"), std::string::npos) << e.what();
  }
}

// A valid stream with `count` comments after SOI, each preceded by a stray byte: one
// "extraneous bytes" warning each.
Bytes withJunkBeforeMarkers(const Bytes& valid, int count) {
  Bytes out(valid.begin(), valid.begin() + 2);
  for (int i = 0; i < count; ++i) out.insert(out.end(), {0x00, 0xFF, 0xFE, 0x00, 0x02});
  out.insert(out.end(), valid.begin() + 2, valid.end());
  return out;
}

TEST(JpegReader, SomeWarningsAreToleratedButNotAFlood) {
  const Bytes valid = readFile(kCorpus / "jpeg/wuffs/mona-lisa.21x32.q50.jpeg");
  const Rgb clean = toRgb(DecodeJpegWithLibjpeg(valid, DecodeLimits{}));
  EXPECT_EQ(toRgb(DecodeJpegWithLibjpeg(withJunkBeforeMarkers(valid, 10), DecodeLimits{})), clean);
  try {
    DecodeJpegWithLibjpeg(withJunkBeforeMarkers(valid, DecodeLimits{}.maxJpegWarnings + 1),
                          DecodeLimits{});
    FAIL() << "decoded";
  } catch (const JpegReadError& e) {
    EXPECT_NE(std::string(e.what()).find("warnings"), std::string::npos) << e.what();
  }
}

// Every prefix, and bit flips at a spread of positions, of small valid files.
class MutatedJpeg : public testing::TestWithParam<std::string> {};

TEST_P(MutatedJpeg, DecodesOrThrowsVexoError) {
  const Bytes valid = readFile(kCorpus / GetParam());
  ASSERT_FALSE(valid.empty());
  DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{64} << 20;
  int decoded = 0;
  for (std::size_t n = 0; n < valid.size(); ++n) {
    const Bytes prefix(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(n));
    decoded += decodesOrThrowsVexoError(prefix, limits);
  }
  Bytes mutated = valid;
  for (std::size_t pos = 0; pos < valid.size(); pos += 7) {
    for (int bit = 0; bit < 8; ++bit) {
      mutated[pos] = static_cast<std::uint8_t>(valid[pos] ^ (1u << bit));
      decoded += decodesOrThrowsVexoError(mutated, limits);
    }
    mutated[pos] = valid[pos];
  }
  EXPECT_GT(decoded, 0);  // truncated scans still give an image, padded as djpeg does
}

INSTANTIATE_TEST_SUITE_P(Corpus, MutatedJpeg,
                         testing::Values("jpeg/wuffs/mona-lisa.21x32.q50.jpeg",
                                         "jpeg/wuffs/peacock.progressive.jpeg"),
                         testName);

TEST(JpegReader, TruncatedFileDecodesLikeDjpeg) {
  // Covered by the corpus too; stated here because it is a decision: the missing part is grey.
  const Bytes data = readFile(kCorpus / "jpeg/wuffs/peacock.default.truncated.jpeg");
  const Bitmap bitmap = DecodeJpegWithLibjpeg(data, DecodeLimits{});
  const std::uint8_t* last = bitmap.row(bitmap.height() - 1);
  EXPECT_EQ(last[0], 128);
  EXPECT_EQ(last[1], 128);
  EXPECT_EQ(last[2], 128);
}

TEST(JpegFileImage, LoadsAndDrawsWithItsLimits) {
  const Bytes data = readFile(kCorpus / "jpeg/wuffs/mona-lisa.21x32.q50.jpeg");
  JpegFileImage image;
  image.loadFromMemory(data);
  EXPECT_EQ(image.width(), 21);
  EXPECT_EQ(image.height(), 32);
  Bitmap target(21, 32, 24);
  image.draw(target, 0, 0);
  EXPECT_EQ(toRgb(target), toRgb(DecodeJpegWithLibjpeg(data, DecodeLimits{})));

  DecodeLimits tiny;
  tiny.maxImageBytes = 100;
  JpegFileImage limited;
  limited.setLimits(tiny);
  EXPECT_THROW(limited.loadFromMemory(data), ImageSizeError);
}

}  // namespace
}  // namespace vexo
