#include "input/probe.h"

#include <gtest/gtest.h>

#include <map>

#include "input/images.h"
#include "support/reference.h"

namespace vexo {
namespace {

// Every corpus file that loads: the header alone gives the size loading gives, except that a GIF
// frame after the first may still enlarge the picture. A file that fails to load may probe to
// anything but must not crash.
TEST(ProbeImageExtent, GivesTheLoadedSizeForEveryCorpusFile) {
  TImages images;
  std::map<std::string, int> checked;
  for (const auto& path : test::filesBelow(VEXO_CORPUS_DIR)) {
    const auto probed = ProbeImageExtent(path);
    const std::string extension = ExtractFileExt(path);
    const int reader = images.IndexOf(extension);
    if (reader < 0) continue;
    Bitmap loaded;
    try {
      loaded = LoadWorkingBitmap(images.ClassAt(reader), path);
    } catch (const std::exception&) {
      continue;
    }
    ++checked[extension];
    ASSERT_TRUE(probed.has_value()) << path;
    if (extension == ".gif") {
      EXPECT_LE(probed->width, loaded.width()) << path;
      EXPECT_LE(probed->height, loaded.height()) << path;
      continue;
    }
    EXPECT_EQ(probed->width, loaded.width()) << path;
    EXPECT_EQ(probed->height, loaded.height()) << path;
    EXPECT_EQ(WorkingBytes(*probed), loaded.dataSize()) << path;
  }
  for (const char* extension : {".jpg", ".bmp", ".png", ".gif", ".ico", ".wmf", ".emf"})
    EXPECT_GT(checked[extension], 0) << extension;
}

// Cut headers give nothing rather than a size read past their end.
struct Cut {
  std::string name;
  std::string bytes;
};

class ProbeCutHeader : public ::testing::TestWithParam<Cut> {};

TEST_P(ProbeCutHeader, GivesNothing) {
  test::TempDir dir;
  const std::string path = dir.file("cut");
  test::writeFile(path,
                  std::vector<std::uint8_t>(GetParam().bytes.begin(), GetParam().bytes.end()));
  EXPECT_FALSE(ProbeImageExtent(path).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ProbeCutHeader,
    ::testing::Values(Cut{"Empty", ""}, Cut{"JpegBeforeItsFrame", "\xFF\xD8\xFF\xE1\x40\x00"},
                      Cut{"JpegScanFirst", std::string("\xFF\xD8\xFF\xDA\x00\x02", 6)},
                      Cut{"BitmapFileHeaderOnly", "BM\x10\x00\x00\x00"},
                      Cut{"PngSignatureOnly", "\x89PNG\r\n\x1A\n"},
                      Cut{"GifSignatureOnly", "GIF89a"},
                      Cut{"IconEntryPastTheEnd", std::string("\0\0\1\0\1\0", 6)},
                      Cut{"Text", "not an image at all"}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace vexo
