// ShortenPath's sequence of shortened forms, with byte and terminal-column widths.
#include "app/path_shorten.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexo {
namespace {

int bytesWide(std::string_view s) {
  return static_cast<int>(s.size());
}

// Each form of a path in turn, from the full path to the file name. For every form, a width equal
// to its own width must give that form (unless an earlier form also fits), and a width just below
// the narrowest form so far must give a later one.
struct Sequence {
  std::string name;
  std::string path;
  char delimiter;
  std::vector<std::string> forms;  // forms[0] is the path itself
};

class ShortenSequenceTest : public ::testing::TestWithParam<Sequence> {};

TEST_P(ShortenSequenceTest, EachWidthGivesTheFirstFormThatFits) {
  const Sequence& s = GetParam();
  ASSERT_EQ(s.forms.front(), s.path);
  for (int width = bytesWide(s.path) + 5; width >= -1; --width) {
    std::string expected = s.forms.back();  // shown even when still too wide
    for (const std::string& f : s.forms) {
      if (bytesWide(f) <= width) {
        expected = f;
        break;
      }
    }
    EXPECT_EQ(ShortenPath(s.path, width, bytesWide, s.delimiter), expected) << "width " << width;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ShortenSequenceTest,
    ::testing::Values(
        Sequence{"Windows",
                 "C:\\a\\b\\c\\name.jpg",
                 '\\',
                 {"C:\\a\\b\\c\\name.jpg", "C:\\...\\b\\c\\name.jpg", "C:\\...\\c\\name.jpg",
                  "C:\\...\\name.jpg", "...\\name.jpg", "name.jpg"}},
        Sequence{
            "Linux",
            "/home/user/Pictures/trip/a.jpg",
            '/',
            {"/home/user/Pictures/trip/a.jpg", "/.../user/Pictures/trip/a.jpg",
             "/.../Pictures/trip/a.jpg", "/.../trip/a.jpg", "/.../a.jpg", ".../a.jpg", "a.jpg"}},
        // The first cut makes it wider; a width between the two skips to a later form.
        Sequence{"ShortFolders",
                 "/a/b/c.jpg",
                 '/',
                 {"/a/b/c.jpg", "/.../b/c.jpg", "/.../c.jpg", ".../c.jpg", "c.jpg"}},
        Sequence{"Relative", "x/y/z.png", '/', {"x/y/z.png", ".../y/z.png", ".../z.png", "z.png"}},
        Sequence{"RootFile", "/z.png", '/', {"/z.png", "z.png"}},
        Sequence{"NoFolder", "name.jpg", '/', {"name.jpg"}},
        Sequence{"DriveOnly", "D:x.jpg", '\\', {"D:x.jpg"}},  // no delimiter: all one name
        Sequence{"DriveRoot",
                 "D:\\x.jpg",
                 '\\',
                 {"D:\\x.jpg", "D:x.jpg", "x.jpg"}},  // a lone delimiter goes first
        Sequence{
            "DotFolder",
            "/.cache/thumbs/t.png",
            '/',
            {"/.cache/thumbs/t.png", "/.../thumbs/t.png", "/.../t.png", ".../t.png", "t.png"}}),
    [](const auto& row) { return row.param.name; });

TEST(ShortenPathTest, FittingPathIsUnchanged) {
  const std::string path = "/home/user/Pictures/trip/a.jpg";
  EXPECT_EQ(ShortenPath(path, 1000, bytesWide), path);
  EXPECT_EQ(ShortenPath(path, bytesWide(path), bytesWide), path);
}

TEST(ShortenPathTest, VeryLongFileNameGivesTheNameAlone) {
  const std::string name = std::string(200, 'n') + ".jpg";
  EXPECT_EQ(ShortenPath("/home/user/" + name, 50, bytesWide), name);
  EXPECT_EQ(ShortenPath("C:\\dir\\" + name, 50, bytesWide, '\\'), name);
}

TEST(ShortenPathTest, ColumnsAndBytesDifferForJapaneseNames) {
  const std::string path = "/home/ユーザー/写真/旅行/海.jpg";
  EXPECT_EQ(TerminalColumns(path), 31);
  struct Row {
    int width;
    std::string byColumns, byBytes;
  };
  const Row rows[] = {
      {31, path, "/.../写真/旅行/海.jpg"},
      {30, "/.../ユーザー/写真/旅行/海.jpg", "/.../写真/旅行/海.jpg"},
      {17, "/.../旅行/海.jpg", "/.../海.jpg"},
      {10, ".../海.jpg", "海.jpg"},
      {6, "海.jpg", "海.jpg"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(ShortenPath(path, r.width, TerminalColumns), r.byColumns) << r.width;
    EXPECT_EQ(ShortenPath(path, r.width, bytesWide), r.byBytes) << r.width;
  }
}

TEST(ShortenPathTest, CutsNeverSplitUtf8) {
  // The dot rule removes four characters, not bytes: ".", "é", "é", "/" here, so the first cut
  // also drops "a/" (four bytes would stop inside the second "é" and keep "a/").
  EXPECT_EQ(ShortenPath(".éé/a/w.jpg", 11, bytesWide), ".../w.jpg");
  EXPECT_EQ(ShortenPath(".日本/写/真/w.jpg", 15, TerminalColumns), ".../真/w.jpg");
  EXPECT_EQ(ShortenPath(".日本/写/w.jpg", 0, TerminalColumns), "w.jpg");
}

TEST(TerminalColumnsTest, Widths) {
  const std::pair<std::string, int> rows[] = {
      {"", 0},
      {"abc.jpg", 7},
      {"日本", 4},
      {"ひらがな", 8},
      {"カタカナ", 8},
      {"ｶﾀｶﾅ", 4},  // half-width katakana
      {"ＡＢ", 4},  // full-width Latin
      {"한글", 4},
      {"。「」", 6},
      {"é", 1},
      {"e\u0301", 1},           // combining acute
      {"か\u3099", 2},          // decomposed が
      {"\xff", 1},              // stray byte
      {"a\xe6\x97", 3},         // truncated sequence: each byte one column
      {"\xc0\xaf", 2},          // overlong "/"
      {"\xed\xa0\x80", 3},      // surrogate
      {"\xf4\x90\x80\x80", 4},  // above U+10FFFF
      {"\U0001F600", 2},
      {"\U00020B9F", 2},  // CJK extension B
  };
  for (const auto& [text, cols] : rows) EXPECT_EQ(TerminalColumns(text), cols) << text;
}

}  // namespace
}  // namespace vexo
