#include "input/probe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>

#include "input/images.h"
#include "input/jpeg_reader.h"
#include "support/reference.h"

namespace vexo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Every corpus file that loads: the header alone gives the size of the working bitmap loading
// gives (bitmaps also through the ".dib" reader). Only WMFs without the placeable header, which
// do not load, may give nothing; a file that fails to load may give anything but must not crash.
TEST(ProbeImageExtent, GivesTheLoadedSizeForEveryCorpusFile) {
  TImages images;
  std::map<std::string, int> checked;
  std::vector<std::string> unprobed;
  auto check = [&](const std::string& path, const std::string& extension) {
    Bitmap loaded;
    try {
      loaded = LoadWorkingBitmap(images.ClassAt(images.IndexOf(extension)), path);
    } catch (const std::exception&) {
      return;
    }
    ++checked[extension];
    const auto probed = ProbeImageExtent(path);
    if (!probed) return unprobed.push_back(path);
    EXPECT_EQ(probed->width, loaded.width()) << path;
    EXPECT_EQ(probed->height, loaded.height()) << path;
    EXPECT_EQ(WorkingBytes(*probed), loaded.dataSize()) << path;
  };
  for (const auto& path : test::filesBelow(VEXO_CORPUS_DIR)) {
    (void)ProbeImageExtent(path);
    const std::string extension = ExtractFileExt(path);
    if (images.IndexOf(extension) < 0) continue;
    check(path, extension);
    if (images.IndexOf(extension) == images.IndexOf(".bmp")) check(path, ".dib");
  }
  for (const auto& [extension, count] : checked) std::cout << extension << " " << count << " ";
  std::cout << "files checked, " << unprobed.size() << " gave nothing\n";
  for (const char* extension : {".jpg", ".bmp", ".dib", ".png", ".gif", ".ico", ".wmf", ".emf"})
    EXPECT_GT(checked[extension], 0) << extension;
  for (const auto& path : unprobed) EXPECT_EQ(ExtractFileExt(path), ".wmf") << path;
}

// A FIFO would block a reader: it is refused unopened, like every file that is not regular.
TEST(ProbeImageExtent, GivesNothingForMissingAndNonRegularFiles) {
  test::TempDir dir;
  EXPECT_FALSE(ProbeImageExtent(dir.file("missing.jpg")));
  EXPECT_FALSE(ProbeImageExtent(dir.path().string()));
  ASSERT_EQ(::mkfifo(dir.file("fifo.jpg").c_str(), 0600), 0);
  EXPECT_FALSE(ProbeImageExtent(dir.file("fifo.jpg")));
}

// A GIF of a 65535 x 65535 screen and no frame says it is empty, rather than allocating its
// screen first (or failing on the memory limit).
TEST(LoadWorkingBitmap, FailsAScreenWithoutFramesBeforeAllocatingIt) {
  test::TempDir dir;
  const std::string path = dir.file("screen.gif");
  test::writeFile(path, Bytes{'G', 'I', 'F', '8', '9', 'a', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x3B});
  TImages images;
  try {
    (void)LoadWorkingBitmap(images.ClassAt(images.IndexOf(".gif")), path);
    FAIL() << "loaded";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Image is empty");
  }
}

TEST(WorkingBytes, PadsRowsToFourBytes) {
  EXPECT_EQ(WorkingBytes({1, 1}), 4u);
  EXPECT_EQ(WorkingBytes({5, 3}), 48u);
  EXPECT_EQ(WorkingBytes({65535, 65535}), std::uint64_t{196608} * 65535);
}

// A 5 × 3 image as each writer stores it, and the length of the prefix the size comes from:
// every shorter prefix gives nothing, the whole file the size it loads with.
struct Written {
  std::string name;
  std::string extension;
  std::function<std::size_t(const Bytes&)> headerLength;
};

Bytes write(const std::string& extension, const Bitmap& bitmap) {
  if (extension == ".jpg") return CompressWithLibjpeg(bitmap, 90);
  TImages images;
  auto graphic = images.ClassAt(images.IndexOf(extension))();
  graphic->assign(bitmap);
  return graphic->saveToMemory();
}

std::size_t after(const Bytes& bytes, std::initializer_list<std::uint8_t> marker, std::size_t skip,
                  std::size_t from = 0) {
  const auto at = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                              marker.begin(), marker.end());
  return static_cast<std::size_t>(at - bytes.begin()) + skip;
}

class ProbeCutHeader : public ::testing::TestWithParam<Written> {};

TEST_P(ProbeCutHeader, GivesNothingBeforeTheSizeAndTheLoadedSizeAfter) {
  Bitmap bitmap(5, 3, 24);
  const Bytes bytes = write(GetParam().extension, bitmap);
  const std::size_t needed = GetParam().headerLength(bytes);
  ASSERT_LE(needed, bytes.size());
  test::TempDir dir;
  const std::string path = dir.file("image" + GetParam().extension);
  for (std::size_t cut = 0; cut < needed; ++cut) {
    test::writeFile(path, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_FALSE(ProbeImageExtent(path)) << "cut at " << cut;
  }
  test::writeFile(path, bytes);
  TImages images;
  const Bitmap loaded =
      LoadWorkingBitmap(images.ClassAt(images.IndexOf(GetParam().extension)), path);
  const auto probed = ProbeImageExtent(path);
  ASSERT_TRUE(probed);
  EXPECT_EQ(probed->width, loaded.width());
  EXPECT_EQ(probed->height, loaded.height());
}

INSTANTIATE_TEST_SUITE_P(
    Writers, ProbeCutHeader,
    ::testing::Values(
        Written{"Jpeg", ".jpg",
                [](const Bytes& b) {
                  return after(b, {0xFF, 0xC0}, 9);
                }},
        Written{"Bitmap", ".bmp", [](const Bytes&) { return std::size_t{26}; }},
        Written{"Png", ".png", [](const Bytes&) { return std::size_t{24}; }},
        // Screen, global table, then the first image descriptor.
        Written{"Gif", ".gif",
                [](const Bytes& b) {
                  const std::size_t table = (b[10] & 0x80) ? 3u << ((b[10] & 7) + 1) : 0;
                  return after(b, {0x2C}, 10, 13 + table);
                }},
        // Directory, then the first image's info header.
        Written{"Icon", ".ico", [](const Bytes&) { return std::size_t{6 + 16 + 40}; }},
        Written{"Emf", ".emf", [](const Bytes&) { return std::size_t{88}; }},
        Written{"PlaceableWmf", ".wmf", [](const Bytes&) { return std::size_t{40}; }}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace vexo
