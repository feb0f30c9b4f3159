#include "input/images.h"

#include <gtest/gtest.h>

namespace vexo {
namespace {

TEST(TImages, LooksUpExtensionsWithoutCase) {
  TImages images;
  struct Row {
    const char* path;
    int index;
  } rows[] = {
      {"photo.JPG", 0},       {"photo.jpg", 0}, {"photo.Jpg", 0},    {"a.jpeg", 1},
      {"a.JPE", 2},           {"a.bmp", 3},     {"a.DIB", 4},        {"a.Png", 5},
      {"archive.tar.gz", -1}, {"noext", -1},    {"dir.d/noext", -1}, {".bashrc", -1},
      {"a.jpg.txt", -1},
  };
  for (const auto& r : rows) EXPECT_EQ(images.IndexOf(ExtractFileExt(r.path)), r.index) << r.path;
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("dir.d/noext"), "");
}

TEST(TImages, LaterEntriesNeverShadowEarlierOnes) {
  TImages images;
  const int builtIn = images.IndexOf(".bmp");
  images.Add(".BMP", nullptr);
  EXPECT_EQ(images.IndexOf(".bmp"), builtIn);
  images.Add(".averyverylongextension", nullptr);
  EXPECT_EQ(images.ExtensionAt(images.Count() - 1), ".averyvery");
  images.Add("", nullptr);
  EXPECT_EQ(images.IndexOf(ExtractFileExt("noext")), images.Count() - 1);
  images.Reset();
  EXPECT_EQ(images.Count(), 10);
}

}  // namespace
}  // namespace vexo
