// Runs the real vexo binary on temporary folders with a private settings folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gif/gif.h"
#include "input/images.h"
#include "png/png.h"
#include "support/libpng_reference.h"
#include "support/png_file.h"
#include "support/reference.h"

namespace {

namespace fs = std::filesystem;

using vexo::test::shellQuote;

std::string readText(const fs::path& p) {
  const auto bytes = vexo::test::readFile(p.string());
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct Result {
  int exitCode;
  std::string out, err;
  std::vector<std::string> report() const { return lines(out); }
};

// Size and top-down RGB bytes of an image file as Pillow decodes it, for comparisons.
std::string pillowRgb(const fs::path& file) {
  int w = 0, h = 0;
  const auto rgb = vexo::test::pillowRgb(file.string(), w, h);
  if (w == 0) return "Pillow cannot read " + file.string();  // never equal to another file's
  return std::to_string(w) + "x" + std::to_string(h) + ":" + std::string(rgb.begin(), rgb.end());
}

class Vexo : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ =
        fs::temp_directory_path() / ("vexo-e2e-" + std::to_string(::getpid()) + "-" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "config" / "vexo");
    fs::create_directories(root_ / "work");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path work() const { return root_ / "work"; }

  void settings(const std::string& ini) {
    std::ofstream(root_ / "config" / "vexo" / "Vexo.ini", std::ios::binary) << ini;
  }

  // Runs vexo in the work folder with stdin from /dev/null (no terminal to ask).
  Result vexo(const std::vector<std::string>& args, const std::string& script = {}) {
    std::string cmd = "cd " + shellQuote(work().string()) +
                      " && XDG_CONFIG_HOME=" + shellQuote((root_ / "config").string()) + " " +
                      wrapper_ + shellQuote(VEXO_BINARY);
    if (!script.empty()) {
      std::ofstream(root_ / "script.txt") << script;
      cmd += " --script=" + shellQuote((root_ / "script.txt").string());
    }
    for (const auto& a : args) cmd += " " + shellQuote(a);
    cmd += " </dev/null >" + shellQuote((root_ / "out.txt").string()) + " 2>" +
           shellQuote((root_ / "err.txt").string());
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(root_ / "out.txt"),
            readText(root_ / "err.txt")};
  }

  // Draws an image file with Pillow (format from the extension, extra save arguments).
  void image(const std::string& name, int w, int h, const std::string& saveArgs = "",
             const std::string& transform = "") {
    fs::path p = work() / name;
    fs::create_directories(p.parent_path());
    const std::string cmd =
        "/usr/bin/python3 -c \"import sys;from PIL import Image;"
        "im=Image.linear_gradient('L').resize((" +
        std::to_string(w) + "," + std::to_string(h) +
        "));im=Image.merge('RGB',(im,im.rotate(90),im.transpose(Image.FLIP_TOP_BOTTOM)))" +
        transform + ";im.save(sys.argv[1]" + saveArgs + ")\" " + shellQuote(p.string());
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }

  void file(const std::string& name, const std::string& bytes) {
    std::ofstream(work() / name, std::ios::binary) << bytes;
  }

  std::vector<std::string> listing(const fs::path& dir) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // a.bmp and b.bmp converted to PNG under strace, tracing the calls given, with a.png there
  // before and overwritten; the trace's file.
  fs::path tracedOverwrite(const std::string& calls, const std::string& under = "") {
    settings("[Options]\r\nSame=2\r\n");
    image("a.bmp", 20, 10);
    image("b.bmp", 20, 10);
    file("a.png", "old");
    const fs::path trace = root_ / "trace.txt";
    wrapper_ = "strace -f -o " + shellQuote(trace.string()) + " -e trace=" + calls + " " + under;
    const Result r = vexo({"--jobs=1", "-gp", "-s", "a.bmp", "b.bmp"});
    EXPECT_EQ(r.report(), (std::vector<std::string>{"[O] a.bmp -> a.png", "[O] b.bmp -> b.png"}))
        << r.err;
    return trace;
  }

  // A wrapper under which the program's open() refuses O_TMPFILE.
  static std::string withoutUnnamedFiles() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return "env LD_PRELOAD=" + shellQuote(VEXO_NO_TMPFILE) + " ASAN_OPTIONS=" +
           shellQuote(std::string(asan ? asan : "") + ":verify_asan_link_order=0") + " ";
  }

  fs::path root_;
  std::string wrapper_;  // a command that runs vexo, such as strace, with its arguments
};

using Lines = std::vector<std::string>;

TEST_F(Vexo, MixedFolderGivesOneLineEachInOrder) {
  image("a.bmp", 33, 17);
  file("b.txt", "not an image");
  file("c.jpg", "\xFF\xD8\xFF\xE0 broken");
  image("d.dib", 20, 10, ",format='BMP'");
  image("e.jpg", 40, 30);
  image("sub/f.jpeg", 8, 8);
  const Result r = vexo({"--console", "-gb", "-s", "."});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.report(), (Lines{"[O] a.bmp -> a_1.bmp", "[-] b.txt(未対応)", "[X] c.jpg",
                               "[O] d.dib -> d.bmp", "[O] e.jpg -> e.bmp", "[O] f.jpeg -> f.bmp"}));
  // The reason of the failure goes to stderr.
  EXPECT_NE(r.err.find("c.jpg"), std::string::npos) << r.err;
  // Outputs hold the source pixels as an independent decoder reads them.
  EXPECT_EQ(pillowRgb(work() / "a_1.bmp"), pillowRgb(work() / "a.bmp"));
  EXPECT_EQ(pillowRgb(work() / "d.bmp"), pillowRgb(work() / "d.dib"));
  EXPECT_EQ(pillowRgb(work() / "e.bmp"), pillowRgb(work() / "e.jpg"));
  EXPECT_EQ(pillowRgb(work() / "sub/f.bmp"), pillowRgb(work() / "sub/f.jpeg"));
}

TEST_F(Vexo, CorpusImagesConvertToTheirPixels) {
  const fs::path corpus = VEXO_CORPUS_DIR;
  const std::vector<std::string> sources = {"bmp/bmpsuite/g/pal8rle.bmp",
                                            "bmp/bmpsuite/g/rgb16-565.bmp",
                                            "bmp/bmpsuite/g/pal4.bmp",
                                            "bmp/image-rs/Info_R8_G8_B8_Top_Down.bmp",
                                            "jpeg/wuffs/peacock.progressive.jpeg",
                                            "jpeg/wuffs/bricks-gray.jpeg",
                                            "jpeg/libjpeg-turbo/testorig.jpg"};
  for (const auto& s : sources) fs::copy_file(corpus / s, work() / fs::path(s).filename());
  const Result r = vexo({"-gb", "-s", "."});
  ASSERT_EQ(r.report().size(), sources.size()) << r.out << r.err;
  for (const auto& s : sources) {
    const auto name = fs::path(s).filename();
    auto out = work() / name;
    out.replace_extension(".bmp");
    if (name.extension() == ".bmp") out = work() / (name.stem().string() + "_1.bmp");
    EXPECT_EQ(pillowRgb(out), pillowRgb(corpus / s)) << s;
  }
}

TEST_F(Vexo, NumberedNamesSkipTakenOnes) {
  settings("[Options]\r\nSame=0\r\nImageType=1\r\n");
  image("photo.jpg", 10, 10);
  image("photo.dib", 10, 10, ",format='BMP'");
  EXPECT_EQ(vexo({"-s", "photo.jpg", "photo.dib"}).report(),
            (Lines{"[O] photo.jpg -> photo.bmp", "[O] photo.dib -> photo_1.bmp"}));
  fs::remove(work() / "photo.bmp");
  file("photo.bmp", "x");
  const Result r = vexo({"-s", "photo.jpg", "photo.jpg"});
  EXPECT_EQ(r.report(), (Lines{"[O] photo.jpg -> photo_2.bmp", "[O] photo.jpg -> photo_3.bmp"}));
  EXPECT_EQ(readText(work() / "photo.bmp"), "x");
}

TEST_F(Vexo, OverwritePolicyReplacesEvenTheSource) {
  settings("[Options]\r\nSame=2\r\nImageType=1\r\nReport=1\r\n");
  // An 8-bit source, so that its replacement by a 24-bit file shows in the header.
  image("a.bmp", 9, 7, "", ";im=im.quantize(16)");
  const std::string before = pillowRgb(work() / "a.bmp");
  const Result r = vexo({"a.bmp"});
  EXPECT_EQ(r.report(), (Lines{"[O] a.bmp -> a.bmp"}));
  EXPECT_EQ(pillowRgb(work() / "a.bmp"), before);
  EXPECT_EQ(readText(work() / "a.bmp")[28], 24);
  EXPECT_EQ(listing(work()), (Lines{"a.bmp"}));
}

TEST_F(Vexo, FailureLeavesExistingFilesUntouchedAndNoLeftovers) {
  settings("[Options]\r\nSame=2\r\nImageType=1\r\nReport=1\r\n");
  const std::string broken = "BM\x36\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00";
  file("bad.bmp", broken);
  const Result r = vexo({"bad.bmp"});
  EXPECT_EQ(r.report(), (Lines{"[X] bad.bmp"}));
  EXPECT_EQ(readText(work() / "bad.bmp"), broken);
  EXPECT_EQ(listing(work()), (Lines{"bad.bmp"}));
}

TEST_F(Vexo, AskPolicyThroughTheScript) {
  settings("[Options]\r\nSame=1\r\nImageType=1\r\nReport=1\r\n");
  for (auto n : {"a", "b", "c", "d"}) {
    image(std::string(n) + ".jpg", 6, 6);
    file(std::string(n) + ".bmp", "old");
  }
  // Overwrite a, skip b, then rename-all: c and d get numbered names with no more questions.
  const Result r =
      vexo({"a.jpg", "b.jpg", "c.jpg", "d.jpg"}, "overwrite 2\noverwrite 3\noverwrite 4\n");
  EXPECT_EQ(r.report(), (Lines{"[O] a.jpg -> a.bmp", "[S] b.jpg", "[O] c.jpg -> c_1.bmp",
                               "[O] d.jpg -> d_1.bmp"}));
  std::size_t asked = 0;
  for (const auto& l : lines(r.err)) asked += l.rfind("? overwrite", 0) == 0;
  EXPECT_EQ(asked, 3u) << r.err;
  EXPECT_NE(readText(work() / "a.bmp"), "old");
  EXPECT_EQ(readText(work() / "b.bmp"), "old");
  EXPECT_EQ(readText(work() / "c.bmp"), "old");
}

TEST_F(Vexo, WithoutATerminalTheAskPolicyTakesANumberedName) {
  settings("[Options]\r\nSame=1\r\nImageType=1\r\nReport=1\r\n");
  image("a.jpg", 6, 6);
  file("a.bmp", "old");
  const Result r = vexo({"--console", "a.jpg"});
  EXPECT_EQ(r.report(), (Lines{"[O] a.jpg -> a_1.bmp"}));
  EXPECT_EQ(readText(work() / "a.bmp"), "old");
}

// The terminal front end asks on a terminal: run it under script(1), which gives it a pty.
TEST_F(Vexo, TerminalQuestions) {
  settings("[Options]\r\nImageType=7\r\nReport=1\r\nSame=1\r\n");
  for (auto n : {"a", "b", "c"}) {
    image(std::string(n) + ".jpg", 5, 5);
    file(std::string(n) + ".bmp", "old");
  }
  const std::string cmd =
      "cd " + shellQuote(work().string()) + " && printf '1a\\n2\\n5\\n' | " +
      "XDG_CONFIG_HOME=" + shellQuote((root_ / "config").string()) + " script -qec " +
      shellQuote(std::string(VEXO_BINARY) + " a.jpg b.jpg c.jpg") + " /dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  ::pclose(p);
  auto count = [&out](const std::string& what) {
    std::size_t n = 0;
    for (auto pos = out.find(what); pos != std::string::npos; pos = out.find(what, pos + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("変換ファイル"), 1u) << out;    // "すべて" on the first file
  EXPECT_EQ(count("上書きしますか"), 2u) << out;  // "すべて上書き" on the second
  EXPECT_NE(out.find("[O] c.jpg -> c.bmp"), std::string::npos) << out;
  for (auto n : {"a", "b", "c"}) EXPECT_NE(readText(work() / (std::string(n) + ".bmp")), "old");
}

TEST_F(Vexo, OutputFolder) {
  fs::create_directory(work() / "out");
  image("in/a.jpg", 6, 6);
  settings("[Options]\r\nUseOutput=1\r\nOutput=" + (work() / "out").string() +
           "\r\nImageType=1\r\nReport=1\r\n");
  EXPECT_EQ(vexo({"in"}).report(), (Lines{"[O] a.jpg -> a.bmp"}));
  EXPECT_TRUE(fs::exists(work() / "out" / "a.bmp"));
  EXPECT_FALSE(fs::exists(work() / "in" / "a.bmp"));

  // An output folder that does not exist is not created; its files fail.
  settings("[Options]\r\nUseOutput=1\r\nOutput=" + (work() / "nowhere").string() +
           "\r\nImageType=1\r\nReport=1\r\n");
  EXPECT_EQ(vexo({"in"}).report(), (Lines{"[X] a.jpg"}));
  EXPECT_FALSE(fs::exists(work() / "nowhere"));

  // On with an empty folder fails instead of writing to the root folder.
  settings("[Options]\r\nUseOutput=1\r\nOutput=\r\nImageType=1\r\nReport=1\r\n");
  EXPECT_EQ(vexo({"in"}).report(), (Lines{"[X] a.jpg"}));
}

TEST_F(Vexo, SwitchesOverrideSettingsForOneRun) {
  settings("[Options]\r\nImageType=2\r\nReport=1\r\nSame=0\r\n");
  image("a.jpg", 6, 6);
  EXPECT_EQ(vexo({"a.jpg"}).report(), (Lines{"[O] a.jpg -> a.png"}));
  EXPECT_EQ(vexo({"/GB", "a.jpg"}).report(), (Lines{"[O] a.jpg -> a.bmp"}));
  EXPECT_EQ(vexo({"-gb", "-NS", "a.jpg"}).out, "");
  // The switches were not saved.
  EXPECT_NE(readText(root_ / "config" / "vexo" / "Vexo.ini").find("ImageType=2"),
            std::string::npos);
}

// Size and pixels of a Pillow operation on an image file, in pillowRgb's form.
std::string pillowEdited(const fs::path& file, const std::string& ops) {
  const std::string cmd =
      "/usr/bin/python3 -c \"import sys;from PIL import Image;"
      "im=Image.open(sys.argv[1]).convert('RGB')" +
      ops + ";sys.stdout.buffer.write(b'%dx%d:'%im.size+im.tobytes())\" " +
      shellQuote(file.string());
  return vexo::test::runCommand(cmd);
}

TEST_F(Vexo, EditsApplyInOrderRotateMirrorFlip) {
  image("a.bmp", 13, 7);
  struct Case {
    std::string options;
    std::vector<std::string> switches;
    std::string pillowOps;
  };
  const std::vector<Case> cases = {
      {"Rotate=1\r\nAngle=90", {}, ".transpose(Image.ROTATE_270)"},
      {"Rotate=1\r\nAngle=-90", {}, ".transpose(Image.ROTATE_90)"},
      {"Rotate=1\r\nAngle=180", {}, ".transpose(Image.ROTATE_180)"},
      {"Rotate=1\r\nAngle=45", {}, ""},
      {"Rotate=0\r\nAngle=90", {}, ""},
      {"Rotate=1", {"-R270"}, ".transpose(Image.ROTATE_90)"},
      {"Mirror=1", {}, ".transpose(Image.FLIP_LEFT_RIGHT)"},
      {"", {"-F"}, ".transpose(Image.FLIP_TOP_BOTTOM)"},
      {"Rotate=1\r\nAngle=90\r\nMirror=1\r\nFlip=1",
       {},
       ".transpose(Image.ROTATE_270).transpose(Image.FLIP_LEFT_RIGHT)"
       ".transpose(Image.FLIP_TOP_BOTTOM)"},
      {"Rotate=1\r\nAngle=90\r\nMirror=1\r\nFlip=1",
       {"-NR", "-NF"},
       ".transpose(Image.FLIP_LEFT_RIGHT)"},
  };
  for (const auto& c : cases) {
    settings("[Options]\r\nImageType=1\r\nReport=1\r\nSame=2\r\n" + c.options + "\r\n");
    auto args = c.switches;
    args.push_back("a.bmp");
    fs::create_directories(work() / "out");
    fs::copy_file(work() / "a.bmp", work() / "out" / "a.bmp", fs::copy_options::overwrite_existing);
    args.back() = "out/a.bmp";
    ASSERT_EQ(vexo(args).report(), (Lines{"[O] a.bmp -> a.bmp"})) << c.options;
    EXPECT_EQ(pillowRgb(work() / "out" / "a.bmp"), pillowEdited(work() / "a.bmp", c.pillowOps))
        << c.options;
  }
}

// Width and height of an image as Pillow reads it.
std::string pillowSize(const fs::path& file) {
  return vexo::test::runCommand(
      "/usr/bin/python3 -c \"import sys;from PIL import Image;print('%dx%d'%Image.open("
      "sys.argv[1]).size)\" " +
      shellQuote(file.string()));
}

TEST_F(Vexo, ResizeSizes) {
  image("big.jpg", 1000, 1000);
  image("wide.bmp", 640, 480);
  image("thin.bmp", 1, 1000);
  struct Case {
    std::string options, source, size;
  };
  const std::vector<Case> cases = {
      {"Size=30\r\nSizeUnit=1", "big.jpg", "299x299\n"},
      {"Size=70\r\nSizeUnit=1", "big.jpg", "699x699\n"},
      {"Size=200\r\nSizeUnit=1", "wide.bmp", "1280x960\n"},
      {"Size=10\r\nSizeUnit=1", "thin.bmp", "1x100\n"},
      {"Size=800\r\nSizeUnit=0\r\nMaxSize=0", "wide.bmp", "640x480\n"},
      {"Size=320\r\nSizeUnit=0\r\nMaxSize=0", "wide.bmp", "320x240\n"},
      {"Size=240\r\nSizeUnit=0\r\nMaxSize=2", "wide.bmp", "320x240\n"},
      {"Size=64\r\nSizeUnit=0\r\nMaxSize=1", "wide.bmp", "64x48\n"},
  };
  for (const auto& c : cases) {
    settings("[Options]\r\nImageType=1\r\nReport=1\r\nSame=0\r\nChangeSize=1\r\n" + c.options +
             "\r\n");
    const Result r = vexo({c.source});
    ASSERT_EQ(r.report().size(), 1u) << r.err;
    const std::string out = r.report()[0].substr(r.report()[0].rfind(' ') + 1);
    EXPECT_EQ(pillowSize(work() / out), c.size) << c.options << " " << c.source;
    fs::remove(work() / out);
  }
  // The size switches set the target; resizing itself stays a setting. "%" selects percent.
  settings("[Options]\r\nImageType=1\r\nReport=1\r\nSame=0\r\nChangeSize=1\r\nSizeUnit=0\r\n");
  vexo({"-X:100", "wide.bmp"});
  EXPECT_EQ(pillowSize(work() / "wide_1.bmp"), "100x75\n");
  vexo({"-Y:50%", "wide.bmp"});
  EXPECT_EQ(pillowSize(work() / "wide_2.bmp"), "320x240\n");
  settings("[Options]\r\nImageType=1\r\nReport=1\r\nSame=0\r\nSizeUnit=0\r\n");
  vexo({"-X:100", "wide.bmp"});
  EXPECT_EQ(pillowSize(work() / "wide_3.bmp"), "640x480\n");
}

TEST_F(Vexo, BitmapColourDepths) {
  image("a.bmp", 37, 23);
  // Each case: the file's depth, how many colours it may hold, the largest difference per
  // channel from the source, and whether it is the monochrome threshold of the source.
  struct Case {
    std::string bmp;
    int fileBits;
    std::size_t maxColours;
    int tolerance;
    bool mono = false;
  };
  const std::vector<Case> cases = {
      {"Color=0", 24, 1u << 24, 0},
      {"Color=24", 24, 1u << 24, 0},
      {"Color=32", 32, 1u << 24, 0},
      {"Color=16", 16, 1u << 16, 7},
      {"Color=15", 16, 1u << 15, 7},
      {"Color=8", 8, 256, 48},
      {"Color=8\r\nError=1", 8, 256, 80},
      {"Color=4", 4, 16, 128},
      {"Color=4\r\nError=1", 4, 16, 160},
      {"Color=3", 4, 8, 160},
      {"Color=1", 1, 2, 255},
      {"Color=24\r\nMono=1", 1, 2, 255, true},
      {"Color=8\r\nMono=1", 1, 2, 255},
  };
  const std::string source = pillowRgb(work() / "a.bmp");
  const std::size_t start = source.find(':') + 1;
  for (const auto& c : cases) {
    settings("[Options]\r\nImageType=1\r\nReport=1\r\nSame=2\r\n[BMP]\r\n" + c.bmp + "\r\n");
    fs::create_directories(work() / "out");
    fs::copy_file(work() / "a.bmp", work() / "out" / "a.bmp", fs::copy_options::overwrite_existing);
    ASSERT_EQ(vexo({"out/a.bmp"}).report(), (Lines{"[O] a.bmp -> a.bmp"})) << c.bmp;
    const auto bytes = vexo::test::readFile((work() / "out" / "a.bmp").string());
    ASSERT_GT(bytes.size(), 30u);
    EXPECT_EQ(bytes[28] | bytes[29] << 8, c.fileBits) << c.bmp;
    const std::string out = pillowRgb(work() / "out" / "a.bmp");
    ASSERT_EQ(out.size(), source.size()) << c.bmp;
    std::set<std::string> colours;
    int worst = 0;
    for (std::size_t i = start; i + 3 <= out.size(); i += 3) {
      colours.insert(out.substr(i, 3));
      const auto px = [&](const std::string& s, int k) {
        return static_cast<unsigned char>(s[i + k]);
      };
      for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(px(out, k) - px(source, k)));
      if (c.mono) {
        const int luma = (77 * px(source, 0) + 150 * px(source, 1) + 29 * px(source, 2)) >> 8;
        ASSERT_EQ(px(out, 0), luma >= 128 ? 255 : 0) << c.bmp << " at " << (i - start) / 3;
      }
    }
    EXPECT_LE(colours.size(), c.maxColours) << c.bmp;
    EXPECT_LE(worst, c.tolerance) << c.bmp;
  }
}

// What Pillow reads from a JPEG output: mode, size, JFIF density, comment, and the PSNR of its
// pixels against the source image (in dB, rounded down).
std::string pillowJpegFacts(const fs::path& out, const fs::path& source) {
  return vexo::test::runCommand(
      "/usr/bin/python3 -c \"import sys,math;from PIL import Image;"
      "o=Image.open(sys.argv[1]);s=Image.open(sys.argv[2]).convert(o.mode);"
      "a=o.tobytes();b=s.tobytes();"
      "m=sum((x-y)**2 for x,y in zip(a,b))/len(a);"
      "print(o.mode,'%dx%d'%o.size,o.info.get('jfif_unit'),o.info.get('jfif_density'),"
      "o.info.get('comment'),int(10*math.log10(255*255/m)) if m else 99)\" " +
      shellQuote(out.string()) + " " + shellQuote(source.string()));
}

TEST_F(Vexo, JpegOutputFollowsTheSettings) {
  image("a.bmp", 67, 41);
  struct Case {
    std::string jpeg;
    std::string facts;  // mode, size, unit, density, comment
    int minPsnr;
    bool restart = false;
  };
  const std::vector<Case> cases = {
      {"", "RGB 67x41 0 (0, 0) None", 30},
      {"Compress=100\r\nSampling=2", "RGB 67x41 0 (0, 0) None", 40},
      {"Compress=10\r\nSampling=1", "RGB 67x41 0 (0, 0) None", 22},
      {"Gray=1", "L 67x41 0 (0, 0) None", 30},
      {"Xden=300\r\nYden=150\r\nUnit=1", "RGB 67x41 1 (300, 150) None", 30},
      // The comment segment carries a closing zero byte.
      {"Comment=hello vexo", "RGB 67x41 0 (0, 0) b'hello vexo\\x00'", 30},
      {"Interval=2", "RGB 67x41 0 (0, 0) None", 30, true},
  };
  for (const auto& c : cases) {
    settings("[Options]\r\nImageType=0\r\nReport=1\r\nSame=2\r\n[Jpeg]\r\n" + c.jpeg + "\r\n");
    ASSERT_EQ(vexo({"a.bmp"}).report(), (Lines{"[O] a.bmp -> a.jpg"})) << c.jpeg;
    const std::string facts = pillowJpegFacts(work() / "a.jpg", work() / "a.bmp");
    EXPECT_EQ(facts.substr(0, facts.rfind(' ')), c.facts) << c.jpeg;
    EXPECT_GE(std::stoi(facts.substr(facts.rfind(' ') + 1)), c.minPsnr) << c.jpeg << ": " << facts;
    const std::string bytes = readText(work() / "a.jpg");
    EXPECT_EQ(bytes.find("\xFF\xDD") != std::string::npos, c.restart) << c.jpeg;
    EXPECT_EQ(bytes.find("\xFF\xD0") != std::string::npos, c.restart) << c.jpeg;
    // libjpeg reads it without a warning.
    int code = 0;
    vexo::test::runCommand(
        "djpeg -ppm " + shellQuote((work() / "a.jpg").string()) + " >/dev/null 2>&1", &code);
    EXPECT_EQ(code, 0) << c.jpeg;
  }
}

TEST_F(Vexo, PngOutputFollowsTheSettings) {
  image("a.bmp", 37, 23);
  int w = 0, h = 0;
  const auto source = vexo::test::pillowRgb((work() / "a.bmp").string(), w, h);
  ASSERT_EQ(w, 37);
  const std::size_t bottomLeft = static_cast<std::size_t>(w) * (h - 1) * 3;
  auto gray = [](const std::uint8_t* p) { return (p[0] + p[1] + p[2] + 1) / 3; };
  // Each case: the "PNG" settings, colour type and depth, interlace, the zlib level class of the
  // stream header (-1: stored blocks), the filter byte every row must have (-1: any), how many
  // colours the file may hold, the largest difference from the source (-1: the gray level),
  // whether the bottom-left colour is transparent, and the text chunk with the comment.
  struct Case {
    std::string png;
    int colorType, depth, interlace, zlevel, filter;
    std::size_t maxColours;
    int tolerance;
    bool keyed = false;
    std::string textChunk = "";
  };
  const std::vector<Case> cases = {
      {"", 2, 8, 0, 1, -1, 1u << 24, 0},
      {"Compress=0", 2, 8, 0, -1, -1, 1u << 24, 0},
      {"Compress=2", 2, 8, 0, 0, -1, 1u << 24, 0},
      {"Compress=3", 2, 8, 0, 3, -1, 1u << 24, 0},
      {"FilterVal=4", 2, 8, 0, 1, 2, 1u << 24, 0},
      {"FilterVal=16", 2, 8, 0, 1, 4, 1u << 24, 0},
      {"FilterVal=0", 2, 8, 0, 1, 0, 1u << 24, 0},
      {"Interlace=1", 2, 8, 1, 1, -1, 1u << 24, 0},
      {"Gray=1\r\nInterlace=1", 0, 8, 1, 1, -1, 256, -1},
      {"Color=8", 3, 8, 0, 1, -1, 256, 48},
      {"Color=4\r\nError=1", 3, 4, 0, 1, -1, 16, 160},
      {"Color=1", 3, 1, 0, 1, -1, 2, 255},
      {"Color=16", 2, 8, 0, 1, -1, 1u << 16, 7},
      {"UseTrans=1\r\nTransColor=$20000000", 2, 8, 0, 1, -1, 1u << 24, 0, true},
      {"Gray=1\r\nUseTrans=1\r\nTransColor=$20000000", 0, 8, 0, 1, -1, 256, -1, true},
      {"Color=8\r\nUseTrans=1\r\nTransColor=$20000000", 3, 8, 0, 1, -1, 256, 48, true},
      {"UseText=1\r\nText=sunset at the pier", 2, 8, 0, 1, -1, 1u << 24, 0, false, "zTXt"},
      {"UseText=1\r\nText=桟橋の夕日", 2, 8, 0, 1, -1, 1u << 24, 0, false, "iTXt"},
  };
  for (const auto& c : cases) {
    settings("[Options]\r\nImageType=2\r\nReport=1\r\nSame=2\r\n[PNG]\r\n" + c.png + "\r\n");
    ASSERT_EQ(vexo({"a.bmp"}).report(), (Lines{"[O] a.bmp -> a.png"})) << c.png;
    const std::string out = (work() / "a.png").string();
    int code = 0;
    vexo::test::runCommand("pngcheck -q " + shellQuote(out), &code);
    EXPECT_EQ(code, 0) << c.png;
    const auto bytes = vexo::test::readFile(out);
    const auto file = vexo::test::parsePngFile(bytes);
    EXPECT_EQ(file.colorType, c.colorType) << c.png;
    EXPECT_EQ(file.bitDepth, c.depth) << c.png;
    EXPECT_EQ(file.interlace, c.interlace) << c.png;
    ASSERT_GT(file.idat.size(), 2u) << c.png;
    EXPECT_EQ(c.zlevel < 0 ? (file.idat[2] & 6) : file.idat[1] >> 6, c.zlevel < 0 ? 0 : c.zlevel)
        << c.png;
    if (c.filter >= 0) {
      const auto rowBytes = (std::size_t(w) * (c.colorType == 2 ? 3 : 1) * c.depth + 7) / 8;
      EXPECT_EQ(file.filterBytes(rowBytes), std::vector<int>(std::size_t(h), c.filter)) << c.png;
    }
    if (!c.textChunk.empty()) {
      const auto* text = file.find(c.textChunk);
      ASSERT_NE(text, nullptr) << c.png;
      EXPECT_EQ(std::string(text->data.begin(), text->data.begin() + 8),
                std::string("Comment\0", 8));
      const std::string comment = c.png.substr(c.png.rfind("Text=") + 5);
      EXPECT_EQ(vexo::test::runCommand("exiftool -s3 -Comment " + shellQuote(out)), comment + "\n");
    }
    const auto decoded = vexo::test::decodeWithLibpng(bytes);
    ASSERT_TRUE(decoded.ok()) << c.png << ": " << decoded.error;
    std::set<std::uint32_t> colours;
    int worst = 0;
    const std::size_t keyAt = bottomLeft / 3 * 4;
    for (std::size_t i = 0, j = 0; i < source.size(); i += 3, j += 4) {
      const std::uint8_t* px = &decoded.rgba[j];
      colours.insert(px[0] | px[1] << 8 | px[2] << 16);
      for (int k = 0; k < 3; ++k) {
        const int want = c.tolerance < 0 ? gray(&source[i]) : source[i + std::size_t(k)];
        worst = std::max(worst, std::abs(px[k] - want));
      }
      const bool key = c.keyed && std::equal(px, px + 3, &decoded.rgba[keyAt]);
      ASSERT_EQ(px[3], key ? 0 : 255) << c.png << " at " << i / 3;
    }
    EXPECT_LE(colours.size(), c.maxColours) << c.png;
    EXPECT_LE(worst, std::max(c.tolerance, 0)) << c.png;
  }
}

TEST_F(Vexo, PngInputDrawsOverWhiteAndBrokenFilesLeaveNothing) {
  const fs::path suite = fs::path(VEXO_CORPUS_DIR) / "png" / "pngsuite";
  fs::create_directory(work() / "in");
  for (const auto* name : {"basn6a08.png", "tbbn3p08.png", "basi0g02.png", "xcrn0g04.png",
                           "xhdn0g08.png", "xdtn0g01.png"})
    fs::copy_file(suite / name, work() / "in" / name);
  settings("[Options]\r\nImageType=1\r\nReport=1\r\n");
  const Result r = vexo({"in"});
  EXPECT_EQ(r.report(),
            (Lines{"[O] basi0g02.png -> basi0g02.bmp", "[O] basn6a08.png -> basn6a08.bmp",
                   "[O] tbbn3p08.png -> tbbn3p08.bmp", "[X] xcrn0g04.png", "[X] xdtn0g01.png",
                   "[X] xhdn0g08.png"}));
  // The reason of each failure is the reader's message.
  for (const auto* message : {"invalid header", "contains no data", "(crc error)"})
    EXPECT_NE(r.err.find(message), std::string::npos) << message << "\n" << r.err;
  for (const auto* name : {"basi0g02", "basn6a08", "tbbn3p08"}) {
    const auto png = vexo::test::readFile((suite / (std::string(name) + ".png")).string());
    vexo::TPNGObject image;  // for the gamma table of the file's gAMA chunk
    image.loadFromMemory(png);
    int w = 0, h = 0;
    EXPECT_EQ(vexo::test::pillowRgb((work() / "in" / (std::string(name) + ".bmp")).string(), w, h),
              vexo::test::overWhite(vexo::test::decodeWithLibpng(png), image.GammaTable().data()))
        << name;
  }
  EXPECT_EQ(listing(work() / "in").size(), 9u);
}

// RGBA bytes of the first frame as Pillow decodes it.
std::string pillowRgba(const fs::path& file) {
  return vexo::test::runCommand(
      "/usr/bin/python3 -c \"import sys;from PIL import Image;"
      "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGBA').tobytes())\" " +
      shellQuote(file.string()) + " 2>/dev/null");
}

TEST_F(Vexo, GifOutputFollowsTheSettings) {
  image("a.bmp", 37, 23);
  vexo::Bitmap source = vexo::LoadWorkingBitmap(
      vexo::TImages().ClassAt(vexo::TImages().IndexOf(".bmp")), (work() / "a.bmp").string());
  // Each case: the "GIF" settings and the reduction they stand for.
  struct Case {
    std::string gif;
    int method, engine, bits;
    bool keyed = false;
  };
  const std::vector<Case> cases = {
      {"", vexo::kReduceNetscape, vexo::kDitherNearest, 8},
      {"Palette=0\r\nCompress=1", vexo::kReduceWindows20, vexo::kDitherNearest, 8},
      {"Palette=6\r\nColor=1", vexo::kReduceOptimized, vexo::kDitherNearest, 4},
      {"Palette=7\r\nDither=0", vexo::kReduceOptimizedWindows, vexo::kDitherFloydSteinberg, 8},
      {"Palette=3\r\nDither=0\r\nError=4", vexo::kReduceMonochrome, vexo::kDitherSteveArche, 8},
      {"Dither=0\r\nError=5\r\nUseTrans=1\r\nCompress=1", vexo::kReduceNetscape,
       vexo::kDitherBurkes, 8, true},
  };
  const std::uint8_t* key = source.row(source.height() - 1);
  for (const auto& c : cases) {
    settings("[Options]\r\nImageType=3\r\nReport=1\r\nSame=2\r\n[GIF]\r\n" + c.gif + "\r\n");
    ASSERT_EQ(vexo({"a.bmp"}).report(), (Lines{"[O] a.bmp -> a.gif"})) << c.gif;
    const vexo::Bitmap reduced =
        vexo::ConvertToBitmap24(vexo::ReduceToPalette(source, c.method, c.engine, nullptr, c.bits));
    const std::string got = pillowRgba(work() / "a.gif");
    ASSERT_EQ(got.size(), std::size_t(4 * source.width() * source.height())) << c.gif;
    int wrong = 0;
    for (int y = 0, i = 0; y < source.height(); ++y)
      for (int x = 0; x < source.width(); ++x, i += 4) {
        const std::uint8_t* p = reduced.row(y) + 3 * x;
        const bool keyed = c.keyed && std::equal(key, key + 3, source.row(y) + 3 * x);
        const std::string want = {char(p[2]), char(p[1]), char(p[0])};
        wrong += got[i + 3] != (keyed ? '\0' : '\xFF') || (!keyed && got.substr(i, 3) != want);
      }
    EXPECT_EQ(wrong, 0) << c.gif;
  }
}

TEST_F(Vexo, GifInputGivesTheFirstFrameOverWhite) {
  const fs::path corpus = VEXO_CORPUS_DIR;
  for (const auto* s : {"gif/pygif/interlace.gif", "gif/pygif/transparent.gif",
                        "gif/gif-test-suite/animated_transparent_loop.gif",
                        "malformed/gif-wuffs/hippopotamus.interlaced.truncated.gif"})
    fs::copy_file(corpus / s, work() / fs::path(s).filename());
  file("bad.gif", "GIF89a\x01");
  file("text.gif", "not a GIF file at all");
  settings("[Options]\r\nImageType=1\r\nReport=1\r\n");
  const Result r = vexo({"."});
  EXPECT_EQ(r.report(), (Lines{"[O] animated_transparent_loop.gif -> animated_transparent_loop.bmp",
                               "[X] bad.gif",
                               "[O] hippopotamus.interlaced.truncated.gif -> "
                               "hippopotamus.interlaced.truncated.bmp",
                               "[O] interlace.gif -> interlace.bmp", "[X] text.gif",
                               "[O] transparent.gif -> transparent.bmp"}));
  // The truncated file is converted with a warning; the others' reasons are the reader's.
  EXPECT_NE(r.err.find("hippopotamus.interlaced.truncated.gif: Premature end of data"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Invalid GIF signature"), std::string::npos) << r.err;
  for (const auto* name : {"interlace", "transparent", "animated_transparent_loop"}) {
    const std::string rgba = pillowRgba(work() / (std::string(name) + ".gif"));
    std::string overWhite;
    for (std::size_t i = 0; i < rgba.size(); i += 4)
      for (int k = 0; k < 3; ++k) overWhite += rgba[i + 3] ? rgba[i + k] : '\xFF';
    const std::string bmp = pillowRgb(work() / (std::string(name) + ".bmp"));
    EXPECT_EQ(bmp.substr(bmp.find(':') + 1), overWhite) << name;
  }
}

TEST_F(Vexo, MetafileOutputPlaysBackToTheSourcePixels) {
  image("a.bmp", 37, 23);
  for (const char* type : {"4", "5"}) {
    const std::string ext = type[0] == '4' ? ".wmf" : ".emf";
    settings(std::string("[Options]\r\nImageType=") + type + "\r\nReport=1\r\n");
    ASSERT_EQ(vexo({"a.bmp"}).report(), (Lines{"[O] a.bmp -> a" + ext})) << ext;
    settings("[Options]\r\nImageType=1\r\nReport=1\r\nSame=2\r\n");
    ASSERT_EQ(vexo({"a" + ext}).report(), (Lines{"[O] a" + ext + " -> a.bmp"})) << ext;
    fs::remove(work() / ("a" + ext));
  }
  // The last round trip replaced a.bmp by its own playback: compare that with a fresh source.
  image("b.bmp", 37, 23);
  EXPECT_EQ(pillowRgb(work() / "a.bmp"), pillowRgb(work() / "b.bmp"));
}

TEST_F(Vexo, IconOutputFollowsTheSettings) {
  image("a.bmp", 40, 20);
  // The "ICO" settings, then the icon's size (as Pillow reads it), the bits of its image, and
  // Pillow's alpha of the top-left and centre pixels: a 40 × 20 image is never enlarged, so it
  // leaves a transparent margin unless the icon is 16 × 16.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "32x32 1 0 255"},
      {"SizeIndex=1\r\nColors=3", "16x16 24 255 255"},
      {"SizeIndex=4\r\nSize=48\r\nColors=4\r\nStretch=1", "48x48 32 0 255"},
      {"Colors=5\r\nColorCount=16\r\nTrans=1\r\nTransColor=$20000000", "32x32 4 0 255"},
  };
  for (const auto& [ico, want] : cases) {
    settings("[Options]\r\nImageType=6\r\nReport=1\r\nSame=2\r\n[ICO]\r\n" + ico + "\r\n");
    ASSERT_EQ(vexo({"a.bmp"}).report(), (Lines{"[O] a.bmp -> a.ico"})) << ico;
    const auto file = vexo::test::readFile((work() / "a.ico").string());
    ASSERT_GT(file.size(), 22u);
    const std::size_t image =
        file[18] | file[19] << 8 | file[20] << 16 | std::size_t(file[21]) << 24;
    ASSERT_GT(file.size(), image + 16);
    const std::string bits = std::to_string(file[image + 14] | file[image + 15] << 8);
    const std::string pillow = vexo::test::runCommand(
        "/usr/bin/python3 -c \"import sys;from PIL import Image;"
        "a=Image.open(sys.argv[1]).convert('RGBA');w,h=a.size;"
        "print('%dx%d'%a.size,a.getpixel((0,0))[3],a.getpixel((w//2,h//2))[3])\" " +
        shellQuote((work() / "a.ico").string()));
    const std::string size = pillow.substr(0, pillow.find(' '));
    EXPECT_EQ(size + " " + bits + pillow.substr(size.size()), want + "\n") << ico;
  }
}

TEST_F(Vexo, AFileNamedLikeASwitch) {
  settings("[Options]\r\nImageType=1\r\nReport=1\r\n");
  image("-NS.jpg", 6, 6);
  EXPECT_EQ(vexo({"-NS.jpg"}).report(), (Lines{"[O] -NS.jpg -> -NS.bmp"}));
  EXPECT_EQ(vexo({"-NS"}).out, "");  // no such file: the switch turns the report off
}

TEST_F(Vexo, FormatSelectionAnswers) {
  settings("[Options]\r\nImageType=7\r\nReport=1\r\nSame=0\r\n");
  for (auto n : {"a", "b", "c"}) image(std::string(n) + ".jpg", 5, 5);
  // "All" on the first file: no further question, every file uses that choice.
  Result r = vexo({"a.jpg", "b.jpg", "c.jpg"}, "format all 1\n");
  EXPECT_EQ(r.report(), (Lines{"[O] a.jpg -> a.bmp", "[O] b.jpg -> b.bmp", "[O] c.jpg -> c.bmp"}));
  EXPECT_EQ(r.err.find("? format b.jpg"), std::string::npos);
  // Skip leaves the file out of the report; cancel ends the run.
  r = vexo({"a.jpg", "b.jpg", "c.jpg"}, "format skip\nformat ok 1\nformat cancel\n");
  EXPECT_EQ(r.report(), (Lines{"[O] b.jpg -> b_1.bmp"}));
}

TEST_F(Vexo, StopIsHandledAtTheNextFile) {
  settings("[Options]\r\nImageType=1\r\nReport=1\r\nSame=0\r\n");
  for (auto n : {"a", "b", "c", "d"}) image(std::string(n) + ".jpg", 5, 5);
  Result r = vexo({"a.jpg", "b.jpg", "c.jpg", "d.jpg"}, "stop 2\n");
  EXPECT_EQ(r.report(), (Lines{"[O] a.jpg -> a.bmp", "[O] b.jpg -> b.bmp"}));
  EXPECT_NE(r.err.find("> c.jpg\n? stop"), std::string::npos) << r.err;
  r = vexo({"a.jpg", "b.jpg", "c.jpg", "d.jpg"}, "stop 2\nstop-confirm no\n");
  EXPECT_EQ(r.report().size(), 4u);
}

TEST_F(Vexo, NamesThatAreNotUtf8) {
  settings("[Options]\r\nImageType=1\r\nReport=1\r\n");
  image("x.jpg", 5, 5);
  fs::rename(work() / "x.jpg", work() / "\x83\x65\x83\x58\x83\x67.jpg");  // Shift_JIS テスト
  image("y.jpg", 5, 5);
  fs::rename(work() / "y.jpg", work() / "y\xFF.jpg");
  const Result r = vexo({"."});
  EXPECT_EQ(r.report(),
            (Lines{"[O] y\xEF\xBF\xBD.jpg -> y\xEF\xBF\xBD.bmp", "[O] テスト.jpg -> テスト.bmp"}));
  EXPECT_TRUE(fs::exists(work() / "\x83\x65\x83\x58\x83\x67.bmp"));
  EXPECT_TRUE(fs::exists(work() / "y\xFF.bmp"));
}

TEST_F(Vexo, MissingFilesAndEmptyRuns) {
  settings("[Options]\r\nImageType=1\r\nReport=1\r\n");
  Result r = vexo({"gone.bmp", "/S", "/nowhere/Picturs/a.jpg"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.report(), (Lines{"[X] gone.bmp", "[X] a.jpg"}));
  r = vexo({"-s"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(Vexo, LongOptions) {
  Result r = vexo({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("vexo ", 0), 0u);
  r = vexo({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("Usage"), std::string::npos);
  EXPECT_NE(r.out.find("使い方"), std::string::npos);
  r = vexo({"--no-such-option"});
  EXPECT_EQ(r.exitCode, 2);
  // Settings mode in the terminal tells where the settings live.
  r = vexo({"--console"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find((root_ / "config" / "vexo" / "Vexo.ini").string()), std::string::npos);
}

// Without a display the options dialog cannot open: the run says so and goes on as if it had
// been cancelled, with the settings and switches it had.
TEST_F(Vexo, DialogWithoutADisplayGoesOnWithTheRun) {
  settings("[Options]\r\nImageType=1\r\nShowDlg=1\r\n");
  image("a.jpg", 8, 8);
  const Result r = vexo({"-gp", "-s", "a.jpg"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.report(), (Lines{"[O] a.jpg -> a.png"}));
  EXPECT_NE(r.err.find("the options dialog needs a display"), std::string::npos) << r.err;
  EXPECT_NE(vexo({"-D", "--gui", "a.jpg"}).err.find("the dialogs need a display"),
            std::string::npos);
}

TEST_F(Vexo, MemoryLimitRefusesLargeImages) {
  settings("[Options]\r\nImageType=1\r\nReport=1\r\n");
  image("big.jpg", 1200, 1000);
  EXPECT_EQ(vexo({"--memory-limit=1", "big.jpg"}).report(), (Lines{"[X] big.jpg"}));
  EXPECT_EQ(vexo({"--memory-limit=8", "big.jpg"}).report(), (Lines{"[O] big.jpg -> big.bmp"}));
}

// A run on several workers writes what the one-file-at-a-time run writes: the same report, the
// same questions and messages in the same order, the same files with the same bytes. The folder
// mixes every input format, a failing and an unsupported file, outputs that exist already, a
// source that an earlier file's output replaces (d.bmp writes d.jpg before d.jpg's turn) and a
// missing file that an earlier file creates (extra/m.jpg, written by extra/m.png).
struct ParallelCase {
  std::string name, ini;
  std::vector<std::string> args;
  std::string script;
};
void PrintTo(const ParallelCase& c, std::ostream* os) {
  *os << c.name;
}

class ParallelRun : public Vexo, public ::testing::WithParamInterface<ParallelCase> {
 protected:
  // Every file below the work folder with its bytes.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(work()))
      if (e.is_regular_file()) files[fs::relative(e.path(), work())] = readText(e.path());
    return files;
  }
};

TEST_P(ParallelRun, MatchesTheOneFileAtATimeRun) {
  const fs::path corpus = VEXO_CORPUS_DIR;
  settings("[Options]\r\nReport=1\r\n" + GetParam().ini);
  image("in/a.bmp", 40, 30);
  image("in/b.dib", 20, 10, ",format='BMP'");
  image("in/c.gif", 30, 20);
  image("in/d.bmp", 50, 20, "", ".rotate(90, expand=True)");
  image("in/d.jpg", 30, 30);
  fs::copy_file(corpus / "ico/pillow/hopper.ico", work() / "in/e.ico");
  fs::copy_file(corpus / "emf/libemf2svg/emf/test-125.emf", work() / "in/f.emf");
  fs::copy_file(corpus / "wmf/pillow/drawing.wmf", work() / "in/g.wmf");
  // Exif blocks of two sources: each output carries its own source's.
  fs::copy_file(corpus / "exif/pillow/exif-200dpcm.jpg", work() / "in/k.jpg");
  fs::copy_file(corpus / "exif/pillow/hopper_orientation_5.jpg", work() / "in/l.jpg");
  image("in/h.jpeg", 25, 25);
  image("in/h.jpg", 26, 26);
  image("in/i.png", 640, 480);
  image("in/j.jpg", 1000, 700);
  file("in/broken.jpg", "\xFF\xD8\xFF\xE0 broken");
  file("in/notes.txt", "not an image");
  image("extra/m.png", 12, 9);
  const fs::path seed = root_ / "seed";
  fs::copy(work(), seed, fs::copy_options::recursive);

  std::vector<std::string> args = GetParam().args;
  for (auto a : {"in", "extra/m.png", "extra/m.jpg"}) args.push_back(a);
  auto runWith = [&](const std::string& jobs) {
    fs::remove_all(work());
    fs::copy(seed, work(), fs::copy_options::recursive);
    std::vector<std::string> all = {jobs};
    all.insert(all.end(), args.begin(), args.end());
    return std::pair(vexo(all, GetParam().script), snapshot());
  };
  const auto [one, oneFiles] = runWith("--jobs=1");
  const auto [four, fourFiles] = runWith("--jobs=4");
  EXPECT_EQ(four.exitCode, 0);
  EXPECT_FALSE(one.report().empty());
  EXPECT_EQ(four.report(), one.report());
  EXPECT_EQ(four.err, one.err);
  EXPECT_EQ(fourFiles.size(), oneFiles.size());
  for (const auto& [name, bytes] : oneFiles) {
    const auto found = fourFiles.find(name);
    ASSERT_NE(found, fourFiles.end()) << name;
    EXPECT_TRUE(found->second == bytes) << name << " differs";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, ParallelRun,
    ::testing::Values(
        ParallelCase{"NumberedNames", "Same=0\r\n", {"-gj"}, "overwrite 1\n"},
        ParallelCase{"OverwriteReadsWhatEarlierFilesWrote", "Same=2\r\n", {"-gj"}, ""},
        ParallelCase{"AskedCollisions",
                     "Same=1\r\n",
                     {"-gp"},
                     "overwrite 2\noverwrite 1\noverwrite 3\noverwrite 2\noverwrite 4\n"},
        ParallelCase{"StopAtTheFifthFile", "Same=2\r\n", {"-gb"}, "stop 4\n"},
        ParallelCase{"FormatAskedPerFile",
                     "Same=2\r\n",
                     {"-gx"},
                     "format ok 2\nformat ok 0\nformat skip\nformat ok 3\nformat ok 1\n"
                     "format all 0\n"},
        ParallelCase{"ExifOfEachSource",
                     "Same=0\r\nRotate=1\r\nAngle=-90\r\n[Jpeg]\r\nExif=1\r\nExifThumb=1\r\n",
                     {"-gj"},
                     ""},
        ParallelCase{"SmallMemoryWindow", "Same=2\r\n", {"-gg", "--memory-limit=1"}, ""}),
    [](const auto& p) { return p.param.name; });

}  // namespace

namespace {

// Formats the installed plug-ins add: a file made by the library's own tool from a Pillow
// picture converts to PNG with the pixels of the library's own decoder (or of the source, for
// lossless files). {src} and {out} stand for the paths.
struct PluginFormat {
  std::string name, plugin, file, make, reference;
};
void PrintTo(const PluginFormat& c, std::ostream* os) {
  *os << c.name;
}

std::string fill(std::string command, const fs::path& src, const fs::path& out) {
  for (const auto& [key, value] : {std::pair{"{src}", src}, std::pair{"{out}", out}})
    for (auto at = command.find(key); at != std::string::npos; at = command.find(key))
      command.replace(at, std::string_view(key).size(), shellQuote(value.string()));
  return command;
}

class PluginFormats : public Vexo, public ::testing::WithParamInterface<PluginFormat> {};

TEST_P(PluginFormats, ConvertToTheLibrarysPixels) {
  const PluginFormat& c = GetParam();
  const fs::path plugin = fs::path(VEXO_BINARY).parent_path() / "../lib/vexo/plugins" / c.plugin;
  if (!fs::exists(plugin)) GTEST_SKIP() << plugin << " is not built";
  image("src.png", 67, 45);
  fs::path reference = root_ / "src.png";
  fs::rename(work() / "src.png", reference);
  const fs::path file = work() / c.file;
  ASSERT_EQ(std::system((fill(c.make, reference, file) + " >/dev/null 2>&1").c_str()), 0);
  if (!c.reference.empty()) {
    reference = root_ / "reference.png";
    ASSERT_EQ(std::system((fill(c.reference, file, reference) + " >/dev/null 2>&1").c_str()), 0);
  }
  const Result r = vexo({"-gp", "-s", c.file});
  const fs::path out = fs::path(file).replace_extension(".png");
  EXPECT_EQ(r.report(), (Lines{"[O] " + c.file + " -> " + out.filename().string()})) << r.err;
  EXPECT_TRUE(pillowRgb(out) == pillowRgb(reference)) << "pixels differ";
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, PluginFormats,
    ::testing::Values(
        PluginFormat{"Heic", "ifheif.spi", "a.heic", "heif-enc -q 80 -o {out} {src}",
                     "heif-convert {src} {out}"},
        PluginFormat{"WebpLossy", "ifwebp.spi", "a.webp", "cwebp -q 80 {src} -o {out}",
                     "dwebp {src} -o {out}"},
        PluginFormat{"WebpLossless", "ifwebp.spi", "b.WEBP", "cwebp -lossless {src} -o {out}", ""},
        PluginFormat{"TiffLzw", "iftiff.spi", "a.tif", "/usr/bin/convert {src} -compress lzw {out}",
                     ""},
        PluginFormat{"TiffZipTiled", "iftiff.spi", "b.tiff",
                     "/usr/bin/convert {src} -compress zip -define tiff:tile-geometry=16x16 {out}",
                     ""}),
    [](const auto& p) { return p.param.name; });

// A plug-in that lacks GetPluginInfo ends the run before any file, with its message.
TEST_F(Vexo, PluginWithoutItsFunctionsEndsTheRun) {
  const fs::path plugins = root_ / "plugins";
  fs::create_directories(plugins);
  fs::copy_file(VEXO_TEST_SPI_DIR "/noinfo.spi", plugins / "noinfo.spi");
  image("a.png", 5, 5);
  ::setenv("SUSIE_PLUGIN_PATH", plugins.c_str(), 1);
  const Result r = vexo({"-gb", "a.png"});
  ::unsetenv("SUSIE_PLUGIN_PATH");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "vexo: GetPluginInfoは[" + (plugins / "noinfo.spi").string() +
                       "]では使えないSusie Plugin APIです\n");
  EXPECT_EQ(listing(work()), (Lines{"a.png"}));
}

// The README's example plug-in, as it stands there, builds with the C compiler against the public
// header alone and reads PPM files to Pillow's pixels.
TEST_F(Vexo, ReadmeExamplePluginReadsPpm) {
  const std::string source = VEXO_SOURCE_DIR "/plugins/example/ifppm.c";
  EXPECT_NE(readText(VEXO_SOURCE_DIR "/README.md").find(readText(source)), std::string::npos)
      << "the README shows another ifppm.c";
  const fs::path plugins = root_ / "plugins";
  fs::create_directories(plugins);
  const std::string cc = "cc -shared -fPIC -std=c11 -Wall -Wextra -Werror -I" +
                         shellQuote(VEXO_SOURCE_DIR "/include") + " " + shellQuote(source) +
                         " -o " + shellQuote((plugins / "ifppm.spi").string());
  ASSERT_EQ(std::system(cc.c_str()), 0) << cc;
  image("a.ppm", 37, 21);
  ::setenv("SUSIE_PLUGIN_PATH", plugins.c_str(), 1);
  const Result r = vexo({"-gp", "-s", "a.ppm"});
  ::unsetenv("SUSIE_PLUGIN_PATH");
  EXPECT_EQ(r.report(), (Lines{"[O] a.ppm -> a.png"})) << r.err;
  EXPECT_TRUE(pillowRgb(work() / "a.png") == pillowRgb(work() / "a.ppm"));
}

// Data that replaces an existing file is flushed before the rename that puts it in place; an
// output under a new name is linked in without a flush.
TEST_F(Vexo, ReplacementIsFlushedBeforeItTakesTheOldFilesPlace) {
  if (std::system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "strace is not installed";
  const fs::path trace = tracedOverwrite("fsync,fdatasync,rename,renameat,renameat2,link,linkat");
  // Each name given, and whether a flush came before it since the previous one.
  std::map<std::string, bool> flushedBefore;
  bool flushed = false;
  for (const std::string& line : lines(readText(trace))) {
    if (line.find("sync(") != std::string::npos && line.find("= 0") != std::string::npos)
      flushed = true;
    if ((line.find("rename") == std::string::npos && line.find("link") == std::string::npos) ||
        line.find("= 0") == std::string::npos)
      continue;
    const auto quote = line.rfind('"', line.rfind('"') - 1);
    const std::string target = line.substr(quote + 1, line.rfind('"') - quote - 1);
    if (fs::path(target).filename().string().starts_with(".vexo-")) continue;  // on the way
    flushedBefore[fs::path(target).filename()] = flushed;
    flushed = false;
  }
  EXPECT_TRUE(flushedBefore.count("a.png") && flushedBefore["a.png"]) << readText(trace);
  EXPECT_TRUE(flushedBefore.count("b.png") && !flushedBefore["b.png"]) << readText(trace);
  EXPECT_EQ(readText(work() / "a.png").substr(1, 3), "PNG");
}

// A run killed at random points over large files, again and again: every source stays as it
// was, every output present is complete, and nothing else is left in the folder.
TEST_F(Vexo, KilledRunsLeaveSourcesIntactAndNoLeftovers) {
  settings("[Options]\r\nSame=2\r\n");  // each round replaces the outputs of the last
  image("a.bmp", 2400, 1600);
  for (const char* name : {"b.bmp", "c.bmp", "d.bmp"})
    fs::copy_file(work() / "a.bmp", work() / name);
  const std::string source = readText(work() / "a.bmp");
  const std::string pixels = pillowRgb(work() / "a.bmp");
  std::mt19937 random(20261210);
  for (int round = 0; round < 6; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::setpgid(0, 0);
      const std::string cmd = "cd " + shellQuote(work().string()) +
                              " && XDG_CONFIG_HOME=" + shellQuote((root_ / "config").string()) +
                              " exec " + shellQuote(VEXO_BINARY) +
                              " -gp . </dev/null >/dev/null 2>&1";
      ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::usleep(std::uniform_int_distribution<useconds_t>(50'000, 900'000)(random));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    for (const auto& name : listing(work())) {
      const fs::path file = work() / name;
      if (file.extension() == ".bmp") {
        EXPECT_TRUE(readText(file) == source) << name << " changed in round " << round;
      } else {
        ASSERT_EQ(file.extension(), ".png") << "left behind in round " << round << ": " << name;
        EXPECT_TRUE(pillowRgb(file) == pixels) << name << " incomplete in round " << round;
      }
    }
  }
}

// A target folder the user cannot write to, and a full disk: the file fails with its line, and
// nothing is written or left behind.
TEST_F(Vexo, UnwritableFolderAndFullDiskFailTheFileAndLeaveNothing) {
  image("a.png", 1000, 1000);
  const std::vector<std::string> before = listing(work());
  if (::geteuid() != 0) {
    fs::permissions(work(), fs::perms::owner_write, fs::perm_options::remove);
    const Result r = vexo({"-gb", "-s", "a.png"});
    fs::permissions(work(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(r.report(), (Lines{"[X] a.png"})) << r.err;
    EXPECT_EQ(listing(work()), before);
  } else {
    std::cout << "read-only folder: skipped, root writes anywhere\n";
  }
  const fs::path small = root_ / "small";
  fs::create_directories(small);
  if (std::system(("mount -t tmpfs -o size=1m tmpfs " + shellQuote(small.string()) + " 2>/dev/null")
                      .c_str()) != 0) {
    std::cout << "full disk: skipped, a tmpfs cannot be mounted here\n";
    return;
  }
  fs::copy_file(work() / "a.png", small / "a.png");
  const std::string source = readText(small / "a.png");
  for (const bool named : {false, true}) {  // an unnamed output file, then the named fallback
    wrapper_ = named ? withoutUnnamedFiles() : "";
    const Result r = vexo({"-gb", "-s", (small / "a.png").string()});  // 3 MB do not fit in 1 MB
    EXPECT_EQ(r.report(), (Lines{"[X] a.png"})) << named << r.err;
    EXPECT_EQ(listing(small), (Lines{"a.png"})) << named;
    EXPECT_TRUE(readText(small / "a.png") == source);
  }
  std::system(("umount " + shellQuote(small.string())).c_str());
}

// Where the file system has no unnamed files, each output is written to a hidden named file
// and renamed into place: without replacing for a new name, over the old file when replacing.
TEST_F(Vexo, WithoutUnnamedFilesAHiddenFileIsRenamedIntoPlace) {
  if (std::system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "strace is not installed";
  const fs::path trace =
      tracedOverwrite("rename,renameat,renameat2,link,linkat", withoutUnnamedFiles());
  Lines renames;
  for (const std::string& line : lines(readText(trace))) {
    if (line.find("= 0") == std::string::npos) continue;
    // "pid call(..., "from", ..., "to"...) = 0", the pid padded to five places: the call and
    // the name it gave, when it named the file from a hidden one.
    const auto call = line.find_first_not_of(' ', line.find(' ')), open = line.find('(');
    const auto close = line.rfind('"'), start = line.rfind('"', close - 1) + 1;
    if (line.find("/.vexo-") != std::string::npos || line.find("\".vexo-") != std::string::npos)
      renames.push_back(line.substr(call, open - call) + " " +
                        fs::path(line.substr(start, close - start)).filename().string());
    else if (line.find("link") != std::string::npos)
      renames.push_back("unexpected: " + line);
  }
  EXPECT_EQ(renames, (Lines{"rename a.png", "renameat2 b.png", "rename Vexo.ini"}))
      << readText(trace);
  EXPECT_EQ(listing(work()), (Lines{"a.bmp", "a.png", "b.bmp", "b.png"}));
  EXPECT_TRUE(pillowRgb(work() / "a.png") == pillowRgb(work() / "a.bmp"));
}

// Damaged JPEG data converts as libjpeg decodes it, and libjpeg's warning (the first line djpeg
// prints) goes to stderr with the file's name.
TEST_F(Vexo, DamagedJpegConvertsWithLibjpegsWarning) {
  image("whole.jpg", 64, 48);
  const std::string whole = readText(work() / "whole.jpg");
  file("cut.jpg", whole.substr(0, whole.size() * 4 / 5));
  // Bytes between the JFIF segment and the next marker.
  file("junk.jpg", whole.substr(0, 20) + "junk" + whole.substr(20));
  fs::remove(work() / "whole.jpg");
  const Result r = vexo({"--jobs=1", "-gp", "-s", "cut.jpg", "junk.jpg"});
  EXPECT_EQ(r.report(), (Lines{"[O] cut.jpg -> cut.png", "[O] junk.jpg -> junk.png"})) << r.err;
  for (const std::string name : {"cut.jpg", "junk.jpg"}) {
    const std::string djpeg = "djpeg " + shellQuote((work() / name).string()) + " 2>" +
                              shellQuote((root_ / "djpeg.txt").string()) + " >/dev/null";
    std::system(djpeg.c_str());
    const std::string warning = lines(readText(root_ / "djpeg.txt")).at(0);
    EXPECT_NE(r.err.find("vexo: " + name + ": " + warning), std::string::npos) << r.err;
  }
}

}  // namespace
