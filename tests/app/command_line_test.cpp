#include "app/command_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/pipeline.h"
#include "support/reference.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;

struct SwitchCase {
  std::vector<std::string> args;
  RunSettings expected;
};

RunSettings base() {
  RunSettings s;
  s.Angle = 45;
  s.Size = 640;
  s.SizeUnit = 0;
  s.ImageType = 1;
  return s;
}

RunSettings with(std::function<void(RunSettings&)> change) {
  RunSettings s = base();
  change(s);
  return s;
}

bool same(const RunSettings& a, const RunSettings& b) {
  return a.Report == b.Report && a.ChangeSize == b.ChangeSize && a.MaxSize == b.MaxSize &&
         a.Size == b.Size && a.SizeUnit == b.SizeUnit && a.Rotate == b.Rotate &&
         a.Angle == b.Angle && a.ImageType == b.ImageType && a.ShowDlg == b.ShowDlg &&
         a.HideProgress == b.HideProgress && a.Mirror == b.Mirror && a.Flip == b.Flip;
}

TEST(ParseCommandLine, SwitchesOverrideSettings) {
  const std::vector<SwitchCase> cases = {
      {{"/D"}, with([](auto& s) { s.ShowDlg = true; })},
      {{"-f", "-m", "-p"}, with([](auto& s) { s.Flip = s.Mirror = s.HideProgress = true; })},
      {{"/S", "/NS"}, base()},
      {{"/NS", "/S"}, with([](auto& s) { s.Report = true; })},
      {{"/gp"}, with([](auto& s) { s.ImageType = 2; })},
      {{"-GX"}, with([](auto& s) { s.ImageType = 7; })},
      {{"-GJ", "-ge", "-gw", "-gi"}, with([](auto& s) { s.ImageType = 6; })},
      {{"/G"}, base()},
      {{"/GQ"}, base()},
      {{"/N"}, base()},
      {{"/NQ"}, base()},
      {{"-Q", "-"}, base()},
      {{"/R90"}, with([](auto& s) { s.Angle = 90; })},
      {{"/R-90"}, with([](auto& s) { s.Angle = -90; })},
      {{"/R450"}, with([](auto& s) { s.Angle = 90; })},
      {{"/R45"}, base()},
      {{"/R360"}, with([](auto& s) { s.Angle = 0; })},
      {{"/R0"}, with([](auto& s) { s.Angle = 0; })},
      {{"/R+180"}, with([](auto& s) { s.Angle = 180; })},
      {{"/R"}, base()},
      {{"/R9x"}, base()},
      {{"/R99999999999"}, base()},
      {{"/X:800"}, with([](auto& s) { s.Size = 800, s.MaxSize = 1; })},
      {{"/x:800"}, with([](auto& s) { s.Size = 800, s.MaxSize = 1; })},
      {{"/Y:300"}, with([](auto& s) { s.Size = 300, s.MaxSize = 2; })},
      {{"/Z:50%"}, with([](auto& s) { s.Size = 50, s.MaxSize = 0, s.SizeUnit = 1; })},
      {{"/X:abc%"}, with([](auto& s) { s.SizeUnit = 1; })},
      {{"/X800"}, base()},
      {{"/X:0"}, base()},
      {{"/X:-5"}, base()},
      {{"/X:"}, base()},
      {{"/Xa:12"}, with([](auto& s) { s.Size = 12, s.MaxSize = 1; })},
      {{"/Xa:b:12"}, base()},  // the first ":" counts
  };
  for (const auto& c : cases) {
    RunSettings s = base();
    FileList files;
    ParseCommandLine(c.args, s, files);
    EXPECT_TRUE(same(s, c.expected)) << c.args.front();
    EXPECT_TRUE(files.empty()) << c.args.front();
  }
}

TEST(ParseCommandLine, NoSwitchTurnsResizeOrRotationOn) {
  RunSettings s;
  s.ChangeSize = s.Rotate = true;
  FileList files;
  ParseCommandLine({"/NZ", "/NR"}, s, files);
  EXPECT_FALSE(s.ChangeSize);
  EXPECT_FALSE(s.Rotate);
  ParseCommandLine({"/Z:50", "/R90"}, s, files);
  EXPECT_FALSE(s.ChangeSize);
  EXPECT_FALSE(s.Rotate);
}

class InFolder : public ::testing::Test {
 protected:
  void SetUp() override { fs::current_path(dir_); }
  void TearDown() override { fs::current_path(old_); }
  static void touch(const fs::path& p) { std::ofstream(p) << "x"; }
  test::TempDir temp_;
  const fs::path& dir_ = temp_.path();
  const fs::path old_ = fs::current_path();
};

TEST_F(InFolder, AnExistingFileNamedLikeASwitchIsAFile) {
  touch("-S");
  fs::create_directory("-M");
  RunSettings s;
  FileList files;
  ParseCommandLine({"-S", "-M", "", "missing.jpg"}, s, files);
  EXPECT_FALSE(s.Report);
  EXPECT_TRUE(s.Mirror);  // a folder does not count as a file
  EXPECT_EQ(files, (FileList{"-S", "missing.jpg"}));
}

TEST_F(InFolder, SlashArgumentIsAPathWhenItExists) {
  touch("a.bmp");
  const std::string absolute = (dir_ / "a.bmp").string();
  RunSettings s;
  FileList files;
  ParseCommandLine({absolute, "/S", dir_.string() + "/gone.bmp"}, s, files);
  EXPECT_TRUE(s.Report);
  // A missing absolute path stays a path (no switch holds a second "/"), to be reported missing.
  EXPECT_EQ(files, (FileList{absolute, dir_.string() + "/gone.bmp"}));
}

TEST_F(InFolder, FoldersAreWalkedSortedDepthFirstWithHiddenFiles) {
  fs::create_directories("top/b_dir/inner");
  touch("top/Zeta.jpg");
  touch("top/alpha.jpg");
  touch("top/.hidden.bmp");
  touch("top/B.txt");
  touch("top/b_dir/inner/deep.png");
  touch("top/b_dir/mid.gif");
  touch("top/a.jpg");
  touch("top/A.jpg");
  RunSettings s;
  FileList files;
  ParseCommandLine({"top", "top/alpha.jpg"}, s, files);
  EXPECT_EQ(files, (FileList{"top/.hidden.bmp", "top/A.jpg", "top/a.jpg", "top/alpha.jpg",
                             "top/B.txt", "top/b_dir/inner/deep.png", "top/b_dir/mid.gif",
                             "top/Zeta.jpg", "top/alpha.jpg"}));
}

TEST_F(InFolder, SymbolicLinkLoopsAreWalkedOnce) {
  fs::create_directories("loop/sub");
  touch("loop/sub/x.bmp");
  fs::create_directory_symlink("..", "loop/sub/up");
  fs::create_directory_symlink("sub", "loop/again");
  touch("loop/y.bmp");
  fs::create_symlink("y.bmp", "loop/z.bmp");
  const FileList files = CollectFolderFiles("loop/");
  // "again" sorts first, so the folder is walked under that name only.
  EXPECT_EQ(files, (FileList{"loop/again/x.bmp", "loop/y.bmp", "loop/z.bmp"}));
}

TEST(FolderNameLess, LettersWithoutCaseThenBytes) {
  std::vector<std::string> names = {"b", "B", "a", "_x", "A1", "a0", "\xE3\x81\x82", "Z", "z"};
  std::sort(names.begin(), names.end(), FolderNameLess);
  EXPECT_EQ(names,
            (std::vector<std::string>{"_x", "a", "a0", "A1", "B", "b", "Z", "z", "\xE3\x81\x82"}));
}

TEST(ResizeTarget, SizesFollowTheFactorRules) {
  struct Row {
    int w, h, size, unit, maxSize;
    Size2 expected;
  } rows[] = {
      {1000, 1000, 30, 1, 0, {299, 299}},  // 0.3 × 1000 is 299.99... in binary
      {1000, 1000, 70, 1, 0, {699, 699}},
      {1, 1000, 10, 1, 0, {1, 100}},  // a zero side is raised to 1
      {640, 480, 200, 1, 0, {1280, 960}},
      {640, 480, 800, 0, 0, {640, 480}},  // pixel targets never enlarge
      {640, 480, 320, 0, 0, {320, 240}},
      {480, 640, 320, 0, 0, {240, 320}},
      {640, 480, 240, 0, 2, {320, 240}},
      {640, 480, 160, 0, 1, {160, 120}},
      {640, 480, 160, 0, 7, {213, 159}},  // any other value means the height; 1/3 rounds down
      {500, 500, 0, 1, 0, {1, 1}},
  };
  for (const auto& r : rows) {
    RunSettings s;
    s.Size = r.size;
    s.SizeUnit = r.unit;
    s.MaxSize = r.maxSize;
    EXPECT_EQ(ResizeTarget(r.w, r.h, s), r.expected) << r.w << "x" << r.h << " " << r.size;
  }
}

TEST(DisplayName, NamesAreShownAsUtf8) {
  EXPECT_EQ(DisplayName("/a/b/写真.jpg"), "写真.jpg");
  EXPECT_EQ(DisplayName("plain.bmp"), "plain.bmp");
  // Shift_JIS "テスト.bmp"
  EXPECT_EQ(DisplayName("/x/\x83\x65\x83\x58\x83\x67.bmp"), "テスト.bmp");
  // Neither UTF-8 nor Shift_JIS: each bad byte shows as U+FFFD.
  EXPECT_EQ(DisplayName("a\xFF\xFE.bmp"), "a\xEF\xBF\xBD\xEF\xBF\xBD.bmp");
}

}  // namespace
}  // namespace vexo
