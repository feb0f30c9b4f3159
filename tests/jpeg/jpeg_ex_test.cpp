// TJpegEx as an image object: loading from memory and streams, the header walk, the size scan,
// saving, assignment, drawing and resizing. Inputs are made with cjpeg (an independent encoder)
// or assembled segment by segment where a header has to be exactly so.
#include "jpeg/jpeg_ex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/stream.h"
#include "input/jpeg_reader.h"
#include "support/reference.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::runCommand;
using test::shellQuote;

const fs::path kCorpus = VEXO_CORPUS_DIR;

// ---- Building JPEG data -------------------------------------------------------------------------

Bytes segment(std::uint8_t marker, const Bytes& body) {
  Bytes out{0xFF, marker, static_cast<std::uint8_t>((body.size() + 2) >> 8),
            static_cast<std::uint8_t>(body.size() + 2)};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes app0(int units = 0, int x = 1, int y = 1) {
  return segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, static_cast<std::uint8_t>(units),
                        static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x),
                        static_cast<std::uint8_t>(y >> 8), static_cast<std::uint8_t>(y), 0, 0});
}

struct FrameComponent {
  int id, h, v, table;
};

Bytes frame(std::uint8_t marker, int precision, int width, int height,
            const std::vector<FrameComponent>& components) {
  Bytes body{static_cast<std::uint8_t>(precision), static_cast<std::uint8_t>(height >> 8),
             static_cast<std::uint8_t>(height),    static_cast<std::uint8_t>(width >> 8),
             static_cast<std::uint8_t>(width),     static_cast<std::uint8_t>(components.size())};
  for (const auto& c : components)
    body.insert(body.end(),
                {static_cast<std::uint8_t>(c.id), static_cast<std::uint8_t>(c.h << 4 | c.v),
                 static_cast<std::uint8_t>(c.table)});
  return segment(marker, body);
}

const std::vector<FrameComponent> kYCbCr420 = {{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}};

// SOI, the parts, EOI.
Bytes jpeg(std::initializer_list<Bytes> parts) {
  Bytes out{0xFF, 0xD8};
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

// A test picture with smooth areas and edges, as a binary PPM.
Bytes testPpm(int width, int height) {
  std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  Bytes out(header.begin(), header.end());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      out.insert(out.end(), {static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1)),
                             static_cast<std::uint8_t>((x / 5 + y / 3) % 2 ? 220 : 30),
                             static_cast<std::uint8_t>(y * 255 / std::max(1, height - 1))});
  return out;
}

// cjpeg's output for the test picture.
Bytes cjpeg(const test::TempDir& dir, int width, int height, const std::string& options) {
  const std::string ppm = dir.file("in.ppm"), out = dir.file("out.jpg");
  test::writeFile(ppm, testPpm(width, height));
  int code = -1;
  runCommand("/usr/bin/cjpeg " + options + " -outfile " + shellQuote(out) + " " + shellQuote(ppm),
             &code);
  if (code != 0) throw std::runtime_error("cjpeg failed: " + options);
  return test::readFile(out);
}

// Offsets of the segments' markers before the first SOS (inclusive), by walking the lengths.
std::vector<std::size_t> headerSegments(const Bytes& data) {
  std::vector<std::size_t> at;
  std::size_t p = 2;
  while (p + 4 <= data.size() && data[p] == 0xFF) {
    at.push_back(p);
    if (data[p + 1] == 0xDA) break;
    p += 2 + (data[p + 2] << 8 | data[p + 3]);
  }
  return at;
}

Bytes insertAfterSoi(const Bytes& data, const Bytes& part) {
  Bytes out(data.begin(), data.begin() + 2);
  out.insert(out.end(), part.begin(), part.end());
  out.insert(out.end(), data.begin() + 2, data.end());
  return out;
}

Bytes insertAfterApp0(const Bytes& data, const Bytes& part) {
  const std::size_t at = 4 + static_cast<std::size_t>(data[4] << 8 | data[5]);
  Bytes out(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(at));
  out.insert(out.end(), part.begin(), part.end());
  out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at), data.end());
  return out;
}

// The message of the EJpegEx that f throws, or "" when it throws none.
template <class F>
std::string jpegError(F&& f) {
  try {
    f();
  } catch (const EJpegEx& e) {
    return e.what();
  }
  return "";
}

// ---- A fresh object ----------------------------------------------------------------------------

TEST(JpegExObject, FreshObjectHasTheEncoderDefaults) {
  TJpegEx j;
  EXPECT_TRUE(j.empty());
  EXPECT_EQ(j.width(), 0);
  EXPECT_EQ(j.height(), 0);
  EXPECT_EQ(j.Quality(), 75);
  EXPECT_EQ(j.samplingMode(), 0);
  EXPECT_EQ(j.RestartInterval(), 0);
  EXPECT_EQ(j.customFactors(), (std::array<std::uint8_t, 3>{4, 1, 1}));
  EXPECT_EQ(j.component(0).h, 2);
  EXPECT_EQ(j.component(0).v, 2);
  EXPECT_EQ(j.component(1).h, 1);
  EXPECT_EQ(j.component(2).v, 1);
  EXPECT_EQ(j.quantTables().size(), 2u);
  EXPECT_FALSE(j.huffmanTables().has_value());
  EXPECT_EQ(jpegError([&] { j.saveToMemory(); }), kJpegNoImage);
  EXPECT_EQ(jpegError([&] { j.Decode(); }), kJpegNoData);
  EXPECT_EQ(jpegError([&] { j.WalkHeaders(); }), kJpegNoData);
}

// ---- Loading from memory -----------------------------------------------------------------------

TEST(JpegExLoad, MemoryNeedsSoiFirstAndEoiLast) {
  test::TempDir dir;
  const Bytes good = cjpeg(dir, 16, 16, "");
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes noEoi(good.begin(), good.end() - 2);
  Bytes noSoi = good;
  noSoi[1] = 0xD9;
  struct Case {
    const char* name;
    Bytes data;
  };
  for (const Case& c : {Case{"bytes after EOI", trailing}, Case{"no EOI", noEoi},
                        Case{"no SOI", noSoi}, Case{"empty", {}}, Case{"SOI only", {0xFF, 0xD8}}}) {
    TJpegEx j;
    EXPECT_EQ(jpegError([&] { j.loadFromMemory(c.data); }), kJpegOpenFailed) << c.name;
    EXPECT_EQ(j.bitmap(), nullptr) << c.name;
  }
  TJpegEx j;
  j.loadFromMemory(good);
  EXPECT_EQ(j.compressedData(), good);
  EXPECT_EQ(j.width(), 16);
}

TEST(JpegExLoad, LoadDropsTheBitmap) {
  test::TempDir dir;
  TJpegEx j;
  j.assign(Bitmap(5, 5, 24));
  ASSERT_NE(j.bitmap(), nullptr);
  j.loadFromMemory(cjpeg(dir, 9, 7, ""));
  EXPECT_EQ(j.bitmap(), nullptr);
  EXPECT_EQ(j.width(), 9);
  EXPECT_EQ(j.height(), 7);
  EXPECT_FALSE(j.empty());
}

TEST(JpegExLoad, SecondMarkerMustBeApplicationOrComment) {
  test::TempDir dir;
  const Bytes good = cjpeg(dir, 8, 8, "");
  ASSERT_EQ(good[3], 0xE0);
  // Without the APP0 the DQT comes second.
  const std::size_t app0Length = good[4] << 8 | good[5];
  Bytes noApp(good.begin(), good.begin() + 2);
  noApp.insert(noApp.end(), good.begin() + 4 + static_cast<std::ptrdiff_t>(app0Length), good.end());
  ASSERT_EQ(noApp[3], 0xDB);
  TJpegEx j;
  EXPECT_EQ(jpegError([&] { j.loadFromMemory(noApp); }), kJpegInvalid);
  EXPECT_EQ(j.compressedData(), noApp);  // what was read is kept
  EXPECT_EQ(j.bitmap(), nullptr);

  // A comment may come second, and any APPn.
  for (std::uint8_t marker : {0xFE, 0xE1, 0xEF}) {
    TJpegEx k;
    EXPECT_NO_THROW(k.loadFromMemory(insertAfterSoi(noApp, segment(marker, {'x', 0})))) << +marker;
  }
}

TEST(JpegExLoad, StreamTakesTheFirstOfTwoJpegs) {
  test::TempDir dir;
  const Bytes progressive =
      test::readFile((kCorpus / "jpeg/wuffs/peacock.progressive.jpeg").string());
  const Bytes second = cjpeg(dir, 20, 10, "");
  struct Case {
    const char* name;
    Bytes first;
  };
  const Case cases[] = {
      {"baseline", cjpeg(dir, 17, 9, "")},
      {"restart markers", cjpeg(dir, 40, 40, "-restart 1B")},
      {"multi-scan", cjpeg(dir, 30, 30, "-optimize -progressive")},
      {"progressive from the corpus", progressive},
      {"comment holding FF D9",
       insertAfterApp0(cjpeg(dir, 33, 17, "-quality 100"), segment(0xFE, {0xFF, 0xD9, 0xFF, 0}))},
  };
  for (const Case& c : cases) {
    Bytes both = c.first;
    both.insert(both.end(), second.begin(), second.end());
    MemoryStream stream(both);
    TJpegEx j;
    j.loadFromStream(stream);
    EXPECT_EQ(j.compressedData(), c.first) << c.name;
    EXPECT_EQ(stream.position(), static_cast<std::int64_t>(c.first.size())) << c.name;
    TJpegEx k;
    k.loadFromStream(stream);
    EXPECT_EQ(k.compressedData(), second) << c.name;
    EXPECT_EQ(stream.position(), stream.size()) << c.name;
  }
}

TEST(JpegExLoad, StreamFromTheMiddleAndItsFailures) {
  test::TempDir dir;
  const Bytes image = cjpeg(dir, 12, 12, "");
  Bytes withPrefix{1, 2, 3};
  withPrefix.insert(withPrefix.end(), image.begin(), image.end());
  MemoryStream stream(withPrefix);
  stream.setPosition(3);
  TJpegEx j;
  j.loadFromStream(stream);
  EXPECT_EQ(j.compressedData(), image);

  // Not SOI first, or no APPn second: the stream case refuses at once.
  Bytes noApp = image;
  noApp[3] = 0xFE;
  for (const Bytes& bad : {Bytes{0, 1, 2, 3}, noApp, Bytes{}}) {
    MemoryStream s(bad);
    TJpegEx k;
    EXPECT_EQ(jpegError([&] { k.loadFromStream(s); }), kJpegOpenFailed);
  }
  // A stream that ends inside the headers gives what was there, and the walk refuses it.
  MemoryStream cut(Bytes(image.begin(), image.begin() + 40));
  TJpegEx k;
  EXPECT_EQ(jpegError([&] { k.loadFromStream(cut); }), kJpegInvalid);
  EXPECT_EQ(k.compressedData().size(), 40u);
  // One that ends inside the scan loads; its data end there.
  MemoryStream cutScan(Bytes(image.begin(), image.end() - 10));
  TJpegEx m;
  m.loadFromStream(cutScan);
  EXPECT_EQ(m.compressedData().size(), image.size() - 10);
}

// ---- Header walk -------------------------------------------------------------------------------

TEST(JpegExWalk, UnsupportedFrames) {
  const Bytes tables = segment(0xDB, Bytes(65, 1));
  struct Case {
    const char* name;
    Bytes data;
  };
  std::vector<Case> cases = {
      {"precision 12", jpeg({app0(), tables, frame(0xC0, 12, 8, 8, kYCbCr420)})},
      {"precision 16", jpeg({app0(), tables, frame(0xC0, 16, 8, 8, {{1, 1, 1, 0}})})},
      {"progressive precision 12", jpeg({app0(), frame(0xC2, 12, 8, 8, kYCbCr420)})},
      {"four components",
       jpeg({app0(), tables,
             frame(0xC0, 8, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}})})},
      {"two components",
       jpeg({app0(), tables, frame(0xC0, 8, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}})})},
  };
  // Every frame marker of another coding process: extended, lossless, differential, arithmetic.
  for (std::uint8_t m : {0xC1, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF})
    cases.push_back({"SOFn", jpeg({app0(), tables, frame(m, 8, 8, 8, kYCbCr420)})});
  for (const Case& c : cases) {
    TJpegEx j;
    EXPECT_EQ(jpegError([&] { j.loadFromMemory(c.data); }), kJpegUnsupported) << c.name;
  }
}

TEST(JpegExWalk, RefusesFromTheCorpus) {
  struct Case {
    const char* file;
    const char* message;
  };
  const Case cases[] = {
      {"jpeg/libjpeg-turbo/monkey12.jpg", kJpegUnsupported},    // SOF1, 12 bits
      {"jpeg/libjpeg-turbo/testimgari.jpg", kJpegUnsupported},  // arithmetic
      {"jpeg/pillow/pil_sample_cmyk.jpg", kJpegUnsupported},    // four components
      {"jpeg/jpeg-decoder/reftest/images/ycck.jpg", kJpegUnsupported},
      // Lossless, and one byte after its EOI: the file case refuses it before the walk.
      {"jpeg/jpeg-decoder/reftest/images/lossless/1/jpeg_lossless_sel1.jpg", kJpegOpenFailed},
      {"jpeg/wuffs/artificial-jpeg/hippopotamus-bad-comment-length.jpeg", kJpegInvalid},
  };
  for (const Case& c : cases) {
    const Bytes data = test::readFile((kCorpus / c.file).string());
    TJpegEx j;
    EXPECT_EQ(jpegError([&] { j.loadFromMemory(data); }), c.message) << c.file;
    // A failed walk keeps the data; the size still comes from the size scan where it can.
    if (c.message != kJpegOpenFailed) {
      EXPECT_EQ(j.compressedData(), data);
    }
  }
  Bytes lossless = test::readFile(
      (kCorpus / "jpeg/jpeg-decoder/reftest/images/lossless/1/jpeg_lossless_sel1.jpg").string());
  ASSERT_EQ(lossless.back(), 0);
  lossless.pop_back();
  TJpegEx j;
  EXPECT_EQ(jpegError([&] { j.loadFromMemory(lossless); }), kJpegUnsupported);

  TJpegEx cmyk;
  EXPECT_THROW(
      cmyk.loadFromMemory(test::readFile((kCorpus / "jpeg/pillow/pil_sample_cmyk.jpg").string())),
      EJpegEx);
  EXPECT_EQ(cmyk.width(), 100);
  EXPECT_EQ(cmyk.height(), 100);
}

TEST(JpegExWalk, TruncatedHeadersAreInvalid) {
  test::TempDir dir;
  const Bytes good = cjpeg(dir, 24, 16, "-restart 2B");
  const auto segments = headerSegments(good);
  ASSERT_GE(segments.size(), 6u);  // APP0, DQT, SOF0, DHT, DRI, SOS at least
  int tried = 0;
  for (std::size_t start : segments) {
    const std::size_t end = start + 2 + (good[start + 2] << 8 | good[start + 3]);
    // Cut inside the segment's body and close the data with EOI.
    for (std::size_t cut = start + 4; cut + 2 < end;
         cut += std::max<std::size_t>(1, (end - start) / 7)) {
      Bytes data(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
      data.insert(data.end(), {0xFF, 0xD9});
      TJpegEx j;
      EXPECT_EQ(jpegError([&] { j.loadFromMemory(data); }), kJpegInvalid)
          << "marker " << std::hex << +good[start + 1] << " cut at " << std::dec << cut;
      ++tried;
    }
  }
  EXPECT_GT(tried, 20);
}

TEST(JpegExWalk, DamagedSegments) {
  const Bytes tables = segment(0xDB, Bytes(65, 1));
  const Bytes sof = frame(0xC0, 8, 8, 8, kYCbCr420);
  struct Case {
    const char* name;
    Bytes data;
  };
  const Case cases[] = {
      {"DQT identifier 4", jpeg({app0(), segment(0xDB, [] {
                                   Bytes b(65, 1);
                                   b[0] = 4;
                                   return b;
                                 }())})},
      {"DQT precision 2", jpeg({app0(), segment(0xDB, [] {
                                  Bytes b(65, 1);
                                  b[0] = 0x20;
                                  return b;
                                }())})},
      {"DQT cut short", jpeg({app0(), segment(0xDB, Bytes(40, 1))})},
      {"DRI of 3 bytes", jpeg({app0(), segment(0xDD, {0, 1, 2})})},
      {"length 1", jpeg({app0(), Bytes{0xFF, 0xFE, 0x00, 0x01}})},
      {"not a marker", jpeg({app0(), Bytes{0x12, 0x34}})},
      {"second SOI", jpeg({app0(), Bytes{0xFF, 0xD8}})},
      {"frame table 4", jpeg({app0(), tables, frame(0xC0, 8, 8, 8, {{1, 1, 1, 4}})})},
      {"frame without components", jpeg({app0(), tables, frame(0xC0, 8, 8, 8, {})})},
      {"frame length too long", jpeg({app0(), tables, [&] {
                                        Bytes f = sof;
                                        f[3] += 1;
                                        f.push_back(0);
                                        return f;
                                      }()})},
      {"repeated identifiers",
       jpeg({app0(), tables, frame(0xC0, 8, 8, 8, {{1, 1, 1, 0}, {1, 1, 1, 0}, {3, 1, 1, 0}})})},
      {"two frames", jpeg({app0(), tables, sof, sof})},
      {"scan before frame", jpeg({app0(), segment(0xDA, {1, 1, 0, 0, 63, 0})})},
      {"scan of an unknown component", jpeg({app0(), tables, sof, segment(0xDA, {1, 9, 0, 0, 63, 0})})},
      {"scan naming a component twice",
       jpeg({app0(), tables, sof, segment(0xDA, {2, 1, 0, 1, 0, 0, 63, 0})})},
      {"scan length wrong", jpeg({app0(), tables, sof, segment(0xDA, {1, 1, 0, 0, 63})})},
      {"no scan and no EOI", [&] {
         Bytes b = jpeg({app0(), tables, sof});
         b.erase(b.end() - 2, b.end());
         b.insert(b.end(), {0xFF, 0xE1, 0x00, 0x10, 0xFF, 0xD9});
         return b;
       }()},
  };
  for (const Case& c : cases) {
    TJpegEx j;
    EXPECT_EQ(jpegError([&] { j.loadFromMemory(c.data); }), kJpegInvalid) << c.name;
  }
  // Fill bytes before a marker are passed over.
  {
    Bytes withFill = jpeg({app0(), Bytes{0xFF, 0xFF, 0xFF}, tables, sof});
    TJpegEx j;
    j.loadFromMemory(withFill);
    EXPECT_EQ(j.width(), 8);
  }
  // DQT identifiers up to 3 are taken; the list grows to hold them.
  Bytes dqt3(65, 7);
  dqt3[0] = 3;
  TJpegEx j;
  j.loadFromMemory(jpeg({app0(), segment(0xDB, dqt3)}));
  ASSERT_EQ(j.quantTables().size(), 4u);
  EXPECT_EQ(j.quantTables()[3].values[10], 7);
  // 16-bit entries are read big-endian.
  Bytes dqt16(129, 0);
  dqt16[0] = 0x11;
  dqt16[1] = 0x01;
  dqt16[2] = 0x02;
  j.loadFromMemory(jpeg({app0(), segment(0xDB, dqt16)}));
  EXPECT_EQ(j.quantTables()[1].precision, 1);
  EXPECT_EQ(j.quantTables()[1].values[0], 0x0102);
}

TEST(JpegExWalk, RestartIntervalCommentAndDensities) {
  test::TempDir dir;
  TJpegEx j;
  j.loadFromMemory(cjpeg(dir, 64, 64, "-restart 300B"));
  EXPECT_EQ(j.RestartInterval(), 300);
  j.loadFromMemory(cjpeg(dir, 64, 64, ""));
  EXPECT_EQ(j.RestartInterval(), 0);

  const Bytes plain = cjpeg(dir, 16, 16, "");
  const std::size_t app0Length = plain[4] << 8 | plain[5];
  const Bytes noApp0 = [&] {
    Bytes b(plain.begin(), plain.begin() + 2);
    b.insert(b.end(), plain.begin() + 4 + static_cast<std::ptrdiff_t>(app0Length), plain.end());
    return b;
  }();
  // The comment up to its first 0x00, or all of it.
  struct CommentCase {
    Bytes body;
    std::string comment;
  };
  for (const auto& c :
       {CommentCase{{'a', 'b', 'c', 0}, "abc"}, CommentCase{{'x', 'y'}, "xy"},
        CommentCase{{'a', 0, 'b'}, "a"}, CommentCase{{0xE6, 0x97, 0xA5}, "\xE6\x97\xA5"}}) {
    TJpegEx k;
    k.loadFromMemory(insertAfterSoi(plain, segment(0xFE, c.body)));
    EXPECT_EQ(k.Comment, c.comment);
  }
  // Units above 2 read as 0.
  struct DensityCase {
    int units, x, y, expectUnits;
  };
  for (const auto& c : {DensityCase{1, 300, 72, 1}, DensityCase{2, 118, 119, 2},
                        DensityCase{0, 1, 2, 0}, DensityCase{7, 65535, 3, 0}}) {
    TJpegEx k;
    k.loadFromMemory(insertAfterSoi(noApp0, app0(c.units, c.x, c.y)));
    EXPECT_EQ(k.DensityUnit, c.expectUnits);
    EXPECT_EQ(k.XDensity, c.x);
    EXPECT_EQ(k.YDensity, c.y);
  }
}

TEST(JpegExWalk, SamplingModeFromTheFrame) {
  const Bytes tables = segment(0xDB, Bytes(65, 1));
  struct Case {
    std::vector<FrameComponent> components;
    int mode;
    bool gray;
    std::array<std::uint8_t, 3> custom;  // checked for mode 3
  };
  const Case cases[] = {
      {kYCbCr420, 0, false, {}},
      {{{1, 2, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 1, false, {}},
      {{{1, 1, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 1, false, {}},
      {{{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 2, false, {}},
      {{{1, 2, 2, 0}, {2, 2, 2, 1}, {3, 2, 2, 1}}, 2, false, {}},
      {{{1, 4, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 0, false, {}},
      {{{1, 1, 1, 0}}, 2, true, {}},
      {{{1, 2, 2, 0}}, 2, true, {}},
      {{{1, 3, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 3, false, {3, 1, 1}},
      {{{1, 4, 1, 0}, {2, 2, 1, 1}, {3, 2, 2, 1}}, 3, false, {4, 2, 4}},
      {{{1, 2, 2, 0}, {2, 2, 1, 1}, {3, 2, 1, 1}}, 1, false, {}},         // e = 2 × 4 / 4
      {{{1, 1, 1, 0}, {2, 2, 2, 1}, {3, 2, 2, 1}}, 3, false, {1, 4, 4}},  // e = 16
      {{{1, 3, 1, 0}}, 3, true, {3, 0, 0}},
  };
  for (const Case& c : cases) {
    TJpegEx j;
    j.loadFromMemory(jpeg({app0(), tables, frame(0xC0, 8, 33, 17, c.components)}));
    const std::string where = "H1 " + std::to_string(c.components[0].h) + " V1 " +
                              std::to_string(c.components[0].v) + " count " +
                              std::to_string(c.components.size());
    EXPECT_EQ(j.samplingMode(), c.mode) << where;
    EXPECT_EQ(j.graySource(), c.gray) << where;
    if (c.mode == 3) {
      EXPECT_EQ(j.customFactors(), c.custom) << where;
    }
    EXPECT_EQ(j.width(), 33);
    EXPECT_EQ(j.height(), 17);
  }
}

TEST(JpegExWalk, ComponentRecordsByIdentifierOrOrder) {
  const Bytes tables = segment(0xDB, Bytes(65, 1));
  struct Case {
    std::vector<FrameComponent> components;
    std::array<int, 3> hOfRecord;
  };
  const Case cases[] = {
      {{{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 3, 1, 1}}, {2, 1, 3}},
      {{{3, 2, 2, 0}, {2, 1, 1, 1}, {1, 3, 1, 1}}, {3, 1, 2}},        // by identifier
      {{{0, 2, 2, 0}, {1, 1, 1, 1}, {2, 3, 1, 1}}, {2, 1, 3}},        // 0, 1, 2: by order
      {{{'R', 4, 1, 0}, {'G', 1, 1, 1}, {'B', 2, 1, 1}}, {4, 1, 2}},  // by order
      {{{7, 2, 1, 0}}, {2, 0, 0}},                                    // gray: record 0
  };
  for (const Case& c : cases) {
    TJpegEx j;
    j.loadFromMemory(jpeg({app0(), tables, frame(0xC0, 8, 8, 8, c.components)}));
    for (int r = 0; r < 3; ++r) EXPECT_EQ(j.component(r).h, c.hOfRecord[r]) << r;
  }
}

TEST(JpegExWalk, ScanTablesAreBoundByClassAndIdentifier) {
  test::TempDir dir;
  TJpegEx j;
  j.loadFromMemory(cjpeg(dir, 16, 16, ""));
  ASSERT_TRUE(j.huffmanTables().has_value());
  const auto& tables = *j.huffmanTables();
  ASSERT_EQ(tables.Count(), 4);
  EXPECT_EQ(tables.at(j.component(0).dcTable).classId(), 0x00);
  EXPECT_EQ(tables.at(j.component(0).acTable).classId(), 0x10);
  EXPECT_EQ(tables.at(j.component(1).dcTable).classId(), 0x01);
  EXPECT_EQ(tables.at(j.component(2).acTable).classId(), 0x11);
  // A second load starts from an empty list.
  j.loadFromMemory(cjpeg(dir, 16, 16, "-grayscale"));
  EXPECT_EQ(j.huffmanTables()->Count(), 2);
  EXPECT_TRUE(j.graySource());
}

TEST(JpegExWalk, SizeScan) {
  test::TempDir dir;
  struct Case {
    Bytes data;
    std::optional<std::pair<int, int>> size;
  };
  const Bytes tables = segment(0xDB, Bytes(65, 1));
  const Case cases[] = {
      {cjpeg(dir, 17, 9, ""), std::pair{17, 9}},
      {cjpeg(dir, 1, 300, "-progressive"), std::pair{1, 300}},
      {test::readFile((kCorpus / "jpeg/wuffs/peacock.progressive.jpeg").string()),
       std::pair{100, 75}},
      {jpeg({app0(), tables, frame(0xC0, 12, 65535, 2, kYCbCr420)}), std::pair{65535, 2}},
      {jpeg({app0(), frame(0xC1, 8, 5, 5, kYCbCr420)}), std::nullopt},  // not a frame it knows
      {jpeg({app0(), segment(0xDA, {1, 1, 0, 0, 63, 0})}), std::nullopt},
      {Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00}, std::nullopt},
      {Bytes{0x89, 'P', 'N', 'G'}, std::nullopt},
      {Bytes{}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ScanJpegSize(c.data), c.size);
}

// ---- Saving, assignment, drawing ---------------------------------------------------------------

Bitmap pattern(int width, int height) {
  Bitmap b(width, height, 24);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = b.row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(x * 40);
      p[1] = static_cast<std::uint8_t>(y * 30);
      p[2] = static_cast<std::uint8_t>(200 - x * y);
    }
  return b;
}

TEST(JpegExSave, SavingCopiesTheDataOrEncodesFirst) {
  test::TempDir dir;
  const Bytes file = cjpeg(dir, 21, 13, "-restart 1");
  TJpegEx j;
  j.loadFromMemory(file);
  EXPECT_EQ(j.saveToMemory(), file);
  MemoryStream out;
  j.saveToStream(out);
  EXPECT_EQ(out.bytes(), file);

  TJpegEx k;
  k.assign(pattern(10, 6));
  const Bytes encoded = k.saveToMemory();
  ASSERT_GE(encoded.size(), 4u);
  EXPECT_EQ(encoded[0], 0xFF);
  EXPECT_EQ(encoded[1], 0xD8);
  EXPECT_EQ(encoded[encoded.size() - 2], 0xFF);
  EXPECT_EQ(encoded.back(), 0xD9);
  EXPECT_TRUE(k.compressedData().empty());  // a const save leaves the object as it was
  MemoryStream out2;
  k.saveToStream(out2);
  EXPECT_EQ(out2.bytes(), encoded);
  TJpegEx back;
  back.loadFromMemory(encoded);
  EXPECT_EQ(back.width(), 10);
  EXPECT_EQ(back.height(), 6);

  TJpegEx none;
  MemoryStream out3;
  EXPECT_EQ(jpegError([&] { none.saveToStream(out3); }), kJpegNoImage);
}

TEST(JpegExAssign, BitmapBecomesA24BitCopy) {
  test::TempDir dir;
  TJpegEx j;
  j.loadFromMemory(cjpeg(dir, 8, 8, "-grayscale"));
  ASSERT_TRUE(j.graySource());
  Bitmap indexed(3, 2, 8);
  indexed.palette() = {{10, 20, 30, 0}, {200, 100, 50, 0}};
  indexed.row(1)[2] = 1;
  j.assign(indexed);
  EXPECT_TRUE(j.compressedData().empty());
  EXPECT_FALSE(j.graySource());
  ASSERT_NE(j.bitmap(), nullptr);
  EXPECT_EQ(j.bitmap()->bits(), 24);
  EXPECT_EQ(j.width(), 3);
  EXPECT_EQ(j.height(), 2);
  const std::uint8_t* p = j.bitmap()->row(1);
  EXPECT_EQ((std::array<int, 6>{p[0], p[1], p[2], p[6], p[7], p[8]}),
            (std::array<int, 6>{30, 20, 10, 50, 100, 200}));
  j.assign(Bitmap());
  EXPECT_TRUE(j.empty());
  // Handing a bitmap over gives the same result as copying it, at any depth.
  TJpegEx copied, moved;
  copied.assign(indexed);
  moved.assign(std::move(indexed));
  EXPECT_EQ(test::bitmapRgb(*moved.bitmap()), test::bitmapRgb(*copied.bitmap()));
  const Bitmap source = pattern(9, 5);
  copied.assign(source);
  moved.loadFromMemory(cjpeg(dir, 8, 8, ""));
  moved.assign(Bitmap(source));
  EXPECT_TRUE(moved.compressedData().empty());
  EXPECT_EQ(moved.width(), 9);
  EXPECT_EQ(test::bitmapRgb(*moved.bitmap()), test::bitmapRgb(*copied.bitmap()));
}

TEST(JpegExResize, SetWidthAndHeight) {
  TJpegEx j;
  EXPECT_EQ(jpegError([&] { j.setWidth(5); }), kJpegCannotResize);
  EXPECT_EQ(jpegError([&] { j.setHeight(5); }), kJpegCannotResize);
  j.assign(pattern(8, 4));
  for (int bad : {0, -1}) {
    EXPECT_EQ(jpegError([&] { j.setWidth(bad); }), kJpegCannotResize);
    EXPECT_EQ(jpegError([&] { j.setHeight(bad); }), kJpegCannotResize);
  }
  j.setWidth(3);
  EXPECT_EQ(j.width(), 3);
  EXPECT_EQ(j.height(), 4);
  j.setHeight(9);
  EXPECT_EQ(j.width(), 3);
  EXPECT_EQ(j.height(), 9);
  EXPECT_EQ(j.bitmap()->width(), 3);
  EXPECT_EQ(j.bitmap()->height(), 9);
  // Resizing a loaded image needs its bitmap first.
  test::TempDir dir;
  TJpegEx k;
  k.loadFromMemory(cjpeg(dir, 8, 8, ""));
  EXPECT_EQ(jpegError([&] { k.setWidth(4); }), kJpegCannotResize);
  k.Decode();
  k.setWidth(4);
  EXPECT_TRUE(k.compressedData().empty());
  EXPECT_EQ(k.width(), 4);
}

TEST(JpegExDraw, DrawDecodesOnDemandAndClips) {
  test::TempDir dir;
  const Bytes file = cjpeg(dir, 13, 11, "");
  TJpegEx decoded;
  decoded.loadFromMemory(file);
  decoded.Decode();
  const auto expected = test::bitmapRgb(*decoded.bitmap());

  TJpegEx j;
  j.loadFromMemory(file);
  const TJpegEx& constant = j;
  Bitmap target(13, 11, 24);
  constant.draw(target, 0, 0);
  EXPECT_EQ(test::bitmapRgb(target), expected);
  EXPECT_EQ(j.compressedData(), file);

  // Drawn at an offset: the part outside is clipped, the rest of the target stays white.
  Bitmap small(6, 5, 24);
  constant.draw(small, -3, 2);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) {
      const std::uint8_t* p = small.row(y) + 3 * x;
      if (y < 2) {
        EXPECT_EQ(p[0] + p[1] + p[2], 3 * 255);
      } else {
        const std::uint8_t* s = decoded.bitmap()->row(y - 2) + 3 * (x + 3);
        EXPECT_EQ((std::array<int, 3>{p[0], p[1], p[2]}), (std::array<int, 3>{s[0], s[1], s[2]}));
      }
    }
}

TEST(JpegExDraw, GrayscaleDrawsLuminanceOfAColourSource) {
  TJpegEx j;
  const Bitmap source = pattern(7, 5);
  j.assign(source);
  j.setGrayscale(true);
  Bitmap target(7, 5, 24);
  j.draw(target, 0, 0);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) {
      const std::uint8_t* s = source.row(y) + 3 * x;
      const std::uint8_t* t = target.row(y) + 3 * x;
      // Y as the encoder computes it; decoding it with Cb = Cr = 128 gives gray Y.
      const int luma = (29900 * s[2] + 58700 * s[1] + 11400 * s[0] + 50000) / 100000;
      EXPECT_EQ((std::array<int, 3>{t[0], t[1], t[2]}), (std::array<int, 3>{luma, luma, luma}));
    }
  // The bitmap itself keeps its colours, and so does an image from a gray source.
  EXPECT_EQ(test::bitmapRgb(*j.bitmap()), test::bitmapRgb(source));
  auto released = j.releaseBitmap24();
  ASSERT_TRUE(released.has_value());
  EXPECT_EQ(test::bitmapRgb(*released), test::bitmapRgb(target));
  EXPECT_TRUE(j.empty());
}

TEST(JpegExRelease, HandsOverTheDecodedBitmap) {
  test::TempDir dir;
  const Bytes file = cjpeg(dir, 19, 3, "-sample 2x1");
  TJpegEx reference;
  reference.loadFromMemory(file);
  reference.Decode();
  TJpegEx j;
  EXPECT_FALSE(j.releaseBitmap24().has_value());
  j.loadFromMemory(file);
  auto bitmap = j.releaseBitmap24();
  ASSERT_TRUE(bitmap.has_value());
  EXPECT_EQ(test::bitmapRgb(*bitmap), test::bitmapRgb(*reference.bitmap()));
  EXPECT_TRUE(j.empty());
  EXPECT_EQ(j.width(), 0);
}

// ---- The corpus --------------------------------------------------------------------------------

TEST(JpegExCorpus, EveryFileLoadsOrFailsCleanly) {
  int loaded = 0, decoded = 0, refused = 0;
  for (const char* folder : {"jpeg", "malformed/jpeg-jpeg-decoder", "malformed/jpeg-pillow",
                             "malformed/jpeg-image-rs"}) {
    for (const auto& file : test::filesBelow((kCorpus / folder).string())) {
      const Bytes data = test::readFile(file);
      TJpegEx j;
      DecodeLimits limits;
      limits.maxImageBytes = std::uint64_t{256} << 20;
      j.setLimits(limits);
      try {
        j.loadFromMemory(data);
        ++loaded;
        (void)j.width();
        j.Decode();
        ++decoded;
        EXPECT_EQ(j.bitmap()->bits(), 24) << file;
        EXPECT_EQ(j.width(), j.bitmap()->width()) << file;
      } catch (const EJpegEx&) {
        ++refused;
      } catch (const ImageSizeError&) {
        ++refused;
      }
    }
  }
  std::printf("corpus: %d loaded, %d decoded, %d refused\n", loaded, decoded, refused);
  EXPECT_GT(decoded, 50);
}

}  // namespace
}  // namespace vexo
