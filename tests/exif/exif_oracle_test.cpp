// vexo's Exif output read by exiftool, exiv2 and Pillow (exif_oracle.py): the Exif JPEGs of the
// corpus keep every tag of their four directories, with and without a new thumbnail; the
// orientation follows every edit; a source whose block cannot be read fails alone and leaves
// no file behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "jpeg/jpeg_ex.h"
#include "support/exif_block.h"
#include "support/reference.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;
using test::shellQuote;

const fs::path kCorpus = VEXO_CORPUS_DIR;

class ExifOracle : public ::testing::Test {
 protected:
  // Runs vexo with the settings on the arguments; returns the report lines.
  std::vector<std::string> vexo(const std::string& ini, const std::string& args) {
    fs::create_directories(dir_.path() / "config" / "vexo");
    std::ofstream(dir_.path() / "config" / "vexo" / "Vexo.ini", std::ios::binary)
        << "[Options]\r\nReport=1\r\nRotate=1\r\n"
        << ini;
    const std::string out =
        test::runCommand("cd " + shellQuote(dir_.path().string()) + " && XDG_CONFIG_HOME=" +
                         shellQuote(dir_.file("config")) + " " + shellQuote(VEXO_BINARY) +
                         " --console " + args + " 2>" + shellQuote(dir_.file("err.txt")));
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Runs the oracle on the rows; returns what it found wrong.
  std::string oracle(const std::string& mode, const std::vector<std::string>& rows,
                     const std::string& options = "") {
    std::ofstream list(dir_.file("rows.txt"));
    for (const auto& row : rows) list << row << '\n';
    list.close();
    return test::runCommand(
        "/usr/bin/python3 " +
        shellQuote(std::string(VEXO_SOURCE_DIR) + "/tests/exif/exif_oracle.py") + " " + mode + " " +
        shellQuote(dir_.file("rows.txt")) + " " + options + " 2>&1");
  }
  // Copies files into folder under names that keep their corpus folder ("pillow-x.jpg").
  std::vector<std::string> copyFlat(const std::vector<fs::path>& files, const std::string& folder) {
    fs::create_directories(dir_.path() / folder);
    std::vector<std::string> names;
    for (const auto& f : files) {
      std::string name = fs::relative(f, kCorpus / "exif").string();
      std::replace(name.begin(), name.end(), '/', '-');
      fs::copy_file(f, dir_.path() / folder / name);
      names.push_back(name);
    }
    return names;
  }
  std::string path(const std::string& folder, const std::string& name) const {
    return (dir_.path() / folder / name).string();
  }

  test::TempDir dir_;
};

std::vector<fs::path> corpusJpegs(const fs::path& below) {
  std::vector<fs::path> files;
  for (const auto& f : test::filesBelow(below.string()))
    if (fs::path(f).extension() == ".jpg") files.emplace_back(f);
  return files;
}

TEST_F(ExifOracle, CorpusTagsSurviveWithAndWithoutANewThumbnail) {
  const auto names = copyFlat(corpusJpegs(kCorpus / "exif"), "src");
  ASSERT_GT(names.size(), 100u);
  for (const bool thumbnail : {false, true}) {
    const std::string out = thumbnail ? "thumb" : "out";
    fs::create_directories(dir_.path() / out);
    const auto report =
        vexo("UseOutput=1\r\nOutput=" + dir_.file(out) +
                 "\r\n[Jpeg]\r\nExif=1\r\nExifThumb=" + (thumbnail ? "1" : "0") + "\r\n",
             "-gj src");
    ASSERT_EQ(report.size(), names.size());
    for (const auto& line : report) EXPECT_EQ(line.substr(0, 4), "[O] ") << line;
    std::vector<std::string> pairs;
    for (const auto& n : names) pairs.push_back(path("src", n) + "\t" + path(out, n));
    EXPECT_EQ(oracle("tags", pairs, thumbnail ? "--thumbnail" : ""), "") << out;
  }
}

TEST_F(ExifOracle, OrientationFollowsEveryEdit) {
  auto sources = corpusJpegs(kCorpus / "exif" / "exif-samples" / "orientation");
  for (int o = 2; o <= 8; ++o)
    sources.push_back(kCorpus / "exif" / "pillow" /
                      ("hopper_orientation_" + std::to_string(o) + ".jpg"));
  const std::pair<const char*, const char*> edits[] = {
      {"r90", "-r90"},      {"r180", "-r180"},  {"r270", "-r270"},
      {"mirror", "-nr -m"}, {"flip", "-nr -f"}, {"r90+mirror+flip", "-r90 -m -f"}};
  std::vector<std::string> triples;
  for (const auto& [edit, switches] : edits) {
    const auto names = copyFlat(sources, std::string("src-") + edit);
    const std::string out = std::string("out-") + edit;
    fs::create_directories(dir_.path() / out);
    vexo("UseOutput=1\r\nOutput=" + dir_.file(out) + "\r\n[Jpeg]\r\nExif=1\r\nCompress=95\r\n",
         std::string("-gj ") + switches + " src-" + edit);
    for (const auto& n : names)
      triples.push_back(path(std::string("src-") + edit, n) + "\t" + path(out, n) + "\t" + edit);
  }
  ASSERT_EQ(triples.size(), 6 * sources.size());
  EXPECT_EQ(oracle("orientation", triples), "");
}

TEST_F(ExifOracle, AnUnreadableBlockFailsItsFileAlone) {
  // A JPEG whose 2000 entries all point at the same 30000 bytes, and a good one beside it.
  Bitmap bitmap(16, 16, 24);
  TJpegEx jpeg;
  jpeg.assign(std::move(bitmap));
  jpeg.Encode();
  const test::Bytes& good = jpeg.compressedData();
  test::Tiff tiff(false);
  tiff.u16(2000);
  for (int i = 0; i < 2000; ++i) tiff.entry(0x9286, 7, 30000, 8 + 2 + 2000 * 12 + 4);
  tiff.u32(0).raw(std::string(30000, 'x'));
  test::Bytes bad{0xFF, 0xD8};
  const auto app1 = test::segment(0xE1, test::exifPayload(tiff.bytes()));
  bad.insert(bad.end(), app1.begin(), app1.end());
  bad.insert(bad.end(), good.begin() + 2, good.end());
  fs::create_directories(dir_.path() / "src");
  fs::create_directories(dir_.path() / "out");
  test::writeFile(path("src", "a.jpg"), bad);
  test::writeFile(path("src", "b.jpg"), good);
  const auto report =
      vexo("UseOutput=1\r\nOutput=" + dir_.file("out") + "\r\n[Jpeg]\r\nExif=1\r\n", "-gj src");
  EXPECT_EQ(report, (std::vector<std::string>{"[X] a.jpg", "[O] b.jpg -> b.jpg"}));
  EXPECT_FALSE(fs::exists(path("out", "a.jpg")));
  const auto err = test::readFile(dir_.file("err.txt"));
  EXPECT_NE(std::string(err.begin(), err.end()).find("a.jpg: TExifInfo: 不正なストリーム"),
            std::string::npos);
}

}  // namespace
}  // namespace vexo
