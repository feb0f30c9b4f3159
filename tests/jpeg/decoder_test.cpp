// The JPEG decoder, checked against djpeg with the float inverse DCT and replicated chroma
// (-dct float -nosmooth), which is the same decoding up to rounding, on files cjpeg makes with
// every sampling, restart and scan layout, on the corpus's baseline files, and on hand-made
// streams whose coefficients are known exactly.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "input/jpeg_reader.h"
#include "jpeg/dct.h"
#include "jpeg/jpeg_ex.h"
#include "support/reference.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::runCommand;
using test::shellQuote;

const fs::path kCorpus = VEXO_CORPUS_DIR;

template <class F>
std::string jpegError(F&& f) {
  try {
    f();
  } catch (const EJpegEx& e) {
    return e.what();
  }
  return "";
}

struct Rgb {
  int width = 0, height = 0;
  Bytes pixels;  // top-down R, G, B
};

Rgb decodeOurs(const Bytes& data) {
  TJpegEx j;
  j.loadFromMemory(data);
  j.Decode();
  return {j.bitmap()->width(), j.bitmap()->height(), test::bitmapRgb(*j.bitmap())};
}

// djpeg with the float IDCT and no fancy upsampling; exitCode 0 clean, 2 after warnings.
Rgb djpeg(const std::string& file, int* exitCode) {
  const test::Pnm pnm = test::djpeg(file, "-dct float -nosmooth", exitCode);
  return {pnm.width, pnm.height, pnm.rgb()};
}

// A picture with gradients, edges and noise, as a binary PPM.
Bytes testPpm(int width, int height) {
  std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  Bytes out(header.begin(), header.end());
  std::mt19937 random(static_cast<unsigned>(width * 1000 + height));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int noise = static_cast<int>(random() % 41) - 20;
      const bool edge = (x / 7 + y / 5) % 3 == 0;
      out.insert(
          out.end(),
          {static_cast<std::uint8_t>(std::clamp(x * 255 / std::max(1, width - 1) + noise, 0, 255)),
           static_cast<std::uint8_t>(edge ? 230 : 40 + (x * y) % 90),
           static_cast<std::uint8_t>(
               std::clamp(255 - y * 255 / std::max(1, height - 1) - noise, 0, 255))});
    }
  return out;
}

// ---- Against djpeg -----------------------------------------------------------------------------

struct CjpegCase {
  std::string options;
  int width, height;       // 0: the corpus photo
  std::string scans = "";  // a -scans script, when not empty
};

void PrintTo(const CjpegCase& c, std::ostream* os) {
  *os << "cjpeg " << c.options << " at " << c.width << "x" << c.height
      << (c.scans.empty() ? "" : " with scans");
}

class AgainstDjpeg : public ::testing::TestWithParam<CjpegCase> {};

TEST_P(AgainstDjpeg, WithinTwoLevels) {
  const CjpegCase& c = GetParam();
  test::TempDir dir;
  const std::string source = dir.file("in.ppm"), file = dir.file("out.jpg");
  if (c.width == 0) {
    int code = -1;
    const std::string ppm =
        runCommand("/usr/bin/djpeg -ppm " +
                       shellQuote((kCorpus / "jpeg/wuffs/hibiscus.regular.jpeg").string()),
                   &code);
    ASSERT_EQ(code, 0);
    test::writeFile(source, Bytes(ppm.begin(), ppm.end()));
  } else {
    test::writeFile(source, testPpm(c.width, c.height));
  }
  std::string options = c.options;
  if (!c.scans.empty()) {
    test::writeFile(dir.file("scans.txt"), Bytes(c.scans.begin(), c.scans.end()));
    options += " -scans " + shellQuote(dir.file("scans.txt"));
  }
  int code = -1;
  runCommand(
      "/usr/bin/cjpeg " + options + " -outfile " + shellQuote(file) + " " + shellQuote(source),
      &code);
  ASSERT_EQ(code, 0) << options;
  const Bytes data = test::readFile(file);
  ASSERT_GE(data.size(), 4u);

  const Rgb theirs = djpeg(file, &code);
  ASSERT_EQ(code, 0);
  const Rgb ours = decodeOurs(data);
  ASSERT_EQ(ours.width, theirs.width);
  ASSERT_EQ(ours.height, theirs.height);
  const int diff = test::maxDifference(ours.pixels, theirs.pixels);
  std::printf("%-40s %3dx%-3d max difference %d\n",
              (options.empty() ? "(defaults)" : c.options).c_str(), ours.width, ours.height, diff);
  EXPECT_LE(diff, 2);
}

const std::string kEachComponent = "0;\n1;\n2;\n";
const std::string kLumaThenChroma = "0;\n1 2;\n";
const std::string kTwoThenOne = "0 1;\n2;\n";

INSTANTIATE_TEST_SUITE_P(
    Cjpeg, AgainstDjpeg,
    ::testing::Values(
        CjpegCase{"-sample 2x2", 17, 9}, CjpegCase{"-sample 2x2", 1, 1},
        CjpegCase{"-sample 2x2", 33, 65}, CjpegCase{"-sample 2x1", 17, 9},
        CjpegCase{"-sample 2x1", 33, 65}, CjpegCase{"-sample 1x1", 17, 9},
        CjpegCase{"-sample 1x1", 1, 1}, CjpegCase{"-sample 1x1", 33, 65},
        CjpegCase{"-sample 1x2", 33, 65}, CjpegCase{"-sample 4x1", 45, 20},
        CjpegCase{"-sample 1x4", 20, 45}, CjpegCase{"-sample 3x1", 50, 10},
        CjpegCase{"-sample 4x2", 70, 35}, CjpegCase{"-sample 2x2,1x1,2x2", 33, 33},
        CjpegCase{"-sample 2x2,2x1,1x2", 40, 24}, CjpegCase{"-grayscale", 17, 9},
        CjpegCase{"-grayscale", 1, 1}, CjpegCase{"-grayscale -sample 2x2", 33, 65},
        CjpegCase{"-restart 1", 33, 65}, CjpegCase{"-restart 3B", 33, 65},
        CjpegCase{"-restart 1B -sample 1x1", 17, 9}, CjpegCase{"-restart 2B -grayscale", 33, 65},
        CjpegCase{"-quality 100", 64, 48}, CjpegCase{"-quality 5 -baseline", 64, 48},
        CjpegCase{"-optimize", 64, 48}, CjpegCase{"-rgb", 33, 17},
        CjpegCase{"-rgb -sample 1x1", 33, 17}, CjpegCase{"-sample 2x2", 33, 65, kEachComponent},
        CjpegCase{"-sample 2x1 -optimize", 45, 31, kLumaThenChroma},
        CjpegCase{"-sample 1x1 -restart 2B", 30, 20, kTwoThenOne},
        CjpegCase{"-sample 2x2 -restart 5B -optimize", 50, 50, kEachComponent},
        CjpegCase{"-grayscale -sample 2x2", 19, 27, "0;\n"}, CjpegCase{"-sample 2x2", 0, 0},
        CjpegCase{"-sample 2x1 -restart 2", 0, 0}, CjpegCase{"-sample 1x1 -quality 95", 0, 0},
        CjpegCase{"-sample 2x2 -optimize", 0, 0, kLumaThenChroma}),
    [](const auto& p) {
      const CjpegCase& c = p.param;
      return test::TestName(c.options) + "_" +
             (c.width ? std::to_string(c.width) + "x" + std::to_string(c.height) : "photo") +
             (c.scans.empty() ? "" : "_scans" + std::to_string(p.index));
    });

// The first frame marker of the data, by walking the segment lengths.
int frameMarker(const Bytes& d) {
  std::size_t p = 2;
  while (p + 4 <= d.size() && d[p] == 0xFF) {
    const int m = d[p + 1];
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) return m;
    if (m == 0xDA) return 0;
    p += 2 + (d[p + 2] << 8 | d[p + 3]);
  }
  return 0;
}

bool hasSegment(const Bytes& d, int marker) {
  std::size_t p = 2;
  while (p + 4 <= d.size() && d[p] == 0xFF && d[p + 1] != 0xDA) {
    if (d[p + 1] == marker) return true;
    p += 2 + (d[p + 2] << 8 | d[p + 3]);
  }
  return false;
}

// Four components, or chroma factors that do not divide the luminance factors.
bool unsupportedLayout(const Bytes& d) {
  std::size_t p = 2;
  while (p + 4 <= d.size() && d[p] == 0xFF && d[p + 1] != 0xC0) p += 2 + (d[p + 2] << 8 | d[p + 3]);
  if (p + 10 > d.size()) return false;
  const int count = d[p + 9];
  if (count == 4) return true;
  if (p + 10 + 3 * static_cast<std::size_t>(count) > d.size()) return false;
  const int h1 = d[p + 11] >> 4, v1 = d[p + 11] & 15;
  for (int i = 1; i < count; ++i) {
    const int f = d[p + 11 + 3 * i];
    if ((f >> 4) == 0 || (f & 15) == 0 || h1 % (f >> 4) != 0 || v1 % (f & 15) != 0) return true;
  }
  return false;
}

TEST(DecoderCorpus, BaselineFilesAgainstDjpeg) {
  int compared = 0, worst = 0;
  for (const auto& file : test::filesBelow((kCorpus / "jpeg").string())) {
    const std::string ext = fs::path(file).extension().string();
    if (ext != ".jpg" && ext != ".jpeg") continue;
    const Bytes data = test::readFile(file);
    if (data.size() < 4 || frameMarker(data) != 0xC0) continue;
    int code = -1;
    const Rgb theirs = djpeg(file, &code);
    if (code != 0 || theirs.width == 0) continue;
    // The files this decoder refuses by design, for a reason visible in their headers.
    const bool endsWithEoi = data[data.size() - 2] == 0xFF && data.back() == 0xD9;
    const bool appOrCommentSecond = data[2] == 0xFF && data[3] >= 0xE0 && data[3] <= 0xFE;
    TJpegEx j;
    try {
      j.loadFromMemory(data);
      j.Decode();
    } catch (const EJpegEx& e) {
      const std::string why = e.what();
      const bool explained =
          (why == kJpegOpenFailed && !endsWithEoi) ||
          (why == kJpegInvalid && (!appOrCommentSecond || !hasSegment(data, 0xC4))) ||
          (why == kJpegUnsupported && unsupportedLayout(data));
      EXPECT_TRUE(explained) << file << ": " << why;
      std::printf("refused %-60s %s\n", fs::path(file).filename().c_str(), why.c_str());
      continue;
    }
    const Rgb ours{j.bitmap()->width(), j.bitmap()->height(), test::bitmapRgb(*j.bitmap())};
    ASSERT_EQ(ours.width, theirs.width) << file;
    ASSERT_EQ(ours.height, theirs.height) << file;
    const int diff = test::maxDifference(ours.pixels, theirs.pixels);
    std::printf("%-60s %4dx%-4d max difference %d\n", fs::path(file).filename().c_str(), ours.width,
                ours.height, diff);
    EXPECT_LE(diff, 2) << file;
    worst = std::max(worst, diff);
    ++compared;
  }
  std::printf("%d corpus files compared, worst difference %d\n", compared, worst);
  EXPECT_GE(compared, 30);
}

TEST(DecoderCorpus, ProgressiveGoesThroughLibjpeg) {
  for (const char* name : {"jpeg/wuffs/peacock.progressive.jpeg", "jpeg/pillow/app13-multiple.jpg",
                           "jpeg/image-rs/progressive/test.jpg"}) {
    const Bytes data = test::readFile((kCorpus / name).string());
    TJpegEx j;
    try {
      j.loadFromMemory(data);
    } catch (const EJpegEx& e) {
      // A file whose second marker is not APPn is refused before any decoding.
      EXPECT_STREQ(e.what(), kJpegInvalid) << name;
      EXPECT_FALSE(data[3] >= 0xE0 && data[3] <= 0xFE) << name;
      continue;
    }
    const int w = j.width(), h = j.height();
    j.Decode();
    const Bitmap reference = DecodeJpegWithLibjpeg(data, DecodeLimits::defaults());
    EXPECT_EQ(j.bitmap()->width(), w) << name;
    EXPECT_EQ(j.bitmap()->height(), h) << name;
    EXPECT_EQ(test::bitmapRgb(*j.bitmap()), test::bitmapRgb(reference)) << name;
  }
}

// ---- Hand-made streams --------------------------------------------------------------------------

// Writes baseline JPEG data from quantised coefficients with quantisation tables of ones, so the
// coefficients the decoder sees are exactly the ones given. DC symbols have 4-bit codes, AC
// symbols (end of block, ZRL, then run × 16 + size for every run and size 1..10) 8-bit codes.
class Crafter {
 public:
  struct Component {
    int id, h, v;
  };
  using Block = std::array<int, 64>;  // natural order

  Crafter(int width, int height, std::vector<Component> components, int restart = 0)
      : width_(width), height_(height), components_(std::move(components)), restart_(restart) {
    acSymbols_ = {0x00, 0xF0};
    for (int run = 0; run < 16; ++run)
      for (int size = 1; size <= 10; ++size) acSymbols_.push_back(run << 4 | size);
    for (std::size_t i = 0; i < acSymbols_.size(); ++i)
      acCode_[acSymbols_[i]] = static_cast<int>(i);
  }

  // block(component, block column, block row) gives the coefficients of each block.
  template <class F>
  Bytes make(F&& block) {
    Bytes out{0xFF, 0xD8};
    segment(out, 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    Bytes dqt(65, 1);
    dqt[0] = 0;
    segment(out, 0xDB, dqt);
    int h1 = 1, v1 = 1;
    for (const auto& c : components_) h1 = std::max(h1, c.h), v1 = std::max(v1, c.v);
    Bytes sof{8,
              static_cast<std::uint8_t>(height_ >> 8),
              static_cast<std::uint8_t>(height_),
              static_cast<std::uint8_t>(width_ >> 8),
              static_cast<std::uint8_t>(width_),
              static_cast<std::uint8_t>(components_.size())};
    for (const auto& c : components_)
      sof.insert(sof.end(),
                 {static_cast<std::uint8_t>(c.id), static_cast<std::uint8_t>(c.h << 4 | c.v), 0});
    segment(out, 0xC0, sof);
    Bytes dht{0x00, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int s = 0; s < 12; ++s) dht.push_back(static_cast<std::uint8_t>(s));
    dht.insert(dht.end(), {0x10, 0, 0, 0, 0, 0, 0, 0, 162, 0, 0, 0, 0, 0, 0, 0, 0});
    for (int s : acSymbols_) dht.push_back(static_cast<std::uint8_t>(s));
    segment(out, 0xC4, dht);
    if (restart_ > 0)
      segment(out, 0xDD,
              {static_cast<std::uint8_t>(restart_ >> 8), static_cast<std::uint8_t>(restart_)});
    Bytes sos{static_cast<std::uint8_t>(components_.size())};
    for (const auto& c : components_) sos.insert(sos.end(), {static_cast<std::uint8_t>(c.id), 0});
    sos.insert(sos.end(), {0, 63, 0});
    segment(out, 0xDA, sos);

    const int mcusX = (width_ + 8 * h1 - 1) / (8 * h1), mcusY = (height_ + 8 * v1 - 1) / (8 * v1);
    const bool single = components_.size() == 1;
    const int total = single ? ((width_ + 7) / 8) * ((height_ + 7) / 8) : mcusX * mcusY;
    std::vector<int> predictors(components_.size(), 0);
    int marker = 0;
    for (int m = 0; m < total; ++m) {
      if (restart_ > 0 && m > 0 && m % restart_ == 0) {
        flush();
        out.insert(out.end(), bits_.begin(), bits_.end());
        bits_.clear();
        out.insert(out.end(), {0xFF, static_cast<std::uint8_t>(0xD0 + marker)});
        marker = (marker + 1) & 7;
        std::fill(predictors.begin(), predictors.end(), 0);
      }
      if (single) {
        const int across = (width_ + 7) / 8;
        encodeBlock(block(0, m % across, m / across), predictors[0]);
        continue;
      }
      for (std::size_t ci = 0; ci < components_.size(); ++ci) {
        const auto& c = components_[ci];
        for (int by = 0; by < c.v; ++by)
          for (int bx = 0; bx < c.h; ++bx)
            encodeBlock(block(static_cast<int>(ci), (m % mcusX) * c.h + bx, (m / mcusX) * c.v + by),
                        predictors[ci]);
      }
    }
    flush();
    out.insert(out.end(), bits_.begin(), bits_.end());
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
  }

 private:
  static void segment(Bytes& out, std::uint8_t marker, const Bytes& body) {
    out.insert(out.end(), {0xFF, marker, static_cast<std::uint8_t>((body.size() + 2) >> 8),
                           static_cast<std::uint8_t>(body.size() + 2)});
    out.insert(out.end(), body.begin(), body.end());
  }
  void put(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      acc_ = acc_ << 1 | ((value >> i) & 1);
      if (++n_ == 8) {
        bits_.push_back(static_cast<std::uint8_t>(acc_));
        if (acc_ == 0xFF) bits_.push_back(0);
        acc_ = 0;
        n_ = 0;
      }
    }
  }
  void flush() {
    while (n_ != 0) put(1, 1);
  }
  static int category(int v) {
    int s = 0;
    for (int a = std::abs(v); a > 0; a >>= 1) ++s;
    return s;
  }
  void putValue(int v, int s) {
    if (s > 0) put(static_cast<std::uint32_t>(v < 0 ? v + (1 << s) - 1 : v), s);
  }
  void putAc(int symbol) { put(static_cast<std::uint32_t>(acCode_[symbol]), 8); }
  void encodeBlock(const Block& b, int& predictor) {
    const int diff = b[0] - predictor;
    predictor = b[0];
    const int s = category(diff);
    put(static_cast<std::uint32_t>(s), 4);
    putValue(diff, s);
    int run = 0;
    for (int k = 1; k < 64; ++k) {
      const int v = b[jpeg::kZigzag[k]];
      if (v == 0) {
        ++run;
        continue;
      }
      for (; run >= 16; run -= 16) putAc(0xF0);
      const int size = category(v);
      putAc(run << 4 | size);
      putValue(v, size);
      run = 0;
    }
    if (run > 0) putAc(0x00);
  }

  int width_, height_;
  std::vector<Component> components_;
  int restart_;
  std::vector<int> acSymbols_;
  std::array<int, 256> acCode_{};
  Bytes bits_;
  std::uint32_t acc_ = 0;
  int n_ = 0;
};

Crafter::Block flatBlock(int level) {
  Crafter::Block b{};
  b[0] = 8 * (level - 128);  // decodes to exactly level everywhere
  return b;
}

std::array<int, 3> pixel(const Bitmap& b, int x, int y) {
  const std::uint8_t* p = b.row(y) + 3 * x;
  return {p[2], p[1], p[0]};
}

TEST(DecoderColour, FlatColours) {
  struct Case {
    int y, cb, cr;
    std::array<int, 3> rgb;
  };
  const Case cases[] = {
      {128, 128, 128, {128, 128, 128}},
      {0, 128, 255, {178, 0, 0}},
      {255, 128, 128, {255, 255, 255}},
      {29, 255, 107, {0, 0, 254}},  // pure blue as the encoder converts it
      {100, 0, 0, {0, 235, 0}},
      {200, 60, 190, {255, 179, 80}},
  };
  for (const Case& c : cases) {
    Crafter crafter(9, 9, {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}});
    const Bytes data = crafter.make([&](int component, int, int) {
      return flatBlock(component == 0 ? c.y : component == 1 ? c.cb : c.cr);
    });
    TJpegEx j;
    j.loadFromMemory(data);
    j.Decode();
    for (auto [x, y] : {std::pair{0, 0}, std::pair{8, 8}, std::pair{4, 7}})
      EXPECT_EQ(pixel(*j.bitmap(), x, y), c.rgb) << c.y << " " << c.cb << " " << c.cr;
  }
}

// Every Cb, Cr pair over a spread of Y values: the decoder's colour conversion must give what
// the double-precision formulas give, rounded half to even.
TEST(DecoderColour, ConversionMatchesTheFormulasExactly) {
  constexpr int kSide = 256;  // blocks across and down: block (x, y) has Cb = x, Cr = y
  std::vector<Crafter::Block> luma(kSide * kSide);
  for (int by = 0; by < kSide; ++by)
    for (int bx = 0; bx < kSide; ++bx) {
      // A ramp through the whole range, shifted from block to block, as coefficients.
      std::array<std::uint8_t, 64> samples{};
      for (int i = 0; i < 64; ++i)
        samples[i] = static_cast<std::uint8_t>((i * 4 + bx + 3 * by) & 255);
      std::array<std::int32_t, 64> f{};
      jpeg::ForwardDct(samples.data(), f.data());
      std::copy(f.begin(), f.end(), luma[by * kSide + bx].begin());
    }
  Crafter crafter(8 * kSide, 8 * kSide, {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}});
  const Bytes data = crafter.make([&](int component, int bx, int by) {
    if (component == 0) return luma[by * kSide + bx];
    return flatBlock(component == 1 ? bx : by);
  });
  TJpegEx j;
  j.loadFromMemory(data);
  j.Decode();
  const Bitmap& b = *j.bitmap();
  auto round = [](double v) { return static_cast<int>(std::clamp(std::nearbyint(v), 0.0, 255.0)); };
  int wrong = 0;
  for (int by = 0; by < kSide; ++by)
    for (int bx = 0; bx < kSide; ++bx) {
      std::array<std::int32_t, 64> f{};
      std::copy(luma[by * kSide + bx].begin(), luma[by * kSide + bx].end(), f.begin());
      std::array<std::uint8_t, 64> y{};
      jpeg::InverseDct(f.data(), y.data());
      const int cb = bx, cr = by;
      for (int i = 0; i < 64; ++i) {
        const double Y = y[i];
        const std::array<int, 3> expected = {round(Y + 1.402 * (cr - 128)),
                                             round(Y - 0.34414 * (cb - 128) - 0.71414 * (cr - 128)),
                                             round(Y + 1.772 * (cb - 128))};
        if (pixel(b, 8 * bx + i % 8, 8 * by + i / 8) != expected && ++wrong < 5)
          ADD_FAILURE() << "Y " << Y << " Cb " << cb << " Cr " << cr;
      }
    }
  EXPECT_EQ(wrong, 0);
}

TEST(DecoderLayout, ChromaCoversItsCellAndPaddingIsCut) {
  // 4:2:0 at 17 × 9: MCUs of 16 × 16, two across; chroma sample (i, j) covers the 2 × 2 cell.
  Crafter crafter(17, 9, {{1, 2, 2}, {2, 1, 1}, {3, 1, 1}});
  const Bytes data = crafter.make([&](int component, int bx, int by) {
    if (component == 0) return flatBlock(128);
    Crafter::Block b{};
    std::array<std::uint8_t, 64> s{};
    for (int i = 0; i < 64; ++i)
      s[i] = static_cast<std::uint8_t>(component == 1 ? 64 + 8 * (i % 8) + bx * 64 : 128);
    std::array<std::int32_t, 64> f{};
    jpeg::ForwardDct(s.data(), f.data());
    std::copy(f.begin(), f.end(), b.begin());
    (void)by;
    return b;
  });
  TJpegEx j;
  j.loadFromMemory(data);
  j.Decode();
  const Bitmap& b = *j.bitmap();
  ASSERT_EQ(b.width(), 17);
  ASSERT_EQ(b.height(), 9);
  for (int y = 0; y < 9; y += 2)
    for (int x = 0; x + 1 < 17; x += 2) {
      EXPECT_EQ(pixel(b, x, y), pixel(b, x + 1, y)) << x << "," << y;
      if (y + 1 < 9) {
        EXPECT_EQ(pixel(b, x, y), pixel(b, x, y + 1)) << x << "," << y;
      }
    }
  EXPECT_NE(pixel(b, 0, 0), pixel(b, 2, 0));
}

TEST(DecoderLayout, GrayIsEqualRedGreenBlue) {
  Crafter crafter(11, 5, {{1, 1, 1}});
  const Bytes data = crafter.make([](int, int bx, int) { return flatBlock(40 + 100 * bx); });
  TJpegEx j;
  j.loadFromMemory(data);
  j.Decode();
  EXPECT_TRUE(j.graySource());
  EXPECT_EQ(pixel(*j.bitmap(), 0, 0), (std::array<int, 3>{40, 40, 40}));
  EXPECT_EQ(pixel(*j.bitmap(), 10, 4), (std::array<int, 3>{140, 140, 140}));
}

TEST(DecoderRestart, MarkersDecodeLikeNoMarkers) {
  test::TempDir dir;
  test::writeFile(dir.file("in.ppm"), testPpm(70, 50));
  auto make = [&](const std::string& options) {
    int code = -1;
    runCommand("/usr/bin/cjpeg " + options + " -outfile " + shellQuote(dir.file("o.jpg")) + " " +
                   shellQuote(dir.file("in.ppm")),
               &code);
    EXPECT_EQ(code, 0);
    return test::readFile(dir.file("o.jpg"));
  };
  const Rgb plain = decodeOurs(make(""));
  for (const char* options : {"-restart 2B", "-restart 1B", "-restart 1", "-restart 7B"}) {
    const Bytes data = make(options);
    const Rgb withMarkers = decodeOurs(data);
    EXPECT_EQ(withMarkers.pixels, plain.pixels) << options;
  }
}

// Restart intervals of one MCU row of a 4:2:0 file; returns the offsets of its RST markers.
std::vector<std::size_t> restartMarkers(const Bytes& d) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i + 1 < d.size(); ++i)
    if (d[i] == 0xFF && d[i + 1] >= 0xD0 && d[i + 1] <= 0xD7) at.push_back(i);
  return at;
}

TEST(DecoderRestart, DamageStaysInsideItsInterval) {
  test::TempDir dir;
  test::writeFile(dir.file("in.ppm"), testPpm(64, 96));
  int code = -1;
  runCommand("/usr/bin/cjpeg -sample 2x2 -restart 1 -outfile " + shellQuote(dir.file("o.jpg")) +
                 " " + shellQuote(dir.file("in.ppm")),
             &code);
  ASSERT_EQ(code, 0);
  const Bytes clean = test::readFile(dir.file("o.jpg"));
  const Rgb reference = decodeOurs(clean);
  const auto markers = restartMarkers(clean);
  ASSERT_EQ(markers.size(), 5u);  // six MCU rows of 16 pixels

  auto rowsDiffer = [&](const Rgb& image, int fromRow, int toRow) {
    const std::size_t stride = 3 * 64;
    for (int y = fromRow; y < toRow; ++y)
      if (!std::equal(image.pixels.begin() + y * stride, image.pixels.begin() + (y + 1) * stride,
                      reference.pixels.begin() + y * stride))
        return true;
    return false;
  };

  // Garbage in the data of interval 2: intervals 0, 1, 3, 4, 5 decode as before.
  Bytes garbage = clean;
  std::mt19937 random(7);
  for (std::size_t i = markers[1] + 2 + 3; i + 3 < markers[2]; ++i)
    garbage[i] = static_cast<std::uint8_t>(random() & 0x7E);  // no code of all ones fits
  const Rgb damaged = decodeOurs(garbage);
  EXPECT_FALSE(rowsDiffer(damaged, 0, 32));
  EXPECT_TRUE(rowsDiffer(damaged, 32, 48));
  EXPECT_FALSE(rowsDiffer(damaged, 48, 96));

  // A lost interval (its data and its marker cut out): the marker numbers place the intervals
  // after it where they belong; the lost one and the one decoded in its place differ.
  Bytes lost(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(markers[1] + 2));
  lost.insert(lost.end(), clean.begin() + static_cast<std::ptrdiff_t>(markers[2] + 2), clean.end());
  const Rgb skipped = decodeOurs(lost);
  EXPECT_FALSE(rowsDiffer(skipped, 0, 32));
  EXPECT_FALSE(rowsDiffer(skipped, 48 + 16, 96));

  // A marker in the middle of an interval: the rest of that interval stays mid-gray and the
  // next interval starts at its place.
  Bytes early = clean;
  const std::size_t middle = (markers[2] + markers[3]) / 2;
  early.erase(early.begin() + static_cast<std::ptrdiff_t>(middle),
              early.begin() + static_cast<std::ptrdiff_t>(markers[3]));
  const Rgb cut = decodeOurs(early);
  EXPECT_FALSE(rowsDiffer(cut, 0, 48));
  EXPECT_FALSE(rowsDiffer(cut, 64, 96));
  EXPECT_EQ((std::array<int, 3>{cut.pixels[3 * (63 * 64 + 63)], cut.pixels[3 * (63 * 64 + 63) + 1],
                                cut.pixels[3 * (63 * 64 + 63) + 2]}),
            (std::array<int, 3>{128, 128, 128}));
}

TEST(DecoderDamage, NeverCrashesOrHangs) {
  test::TempDir dir;
  test::writeFile(dir.file("in.ppm"), testPpm(48, 40));
  std::vector<Bytes> sources;
  for (const char* options :
       {"-restart 1B", "-sample 1x1", "-grayscale -restart 2B", "-optimize -restart 1"}) {
    int code = -1;
    runCommand(std::string("/usr/bin/cjpeg ") + options + " -outfile " +
                   shellQuote(dir.file("o.jpg")) + " " + shellQuote(dir.file("in.ppm")),
               &code);
    ASSERT_EQ(code, 0);
    sources.push_back(test::readFile(dir.file("o.jpg")));
  }
  // Damage inside the scan data gives an image or kJpegInvalid; damage anywhere (headers too)
  // may also meet an unsupported frame or a size beyond the limit.
  std::vector<Bytes> inScan, anywhere;
  std::mt19937 random(11);
  for (const Bytes& s : sources) {
    const auto markers = restartMarkers(s);
    // Truncated scans closed with EOI.
    for (std::size_t cut = s.size() / 3; cut < s.size(); cut += s.size() / 9) {
      Bytes d(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(cut));
      d.insert(d.end(), {0xFF, 0xD9});
      inScan.push_back(d);
    }
    // Restart markers renumbered.
    for (int scheme = 0; scheme < 4; ++scheme) {
      Bytes d = s;
      for (std::size_t k = 0; k < markers.size(); ++k)
        d[markers[k] + 1] = static_cast<std::uint8_t>(0xD0 + (scheme == 0   ? 0
                                                              : scheme == 1 ? 7 - k % 8
                                                              : scheme == 2 ? (k * 3) % 8
                                                                            : random() % 8));
      inScan.push_back(d);
    }
    // Bytes changed anywhere.
    for (int n = 0; n < 60; ++n) {
      Bytes d = s;
      for (int k = 0; k < 3; ++k)
        d[2 + random() % (d.size() - 4)] = static_cast<std::uint8_t>(random());
      anywhere.push_back(d);
    }
  }
  int images = 0, refused = 0;
  for (const auto* set : {&inScan, &anywhere}) {
    for (const Bytes& d : *set) {
      TJpegEx j;
      try {
        j.loadFromMemory(d);
        j.Decode();
        ++images;
        EXPECT_EQ(j.bitmap()->width(), j.width());
      } catch (const EJpegEx& e) {
        ++refused;
        if (set == &inScan) {
          EXPECT_STREQ(e.what(), kJpegInvalid);
        }
      } catch (const ImageSizeError&) {
        ++refused;
        EXPECT_EQ(set, &anywhere);
      }
    }
  }
  std::printf("damaged: %d images, %d refused\n", images, refused);
  EXPECT_GT(images, 0);
}

TEST(DecoderDamage, TruncatedWithoutEoiFailsCleanly) {
  test::TempDir dir;
  test::writeFile(dir.file("in.ppm"), testPpm(40, 40));
  int code = -1;
  runCommand("/usr/bin/cjpeg -outfile " + shellQuote(dir.file("o.jpg")) + " " +
                 shellQuote(dir.file("in.ppm")),
             &code);
  const Bytes s = test::readFile(dir.file("o.jpg"));
  // Loaded from a stream that ends inside the scan: the data end without EOI.
  MemoryStream stream(Bytes(s.begin(), s.end() - 200));
  TJpegEx j;
  j.loadFromStream(stream);
  EXPECT_EQ(jpegError([&] { j.Decode(); }), kJpegInvalid);
}

// ---- Refusals ----------------------------------------------------------------------------------

TEST(DecoderRefusal, OtherProcessesAndLayouts) {
  test::TempDir dir;
  test::writeFile(dir.file("in.ppm"), testPpm(24, 24));
  int code = -1;
  runCommand("/usr/bin/cjpeg -arithmetic -outfile " + shellQuote(dir.file("a.jpg")) + " " +
                 shellQuote(dir.file("in.ppm")),
             &code);
  ASSERT_EQ(code, 0);
  struct Case {
    std::string name;
    Bytes data;
    const char* message;
  };
  std::vector<Case> cases = {
      {"arithmetic", test::readFile(dir.file("a.jpg")), kJpegUnsupported},
      {"12 bits", test::readFile((kCorpus / "jpeg/libjpeg-turbo/monkey12.jpg").string()),
       kJpegUnsupported},
      {"CMYK", test::readFile((kCorpus / "jpeg/pillow/pil_sample_cmyk.jpg").string()),
       kJpegUnsupported},
      {"extended, 16-bit tables",
       test::readFile((kCorpus / "jpeg/jpeg-decoder/reftest/images/16bit-qtables.jpg").string()),
       kJpegUnsupported},
      {"chroma factors that do not divide",
       test::readFile((kCorpus / "jpeg/wuffs/peacock.s-very-weird.jpeg").string()),
       kJpegUnsupported},
  };
  // SOF1 and SOF3 headers in an otherwise baseline file; a frame with a factor of 5.
  const Bytes base = test::readFile((kCorpus / "jpeg/wuffs/peacock.s1x1-444.jpeg").string());
  for (std::uint8_t m : {0xC1, 0xC3}) {
    Bytes d = base;
    for (std::size_t i = 2; i + 1 < d.size(); ++i)
      if (d[i] == 0xFF && d[i + 1] == 0xC0) {
        d[i + 1] = m;
        break;
      }
    cases.push_back({"SOF" + std::to_string(m - 0xC0), d, kJpegUnsupported});
  }
  {
    Crafter crafter(8, 8, {{1, 5, 1}});
    cases.push_back(
        {"factor 5", crafter.make([](int, int, int) { return flatBlock(0); }), kJpegUnsupported});
  }
  for (const Case& c : cases) {
    TJpegEx j;
    EXPECT_EQ(jpegError([&] {
                j.loadFromMemory(c.data);
                j.Decode();
              }),
              c.message)
        << c.name;
  }
}

TEST(DecoderRefusal, MissingTablesAreInvalid) {
  Crafter crafter(8, 8, {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}});
  const Bytes good = crafter.make([](int, int, int) { return flatBlock(100); });
  auto find = [&](std::uint8_t marker) {
    for (std::size_t i = 2; i + 1 < good.size(); ++i)
      if (good[i] == 0xFF && good[i + 1] == marker) return i;
    return std::size_t{0};
  };
  // The scan selects DC table 1, which is not there.
  Bytes noTable = good;
  noTable[find(0xDA) + 6] = 0x10;
  // The frame names quantisation table 2, which is not there.
  Bytes noQuant = good;
  noQuant[find(0xC0) + 12] = 2;
  for (const Bytes& d : {noTable, noQuant}) {
    TJpegEx j;
    j.loadFromMemory(d);  // the walk takes them
    EXPECT_EQ(jpegError([&] { j.Decode(); }), kJpegInvalid);
  }
  TJpegEx j;
  j.loadFromMemory(good);
  EXPECT_NO_THROW(j.Decode());
}

TEST(DecoderLimits, FrameSizeIsCheckedBeforeAllocating) {
  Crafter crafter(8, 8, {{1, 2, 2}, {2, 1, 1}, {3, 1, 1}});
  Bytes data = crafter.make([](int, int, int) { return flatBlock(100); });
  for (std::size_t i = 2; i + 1 < data.size(); ++i)
    if (data[i] == 0xFF && data[i + 1] == 0xC0) {
      data[i + 5] = 0x40;  // height 16384 + 8
      data[i + 7] = 0x40;  // width
      break;
    }
  TJpegEx j;
  DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{64} << 20;
  j.setLimits(limits);
  j.loadFromMemory(data);
  EXPECT_EQ(j.width(), 16392);
  EXPECT_THROW(j.Decode(), ImageSizeError);
  // Planes and bitmap count together: 2000 × 2000 needs 12 MB of bitmap and 12 MB of planes.
  Crafter small(2000, 2000, {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}});
  const Bytes medium = small.make([](int, int, int) { return flatBlock(100); });
  limits.maxImageBytes = 20'000'000;
  TJpegEx k;
  k.setLimits(limits);
  k.loadFromMemory(medium);
  EXPECT_THROW(k.Decode(), ImageSizeError);
  limits.maxImageBytes = 25'000'000;
  k.setLimits(limits);
  EXPECT_NO_THROW(k.Decode());
}

TEST(DecoderProgress, ReportsOnlyChanges) {
  test::TempDir dir;
  test::writeFile(dir.file("in.ppm"), testPpm(200, 120));
  int code = -1;
  runCommand("/usr/bin/cjpeg -outfile " + shellQuote(dir.file("o.jpg")) + " " +
                 shellQuote(dir.file("in.ppm")),
             &code);
  TJpegEx j;
  j.loadFromMemory(test::readFile(dir.file("o.jpg")));
  struct Call {
    ProgressStage stage;
    int percent;
    std::string message;
  };
  std::vector<Call> calls;
  j.OnProgress = [&](ProgressStage s, int p, std::string_view m) {
    calls.push_back({s, p, std::string(m)});
  };
  j.Decode();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls.front().stage, ProgressStage::Starting);
  EXPECT_EQ(calls.front().message, "初期化中");
  EXPECT_EQ(calls.back().stage, ProgressStage::Ending);
  EXPECT_EQ(calls.back().percent, 100);
  EXPECT_EQ(calls.back().message, "");
  bool decoding = false;
  for (std::size_t i = 1; i + 1 < calls.size(); ++i) {
    EXPECT_EQ(calls[i].stage, ProgressStage::Running);
    EXPECT_GT(calls[i].percent, calls[i - 1].percent);
    EXPECT_TRUE(calls[i].message == "解析中" || calls[i].message == "デコード中");
    decoding = decoding || calls[i].message == "デコード中";
  }
  EXPECT_TRUE(decoding);
  // A failure still ends with the end notification.
  calls.clear();
  Bytes bad = j.compressedData();
  bad[bad.size() / 2] = 0xFF;
  bad[bad.size() / 2 + 1] = 0xC1;
  j.loadFromMemory(bad);
  try {
    j.Decode();
  } catch (const EJpegEx&) {
  }
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().stage, ProgressStage::Ending);
}

}  // namespace
}  // namespace vexo
