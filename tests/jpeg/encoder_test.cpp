// The baseline encoder of TJpegEx: the segment layout byte by byte, a plain reference encoder
// written from the format's rules (sharing only the forward DCT) compared byte for byte, the
// colour conversion over every colour, and decoding of the output by djpeg (libjpeg-turbo).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/byte_io.h"
#include "input/jpeg_reader.h"
#include "jpeg/dct.h"
#include "jpeg/encoder_internal.h"
#include "jpeg/jpeg_ex.h"
#include "support/reference.h"

namespace vexo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::runCommand;
using test::shellQuote;

constexpr int kGray = 3;  // "sampling" value standing for the Grayscale option in the tables

// Names of the sampling values and instruction-set levels in test names.
std::string samplingName(int sampling) {
  static const char* const kNames[] = {"s420", "s422", "s444", "gray"};
  return kNames[sampling];
}
std::string levelName(int level) {
  static const char* const kNames[] = {"portable", "avx2", "avx512"};
  return kNames[level];
}
std::string sizeName(int w, int h) {
  return std::to_string(w) + "x" + std::to_string(h);
}

// ---- images ----

using PixelFn =
    std::function<void(int x, int y, std::uint8_t& r, std::uint8_t& g, std::uint8_t& b)>;

Bitmap makeImage(int w, int h, const PixelFn& fn) {
  Bitmap b(w, h, 24);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* p = b.row(y);
    for (int x = 0; x < w; ++x, p += 3) fn(x, y, p[2], p[1], p[0]);
  }
  return b;
}

Bitmap flatImage(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return makeImage(w, h, [&](int, int, std::uint8_t& pr, std::uint8_t& pg, std::uint8_t& pb) {
    pr = r;
    pg = g;
    pb = b;
  });
}

Bitmap noiseImage(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  return makeImage(w, h, [&](int, int, std::uint8_t& r, std::uint8_t& g, std::uint8_t& b) {
    r = static_cast<std::uint8_t>(rng());
    g = static_cast<std::uint8_t>(rng());
    b = static_cast<std::uint8_t>(rng());
  });
}

// Smooth colours with a few hard edges, for when the corpus is missing.
Bitmap syntheticPhoto(int w, int h) {
  return makeImage(w, h, [&](int x, int y, std::uint8_t& r, std::uint8_t& g, std::uint8_t& b) {
    const double blob = std::sin(x * 0.05) * std::cos(y * 0.07);
    r = static_cast<std::uint8_t>(std::clamp(int(120 + 90 * blob), 0, 255));
    g = static_cast<std::uint8_t>(std::clamp(y * 255 / h, 0, 255));
    b = static_cast<std::uint8_t>((x / 13 + y / 17) % 2 ? 200 : 40);
  });
}

Bitmap crop(const Bitmap& src, int x0, int y0, int w, int h) {
  Bitmap out(w, h, 24);
  for (int y = 0; y < h; ++y) std::copy_n(src.row(y0 + y) + 3 * x0, 3 * w, out.row(y));
  return out;
}

// A crop of a camera photo of the corpus (one decode for the whole program), or a synthetic
// image when the corpus is missing.
struct Photo {
  Bitmap image;
  bool fromCorpus = false;
};

const Photo& corpusPhoto() {
  static const Photo photo = [] {
    const std::string path = std::string(VEXO_CORPUS_DIR) + "/photos/p01.jpg";
    try {
      const Bitmap full =
          DecodeJpegWithLibjpeg(readWholeFile(path, 1ull << 30), DecodeLimits::defaults());
      return Photo{crop(full, full.width() / 2 - 160, full.height() / 2 - 120, 320, 240), true};
    } catch (const std::exception&) {
      return Photo{syntheticPhoto(320, 240), false};
    }
  }();
  return photo;
}

const Bitmap& photo() {
  return corpusPhoto().image;
}

// ---- encoding through TJpegEx ----

struct Options {
  int quality = 75;
  int sampling = 0;  // kGray: Grayscale
  int restart = 0;
  std::string comment;
  std::uint8_t unit = 0;
  std::uint16_t xDensity = 0, yDensity = 0;

  Options& q(int v) { return quality = v, *this; }
  Options& s(int v) { return sampling = v, *this; }
  Options& rst(int v) { return restart = v, *this; }
  Options& com(std::string v) { return comment = std::move(v), *this; }
  Options& density(std::uint8_t u, std::uint16_t x, std::uint16_t y) {
    unit = u;
    xDensity = x;
    yDensity = y;
    return *this;
  }
};

Bytes encode(const Bitmap& image, const Options& o) {
  TJpegEx jpeg;
  jpeg.assign(image);
  jpeg.setQuality(o.quality);
  jpeg.setSampling(o.sampling == kGray ? 0 : o.sampling);
  jpeg.setGrayscale(o.sampling == kGray);
  jpeg.setRestartInterval(o.restart);
  jpeg.Comment = o.comment;
  jpeg.DensityUnit = o.unit;
  jpeg.XDensity = o.xDensity;
  jpeg.YDensity = o.yDensity;
  jpeg.Encode();
  return jpeg.compressedData();
}

// ---- reading the stream back ----

struct Segment {
  std::uint8_t marker = 0;
  Bytes bytes;  // the whole segment from FF, length field included
};

struct Stream {
  std::vector<Segment> segments;  // SOI up to SOS
  Bytes entropy;                  // behind SOS up to the final EOI
  bool endsWithEoi = false;
};

Stream parse(const Bytes& data) {
  Stream s;
  if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8) throw std::runtime_error("no SOI");
  s.segments.push_back({0xD8, {0xFF, 0xD8}});
  std::size_t pos = 2;
  for (;;) {
    if (pos + 4 > data.size() || data[pos] != 0xFF) throw std::runtime_error("bad segment");
    const std::uint8_t marker = data[pos + 1];
    const std::size_t length = data[pos + 2] * 256u + data[pos + 3];
    if (pos + 2 + length > data.size()) throw std::runtime_error("segment too long");
    s.segments.push_back({marker, Bytes(data.begin() + static_cast<long>(pos),
                                        data.begin() + static_cast<long>(pos + 2 + length))});
    pos += 2 + length;
    if (marker == 0xDA) break;
  }
  s.endsWithEoi = data.size() >= pos + 2 && data[data.size() - 2] == 0xFF && data.back() == 0xD9;
  s.entropy.assign(data.begin() + static_cast<long>(pos), data.end() - (s.endsWithEoi ? 2 : 0));
  return s;
}

std::vector<std::uint8_t> markersOf(const Stream& s) {
  std::vector<std::uint8_t> m;
  for (const auto& seg : s.segments) m.push_back(seg.marker);
  return m;
}

const Segment& segment(const Stream& s, std::uint8_t marker) {
  for (const auto& seg : s.segments)
    if (seg.marker == marker) return seg;
  throw std::runtime_error("segment missing");
}

// Marker codes inside the entropy-coded data (FF 00 is a data byte).
std::vector<std::uint8_t> restartMarkers(const Bytes& entropy) {
  std::vector<std::uint8_t> m;
  for (std::size_t i = 0; i + 1 < entropy.size(); ++i)
    if (entropy[i] == 0xFF && entropy[i + 1] != 0x00) m.push_back(entropy[++i]);
  return m;
}

// ---- the standard Huffman tables, as the format's encoder writes them ----

struct HuffmanList {
  std::uint8_t classId;
  std::array<std::uint8_t, 16> counts;
  std::vector<std::uint8_t> symbols;
};

std::vector<std::uint8_t> acSymbols(bool luminance) {
  std::vector<std::uint8_t> s;
  auto runSymbols = [&](int from, int to) {
    for (int r = from; r <= to; ++r)
      for (int size = 1; size <= 10; ++size) s.push_back(static_cast<std::uint8_t>(r * 16 + size));
  };
  if (luminance) {
    s = {0x01, 0x02, 0x03, 0x00, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    runSymbols(1, 4);
    s.push_back(0xF0);
    runSymbols(5, 15);
  } else {
    s = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    runSymbols(1, 2);
    s.push_back(0xF0);
    runSymbols(3, 15);
  }
  return s;
}

const std::array<HuffmanList, 4>& standardTables() {
  static const std::array<HuffmanList, 4> tables = {{
      {0x00,
       {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {0x01,
       {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {0x10, {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125}, acSymbols(true)},
      {0x11, {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 119}, acSymbols(false)},
  }};
  return tables;
}

// Canonical codes by symbol: (code, length).
std::array<std::pair<std::uint32_t, int>, 256> codesOf(const HuffmanList& t) {
  std::array<std::pair<std::uint32_t, int>, 256> codes{};
  std::uint32_t code = 0;
  std::size_t next = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < t.counts[static_cast<std::size_t>(length - 1)]; ++i)
      codes[t.symbols.at(next++)] = {code++, length};
    code <<= 1;
  }
  return codes;
}

// ---- a plain reference encoder, step by step as the format defines it ----

class BitSink {
 public:
  explicit BitSink(Bytes& out) : out_(out) {}
  void put(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i)
      bits_.push_back(static_cast<std::uint8_t>((value >> i) & 1));
  }
  void flush() {
    while (bits_.size() % 8) bits_.push_back(1);
    for (std::size_t i = 0; i < bits_.size(); i += 8) {
      int byte = 0;
      for (std::size_t j = 0; j < 8; ++j) byte = byte * 2 + bits_[i + j];
      out_.push_back(static_cast<std::uint8_t>(byte));
      if (byte == 0xFF) out_.push_back(0x00);
    }
    bits_.clear();
  }

 private:
  Bytes& out_;
  std::vector<std::uint8_t> bits_;
};

std::array<int, 64> referenceQuantTable(int quality) {
  static const int base[64] = {8,  6,  5,  8,  12, 20, 26, 31, 6,  6,  7,  10, 13, 29, 30, 28,
                               7,  7,  8,  12, 20, 29, 35, 28, 7,  9,  11, 15, 26, 44, 40, 31,
                               9,  11, 19, 28, 34, 55, 52, 39, 12, 18, 28, 32, 41, 52, 57, 46,
                               25, 32, 39, 44, 52, 61, 60, 51, 36, 46, 48, 49, 56, 50, 52, 50};
  const int q = std::clamp(quality, 1, 100);
  const double factor = q < 50 ? 50.0 / q : (100 - q) / 50.0;
  std::array<int, 64> t{};
  for (int k = 0; k < 64; ++k)
    t[static_cast<std::size_t>(k)] =
        std::clamp(static_cast<int>(std::nearbyint(base[jpeg::kZigzag[k]] * factor)), 1, 255);
  return t;
}

Bytes referenceEncode(const Bitmap& image, const Options& o) {
  const bool gray = o.sampling == kGray;
  int h[3] = {2, 1, 1}, v[3] = {2, 1, 1};
  if (o.sampling == 1) v[0] = 1;
  if (o.sampling == 2 || gray) h[0] = v[0] = 1;
  const int components = gray ? 1 : 3;
  const int width = image.width(), height = image.height();
  const auto qt = referenceQuantTable(o.quality);

  Bytes out = {0xFF, 0xD8};
  auto p16 = [&](int x) {
    out.push_back(static_cast<std::uint8_t>(x >> 8));
    out.push_back(static_cast<std::uint8_t>(x));
  };
  if (!o.comment.empty()) {
    out.insert(out.end(), {0xFF, 0xFE});
    p16(static_cast<int>(o.comment.size()) + 3);
    out.insert(out.end(), o.comment.begin(), o.comment.end());
    out.push_back(0);
  }
  out.insert(out.end(), {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, o.unit});
  p16(o.xDensity);
  p16(o.yDensity);
  out.insert(out.end(), {0, 0});
  out.insert(out.end(), {0xFF, 0xDB});
  p16(2 + 65 * (gray ? 1 : 2));
  for (int t = 0; t < (gray ? 1 : 2); ++t) {
    out.push_back(static_cast<std::uint8_t>(t));
    for (int x : qt) out.push_back(static_cast<std::uint8_t>(x));
  }
  out.insert(out.end(), {0xFF, 0xC0});
  p16(gray ? 11 : 17);
  out.push_back(8);
  p16(height);
  p16(width);
  out.push_back(static_cast<std::uint8_t>(components));
  for (int c = 0; c < components; ++c)
    out.insert(out.end(),
               {static_cast<std::uint8_t>(c + 1), static_cast<std::uint8_t>(h[c] * 16 + v[c]),
                static_cast<std::uint8_t>(c == 0 ? 0 : 1)});
  std::vector<const HuffmanList*> dht;
  for (const auto& t : standardTables())
    if (!gray || (t.classId & 1) == 0) dht.push_back(&t);
  out.insert(out.end(), {0xFF, 0xC4});
  int dhtLength = 2;
  for (const auto* t : dht) dhtLength += 17 + static_cast<int>(t->symbols.size());
  p16(dhtLength);
  for (const auto* t : dht) {
    out.push_back(t->classId);
    out.insert(out.end(), t->counts.begin(), t->counts.end());
    out.insert(out.end(), t->symbols.begin(), t->symbols.end());
  }
  if (o.restart > 0) {
    out.insert(out.end(), {0xFF, 0xDD, 0x00, 0x04});
    p16(o.restart);
  }
  out.insert(out.end(), {0xFF, 0xDA});
  p16(gray ? 8 : 12);
  out.push_back(static_cast<std::uint8_t>(components));
  if (gray)
    out.insert(out.end(), {1, 0x00});
  else
    out.insert(out.end(), {1, 0x00, 2, 0x11, 3, 0x11});
  out.insert(out.end(), {0, 63, 0});

  // Planes of whole MCUs, 128 outside the image.
  const int mcuW = 8 * h[0], mcuH = 8 * v[0];
  const int across = (width + mcuW - 1) / mcuW, down = (height + mcuH - 1) / mcuH;
  const int pw = across * mcuW, ph = down * mcuH;
  std::vector<Bytes> planes(3, Bytes(static_cast<std::size_t>(pw) * ph, 128));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* px = image.row(y) + 3 * x;
      const int r = px[2], g = px[1], b = px[0];
      const int yy = (29900 * r + 58700 * g + 11400 * b + 50000) / 100000;
      const int cb = (-16874 * r - 33126 * g + 50000 * b + 50000) / 100000 + 128;
      const int cr = (50000 * r - 41869 * g - 8131 * b + 50000) / 100000 + 128;
      const std::size_t i = static_cast<std::size_t>(y) * pw + x;
      planes[0][i] = static_cast<std::uint8_t>(std::clamp(yy, 0, 255));
      planes[1][i] = static_cast<std::uint8_t>(std::clamp(cb, 0, 255));
      planes[2][i] = static_cast<std::uint8_t>(std::clamp(cr, 0, 255));
    }

  const auto tables = standardTables();
  const std::array<decltype(codesOf(tables[0])), 4> codes = {
      codesOf(tables[0]), codesOf(tables[1]), codesOf(tables[2]), codesOf(tables[3])};
  BitSink bits(out);
  auto putValue = [&](const auto& table, int run, int value) {
    int s = 0;
    while (std::abs(value) >= (1 << s)) ++s;
    const auto [code, length] = table[static_cast<std::size_t>(run * 16 + s)];
    if (length == 0) throw std::runtime_error("no code");
    bits.put(code, length);
    if (s) bits.put(static_cast<std::uint32_t>(value < 0 ? value - 1 : value) & ((1u << s) - 1), s);
  };
  int predictor[3] = {0, 0, 0};
  int counter = 0, number = 0;
  const int count = across * down;
  for (int m = 0; m < count; ++m) {
    const int x0 = mcuW * (m % across), y0 = mcuH * (m / across);
    for (int c = 0; c < components; ++c) {
      const int sx = 10 * h[0] / h[c], sy = 10 * v[0] / v[c];
      for (int k = 0; k < h[c] * v[c]; ++k) {
        const int bx = 8 * (k % h[c]) + x0, by = 8 * (k / h[c]) + y0;
        std::uint8_t samples[64];
        for (int i = 0; i < 8; ++i)
          for (int j = 0; j < 8; ++j)
            samples[i * 8 + j] =
                planes[static_cast<std::size_t>(c)]
                      [static_cast<std::size_t>(by + i * sy / 10) * pw + bx + j * sx / 10];
        std::int32_t f[64];
        jpeg::ForwardDct(samples, f);
        int value[64];
        for (int z = 0; z < 64; ++z) {
          const int q = qt[static_cast<std::size_t>(z)];
          value[z] = (f[jpeg::kZigzag[z]] + q / 2) / q;
        }
        putValue(codes[c == 0 ? 0 : 1], 0, value[0] - predictor[c]);
        predictor[c] = value[0];
        const auto& ac = codes[c == 0 ? 2 : 3];
        int zeros = 0;
        for (int z = 1; z < 64; ++z) {
          if (value[z] == 0) {
            ++zeros;
            continue;
          }
          for (; zeros > 15; zeros -= 16) putValue(ac, 15, 0);
          putValue(ac, zeros, value[z]);
          zeros = 0;
        }
        if (zeros > 0) putValue(ac, 0, 0);
      }
    }
    if (++counter == o.restart && m + 1 < count) {
      bits.flush();
      out.insert(out.end(), {0xFF, static_cast<std::uint8_t>(0xD0 + number)});
      number = (number + 1) % 8;
      counter = 0;
      predictor[0] = predictor[1] = predictor[2] = 0;
    }
  }
  bits.flush();
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

// ---- djpeg ----

// djpeg's decoding of JPEG data; empty when djpeg fails or warns.
test::Pnm djpeg(const Bytes& jpeg) {
  test::TempDir dir;
  const std::string file = dir.file("in.jpg");
  test::writeFile(file, jpeg);
  int code = 0;
  test::Pnm d = test::djpeg(file, "", &code);
  return code == 0 ? d : test::Pnm{};
}

// The image's luminance by the encoder's formula, top-down.
Bytes luminance(const Bitmap& image) {
  Bytes y;
  for (int row = 0; row < image.height(); ++row) {
    const std::uint8_t* p = image.row(row);
    for (int x = 0; x < image.width(); ++x, p += 3)
      y.push_back(
          static_cast<std::uint8_t>((29900 * p[2] + 58700 * p[1] + 11400 * p[0] + 50000) / 100000));
  }
  return y;
}

double psnr(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(a.size())));
}

// PSNR of djpeg's decoding of our output against the source (its luminance for gray output).
double decodedPsnr(const Bitmap& image, const Bytes& jpeg) {
  const test::Pnm d = djpeg(jpeg);
  if (d.width != image.width() || d.height != image.height()) return 0;
  return psnr(d.samples, d.channels == 3 ? test::bitmapRgb(image) : luminance(image));
}

// ======================================================================================
// Segment layout

struct LayoutCase {
  const char* name;
  Options options;
  std::vector<std::uint8_t> markers;
  int dqtLength, sofLength, dhtLength, sosLength;
};

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, SegmentsInOrderWithTheirLengths) {
  const auto& c = GetParam();
  const Stream s = parse(encode(photo(), c.options));
  EXPECT_EQ(markersOf(s), c.markers);
  EXPECT_TRUE(s.endsWithEoi);
  auto length = [&](std::uint8_t m) { return static_cast<int>(segment(s, m).bytes.size()) - 2; };
  EXPECT_EQ(length(0xDB), c.dqtLength);
  EXPECT_EQ(length(0xC0), c.sofLength);
  EXPECT_EQ(length(0xC4), c.dhtLength);
  EXPECT_EQ(length(0xDA), c.sosLength);
}

// DHT: 2 + (17 + 12) × 2 + (17 + 162) × 2 in colour, 2 + 29 + 179 in gray.
INSTANTIATE_TEST_SUITE_P(
    Encoder, LayoutTest,
    ::testing::Values(
        LayoutCase{"Colour", {}, {0xD8, 0xE0, 0xDB, 0xC0, 0xC4, 0xDA}, 132, 17, 418, 12},
        LayoutCase{"Comment",
                   Options().com("x"),
                   {0xD8, 0xFE, 0xE0, 0xDB, 0xC0, 0xC4, 0xDA},
                   132,
                   17,
                   418,
                   12},
        LayoutCase{
            "Gray", Options().s(kGray), {0xD8, 0xE0, 0xDB, 0xC0, 0xC4, 0xDA}, 67, 11, 210, 8},
        LayoutCase{"Restart",
                   Options().rst(7),
                   {0xD8, 0xE0, 0xDB, 0xC0, 0xC4, 0xDD, 0xDA},
                   132,
                   17,
                   418,
                   12},
        LayoutCase{"GrayCommentRestart",
                   Options().s(kGray).rst(1).com("abc"),
                   {0xD8, 0xFE, 0xE0, 0xDB, 0xC0, 0xC4, 0xDD, 0xDA},
                   67,
                   11,
                   210,
                   8}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Encoder, StartsWithCommentOrApp0) {
  const Bytes plain = encode(flatImage(8, 8, 1, 2, 3), {});
  const Bytes commented = encode(flatImage(8, 8, 1, 2, 3), Options().com("hello"));
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 4), (Bytes{0xFF, 0xD8, 0xFF, 0xE0}));
  EXPECT_EQ(Bytes(commented.begin(), commented.begin() + 4), (Bytes{0xFF, 0xD8, 0xFF, 0xFE}));
}

TEST(Encoder, CommentSegmentBytes) {
  const Stream s = parse(encode(flatImage(8, 8, 9, 9, 9), Options().com("abc")));
  EXPECT_EQ(segment(s, 0xFE).bytes, (Bytes{0xFF, 0xFE, 0x00, 0x06, 0x61, 0x62, 0x63, 0x00}));
}

TEST(Encoder, App0Bytes) {
  const Stream s = parse(encode(flatImage(8, 8, 9, 9, 9), Options().density(1, 300, 0x1234)));
  EXPECT_EQ(segment(s, 0xE0).bytes, (Bytes{0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01,
                                           0x01, 0x01, 0x01, 0x2C, 0x12, 0x34, 0x00, 0x00}));
  const Stream defaults = parse(encode(flatImage(8, 8, 9, 9, 9), {}));
  EXPECT_EQ(segment(defaults, 0xE0).bytes,
            (Bytes{0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00}));
}

struct FrameCase {
  int sampling;
  Bytes sof;  // from the marker on
  Bytes sos;
};

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, FrameAndScanHeaders) {
  const auto& c = GetParam();
  const Stream s = parse(encode(flatImage(300, 17, 50, 100, 150), Options().s(c.sampling)));
  EXPECT_EQ(segment(s, 0xC0).bytes, c.sof);
  EXPECT_EQ(segment(s, 0xDA).bytes, c.sos);
}

const Bytes kColourSos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                          0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};

// Height 17 = 0x0011, width 300 = 0x012C.
INSTANTIATE_TEST_SUITE_P(
    Encoder, FrameTest,
    ::testing::Values(FrameCase{0,
                                {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x11, 0x01, 0x2C, 0x03, 0x01,
                                 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01},
                                kColourSos},
                      FrameCase{1,
                                {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x11, 0x01, 0x2C, 0x03, 0x01,
                                 0x21, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01},
                                kColourSos},
                      FrameCase{2,
                                {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x11, 0x01, 0x2C, 0x03, 0x01,
                                 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01},
                                kColourSos},
                      FrameCase{kGray,
                                {0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x11, 0x01, 0x2C, 0x01, 0x01,
                                 0x11, 0x00},
                                {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00}}),
    [](const auto& p) { return samplingName(p.param.sampling); });

TEST(Encoder, SamplingAboveTwoActsAsZeroAndGrayKeepsSampling) {
  TJpegEx jpeg;
  jpeg.setSampling(7);
  EXPECT_EQ(jpeg.component(0).h, 2);
  EXPECT_EQ(jpeg.component(0).v, 2);
  jpeg.setSampling(1);
  jpeg.setGrayscale(true);
  EXPECT_EQ(jpeg.component(0).h, 1);
  EXPECT_EQ(jpeg.component(0).v, 1);
  EXPECT_EQ(jpeg.component(1).h, 0);
  EXPECT_EQ(jpeg.component(2).v, 0);
  jpeg.setGrayscale(false);
  EXPECT_EQ(jpeg.component(0).h, 2);
  EXPECT_EQ(jpeg.component(0).v, 1);
  EXPECT_EQ(jpeg.component(1).h, 1);
  EXPECT_EQ(jpeg.component(2).v, 1);
}

// ---- quantisation tables ----

Bytes dqtTable(const Stream& s, int index) {
  const Bytes& b = segment(s, 0xDB).bytes;
  const auto start = 4 + 65 * static_cast<std::size_t>(index);
  EXPECT_EQ(b.at(start), index);
  return Bytes(b.begin() + static_cast<long>(start + 1), b.begin() + static_cast<long>(start + 65));
}

struct QuantCase {
  int quality;
  Bytes table;  // zigzag order
};

class QuantTest : public ::testing::TestWithParam<QuantCase> {};

TEST_P(QuantTest, BothTablesScaledFromTheBaseTable) {
  const auto& c = GetParam();
  const Stream s = parse(encode(flatImage(8, 8, 0, 0, 0), Options().q(c.quality)));
  EXPECT_EQ(dqtTable(s, 0), c.table);
  EXPECT_EQ(dqtTable(s, 1), c.table);
}

Bytes uniform(std::uint8_t v) {
  return Bytes(64, v);
}

// Quality 1: every base entry × 50 passes 255 except base 5 (250), at zigzag positions 5.
Bytes quality1Table() {
  Bytes t = uniform(255);
  t[5] = 250;
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, QuantTest,
    ::testing::Values(
        QuantCase{50, {8,  6,  6,  7,  6,  5,  8,  7,  7,  7,  9,  9,  8,  10, 12, 20,
                       13, 12, 11, 11, 12, 25, 18, 19, 15, 20, 29, 26, 31, 30, 29, 26,
                       28, 28, 32, 36, 46, 39, 32, 34, 44, 35, 28, 28, 40, 55, 41, 44,
                       48, 49, 52, 52, 52, 31, 39, 57, 61, 56, 50, 60, 46, 51, 52, 50}},
        // Halves go to the even neighbour: base 5 gives 2, base 7 gives 4.
        QuantCase{75, {4,  3,  3,  4,  3,  2,  4,  4,  4,  4,  4,  4,  4,  5,  6,  10,
                       6,  6,  6,  6,  6,  12, 9,  10, 8,  10, 14, 13, 16, 15, 14, 13,
                       14, 14, 16, 18, 23, 20, 16, 17, 22, 18, 14, 14, 20, 28, 20, 22,
                       24, 24, 26, 26, 26, 16, 20, 28, 30, 28, 25, 30, 23, 26, 26, 25}},
        QuantCase{100, uniform(1)}, QuantCase{1, quality1Table()},
        // Outside 1..100 the quality is clamped.
        QuantCase{0, quality1Table()}, QuantCase{-5, quality1Table()}, QuantCase{101, uniform(1)},
        QuantCase{255, uniform(1)}),
    [](const auto& p) {
      const int q = p.param.quality;
      return q < 0 ? "q_minus" + std::to_string(-q) : "q" + std::to_string(q);
    });

TEST(Encoder, QualityIsClampedAndRebuildsTablesAtOnce) {
  TJpegEx jpeg;
  EXPECT_EQ(jpeg.Quality(), 75);
  ASSERT_EQ(jpeg.quantTables().size(), 2u);
  EXPECT_EQ(jpeg.quantTables()[0].values[0], 4);
  jpeg.setQuality(50);
  EXPECT_EQ(jpeg.quantTables()[0].values[0], 8);
  EXPECT_EQ(jpeg.quantTables()[1].values[0], 8);
  jpeg.setQuality(0);
  EXPECT_EQ(jpeg.Quality(), 1);
  jpeg.setQuality(1000);
  EXPECT_EQ(jpeg.Quality(), 100);
  jpeg.setRestartInterval(70000);
  EXPECT_EQ(jpeg.RestartInterval(), 65535);
  jpeg.setRestartInterval(-1);
  EXPECT_EQ(jpeg.RestartInterval(), 0);
}

// ---- Huffman tables ----

TEST(Encoder, DhtCarriesTheStandardListsInOrder) {
  for (int sampling : {0, kGray}) {
    const Stream s = parse(encode(photo(), Options().s(sampling)));
    Bytes expected = {0xFF, 0xC4, 0, 0};
    for (const auto& t : standardTables()) {
      if (sampling == kGray && (t.classId & 1)) continue;
      expected.push_back(t.classId);
      expected.insert(expected.end(), t.counts.begin(), t.counts.end());
      expected.insert(expected.end(), t.symbols.begin(), t.symbols.end());
    }
    expected[2] = static_cast<std::uint8_t>((expected.size() - 2) >> 8);
    expected[3] = static_cast<std::uint8_t>(expected.size() - 2);
    EXPECT_EQ(segment(s, 0xC4).bytes, expected) << "sampling " << sampling;
  }
}

TEST(Encoder, AcLuminanceCodesOfTheWrittenTable) {
  // Canonical codes of the AC luminance list as written: 0x01 → 00, 0x02 → 01, 0x03 → 100,
  // end of block → 1010, 0x04 → 1011, 0x05 → 1100.
  const Stream s = parse(encode(flatImage(8, 8, 1, 1, 1), {}));
  const Bytes& dht = segment(s, 0xC4).bytes;
  std::size_t pos = 4;
  HuffmanList ac{};
  while (pos < dht.size()) {
    HuffmanList t{};
    t.classId = dht[pos++];
    std::size_t n = 0;
    for (auto& count : t.counts) n += count = dht[pos++];
    t.symbols.assign(dht.begin() + static_cast<long>(pos),
                     dht.begin() + static_cast<long>(pos + n));
    pos += n;
    if (t.classId == 0x10) ac = t;
  }
  ASSERT_EQ(ac.classId, 0x10);
  const auto codes = codesOf(ac);
  using Code = std::pair<std::uint32_t, int>;
  EXPECT_EQ(codes[0x01], (Code{0b00, 2}));
  EXPECT_EQ(codes[0x02], (Code{0b01, 2}));
  EXPECT_EQ(codes[0x03], (Code{0b100, 3}));
  EXPECT_EQ(codes[0x00], (Code{0b1010, 4}));
  EXPECT_EQ(codes[0x04], (Code{0b1011, 4}));
  EXPECT_EQ(codes[0x05], (Code{0b1100, 4}));
}

// ---- entropy-coded data ----

Bytes packBits(const std::string& bits) {
  std::string b = bits;
  while (b.size() % 8) b += '1';
  Bytes out;
  for (std::size_t i = 0; i < b.size(); i += 8) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(b.substr(i, 8), nullptr, 2)));
    if (out.back() == 0xFF) out.push_back(0x00);
  }
  return out;
}

TEST(Encoder, FlatMidGrayBlocksAreDcZeroAndEndOfBlock) {
  // (128, 128, 128) is Y = Cb = Cr = 128: every coefficient is 0. Per block the DC difference 0
  // (luminance 00, chrominance 00) and end of block (luminance 1010, chrominance 00).
  struct Case {
    int w, h, sampling;
    std::string mcuBits;
    int mcus;
  };
  const Case cases[] = {
      {9, 9, 2,
       "001010"
       "0000"
       "0000",
       4},
      {9, 9, 0,
       "001010001010001010001010"
       "0000"
       "0000",
       1},
      {20, 9, 1,
       "001010001010"
       "0000"
       "0000",
       4},
      {9, 9, kGray, "001010", 4},
  };
  for (const auto& c : cases) {
    std::string bits;
    for (int i = 0; i < c.mcus; ++i) bits += c.mcuBits;
    const Stream s = parse(encode(flatImage(c.w, c.h, 128, 128, 128), Options().s(c.sampling)));
    EXPECT_EQ(s.entropy, packBits(bits)) << c.w << "x" << c.h << " sampling " << c.sampling;
  }
}

TEST(Encoder, PaddingIsMidGrayNotRepeatedEdges) {
  // A 17 × 9 black image codes like the image of its padded size (whole MCUs) that is black in
  // the same place and (128, 128, 128) elsewhere.
  struct Case {
    int sampling, paddedWidth, paddedHeight;
  };
  for (const Case c : {Case{0, 32, 16}, Case{1, 32, 16}, Case{2, 24, 16}, Case{kGray, 24, 16}}) {
    const Bitmap small = flatImage(17, 9, 0, 0, 0);
    const Bitmap padded =
        makeImage(c.paddedWidth, c.paddedHeight,
                  [](int x, int y, std::uint8_t& r, std::uint8_t& g, std::uint8_t& b) {
                    r = g = b = (x < 17 && y < 9) ? 0 : 128;
                  });
    const Stream a = parse(encode(small, Options().s(c.sampling)));
    const Stream b = parse(encode(padded, Options().s(c.sampling)));
    EXPECT_EQ(a.entropy, b.entropy) << "sampling " << c.sampling;
    // Repeated edges would differ: black padding codes otherwise.
    const Stream black =
        parse(encode(flatImage(c.paddedWidth, c.paddedHeight, 0, 0, 0), Options().s(c.sampling)));
    EXPECT_NE(a.entropy, black.entropy);
  }
}

struct McuCase {
  int w, h, sampling;
  int mcus;
};

class McuCountTest : public ::testing::TestWithParam<McuCase> {};

TEST_P(McuCountTest, OneRestartMarkerBetweenEveryTwoMcus) {
  const auto& c = GetParam();
  const Stream s = parse(encode(noiseImage(c.w, c.h, 5), Options().s(c.sampling).rst(1)));
  std::vector<std::uint8_t> expected;
  for (int i = 0; i + 1 < c.mcus; ++i) expected.push_back(static_cast<std::uint8_t>(0xD0 + i % 8));
  EXPECT_EQ(restartMarkers(s.entropy), expected);
  EXPECT_EQ(segment(s, 0xDD).bytes, (Bytes{0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01}));
}

INSTANTIATE_TEST_SUITE_P(Encoder, McuCountTest,
                         ::testing::Values(McuCase{17, 9, 0, 2}, McuCase{17, 9, 1, 4},
                                           McuCase{17, 9, 2, 6}, McuCase{17, 9, kGray, 6},
                                           McuCase{1, 1, 0, 1}, McuCase{48, 16, 0, 3},
                                           McuCase{16, 81, 2, 22}, McuCase{33, 65, 0, 15}),
                         [](const auto& p) {
                           return sizeName(p.param.w, p.param.h) + "_" +
                                  samplingName(p.param.sampling);
                         });

TEST(Encoder, RestartEveryNMcusAndNoneAfterTheLast) {
  struct Case {
    int mcus, interval;
    std::vector<std::uint8_t> markers;
  };
  const Case cases[] = {{3, 1, {0xD0, 0xD1}}, {3, 3, {}}, {3, 2, {0xD0}},
                        {6, 2, {0xD0, 0xD1}}, {3, 0, {}}, {3, 65535, {}}};
  for (const auto& c : cases) {
    const Stream s = parse(encode(noiseImage(16 * c.mcus, 16, 9), Options().rst(c.interval)));
    EXPECT_EQ(restartMarkers(s.entropy), c.markers) << c.mcus << " MCUs, interval " << c.interval;
  }
}

// ---- byte for byte against the reference encoder ----

struct ReferenceCase {
  int w, h;
  int sampling;
  Options options;  // sampling is taken from above
  bool noise;
  int level;  // instruction set of the encoder
};

class ReferenceTest : public ::testing::TestWithParam<ReferenceCase> {
 protected:
  void TearDown() override { jpeg::UseEncoderLevel(-1); }
};

TEST_P(ReferenceTest, SameBytesAsThePlainEncoder) {
  ReferenceCase c = GetParam();
  c.options.sampling = c.sampling;
  if (!jpeg::UseEncoderLevel(c.level)) GTEST_SKIP() << "the processor lacks level " << c.level;
  const Bitmap image = c.noise ? noiseImage(c.w, c.h, 77) : crop(photo(), 40, 30, c.w, c.h);
  const Bytes ours = encode(image, c.options);
  const Bytes reference = referenceEncode(image, c.options);
  ASSERT_EQ(ours.size(), reference.size());
  EXPECT_TRUE(ours == reference);
}

std::vector<ReferenceCase> referenceCases() {
  std::vector<ReferenceCase> cases;
  const std::pair<int, int> sizes[] = {{1, 1}, {17, 9}, {33, 65}, {64, 48}, {95, 41}};
  const Options options[] = {
      Options().q(75),         Options().q(10).rst(1),
      Options().q(100).rst(5), Options().q(50).com("Vexo").density(2, 40, 41),
      Options().q(1).rst(2),   Options().q(90),
  };
  for (int level : {0, 1, 2})
    for (const auto& [w, h] : sizes)
      for (int sampling : {0, 1, 2, kGray})
        for (const auto& o : options)
          for (bool noise : {false, true}) cases.push_back({w, h, sampling, o, noise, level});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Encoder, ReferenceTest, ::testing::ValuesIn(referenceCases()),
                         [](const auto& p) {
                           const ReferenceCase& c = p.param;
                           return sizeName(c.w, c.h) + "_" + samplingName(c.sampling) + "_q" +
                                  std::to_string(c.options.quality) +
                                  (c.noise ? "_noise_" : "_smooth_") + levelName(c.level);
                         });

// ---- colour conversion ----

// Colour conversion at each instruction-set level (0 baseline, 1 AVX2, 2 AVX-512).
class ColourTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!jpeg::UseEncoderLevel(GetParam()))
      GTEST_SKIP() << "the processor lacks level " << GetParam();
  }
  void TearDown() override { jpeg::UseEncoderLevel(-1); }
};

TEST_P(ColourTest, EveryColour) {
  // Rows of 256 blues for every red and green; the 255-pixel rows with step 2 end off the
  // vector widths, so the remainder path is checked too.
  std::vector<std::uint8_t> row(256 * 3), y(256), cb(256), cr(256), cb2(128), cr2(128);
  long mismatches = 0;
  for (int r = 0; r < 256; ++r)
    for (int g = 0; g < 256; ++g) {
      for (int b = 0; b < 256; ++b) {
        row[3 * static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(b);
        row[3 * static_cast<std::size_t>(b) + 1] = static_cast<std::uint8_t>(g);
        row[3 * static_cast<std::size_t>(b) + 2] = static_cast<std::uint8_t>(r);
      }
      jpeg::ConvertBgrRow(row.data(), 256, y.data(), cb.data(), cr.data(), 1);
      jpeg::ConvertBgrRow(row.data(), 255, nullptr, cb2.data(), cr2.data(), 2);
      for (int b = 0; b < 256; ++b) {
        // C++ integer division truncates toward zero, as the format's conversion does.
        const int ey = std::clamp((29900 * r + 58700 * g + 11400 * b + 50000) / 100000, 0, 255);
        const int ecb =
            std::clamp((-16874 * r - 33126 * g + 50000 * b + 50000) / 100000 + 128, 0, 255);
        const int ecr =
            std::clamp((50000 * r - 41869 * g - 8131 * b + 50000) / 100000 + 128, 0, 255);
        const auto i = static_cast<std::size_t>(b);
        mismatches += y[i] != ey || cb[i] != ecb || cr[i] != ecr;
        if (b % 2 == 0) mismatches += cb2[i / 2] != ecb || cr2[i / 2] != ecr;
      }
    }
  EXPECT_EQ(mismatches, 0);
}

TEST_P(ColourTest, EveryRowLengthLikeTheBaseline) {
  // Row lengths around the vector widths and each combination of outputs, pixels from a noise
  // image, against the baseline level; nothing may be written behind the last sample.
  const Bitmap image = noiseImage(140, 1, 11);
  const int level = GetParam();
  for (int count = 1; count <= 140; ++count)
    for (int step : {1, 2})
      for (int outputs : {0, 1, 2}) {  // luminance and chroma, chroma only, luminance only
        const bool withY = outputs != 1, withChroma = outputs != 2;
        if (!withChroma && step == 2) continue;
        const auto samples = static_cast<std::size_t>((count + step - 1) / step);
        std::array<std::vector<std::uint8_t>, 2> y, cb, cr;
        for (std::size_t pass = 0; pass < 2; ++pass) {
          y[pass].assign(static_cast<std::size_t>(count) + 1, 7);
          cb[pass].assign(samples + 1, 7);
          cr[pass].assign(samples + 1, 7);
          jpeg::UseEncoderLevel(pass == 0 ? 0 : level);
          jpeg::ConvertBgrRow(image.row(0), count, withY ? y[pass].data() : nullptr,
                              withChroma ? cb[pass].data() : nullptr,
                              withChroma ? cr[pass].data() : nullptr, step);
        }
        EXPECT_EQ(y[1], y[0]) << count << " step " << step << " outputs " << outputs;
        EXPECT_EQ(cb[1], cb[0]) << count << " step " << step << " outputs " << outputs;
        EXPECT_EQ(cr[1], cr[0]) << count << " step " << step << " outputs " << outputs;
        EXPECT_EQ(y[1].back(), 7);
        EXPECT_EQ(cb[1].back(), 7);
        EXPECT_EQ(cr[1].back(), 7);
      }
}

INSTANTIATE_TEST_SUITE_P(Encoder, ColourTest, ::testing::Values(0, 1, 2),
                         [](const auto& param) { return "Level" + std::to_string(param.param); });

TEST(Encoder, ColourConversionExamples) {
  struct Case {
    std::uint8_t r, g, b, y, cb, cr;
  };
  const Case cases[] = {{255, 255, 255, 255, 128, 128},
                        {0, 0, 255, 29, 255, 108},  // Cb limited from 256
                        {255, 0, 0, 76, 86, 255},   // Cb -42.5 truncated to -42
                        {0, 0, 0, 0, 128, 128},
                        {128, 128, 128, 128, 128, 128}};
  for (const auto& c : cases) {
    const std::uint8_t bgr[3] = {c.b, c.g, c.r};
    std::uint8_t y = 0, cb = 0, cr = 0;
    jpeg::ConvertBgrRow(bgr, 1, &y, &cb, &cr, 1);
    EXPECT_EQ(y, c.y);
    EXPECT_EQ(cb, c.cb);
    EXPECT_EQ(cr, c.cr);
  }
}

// ---- decoding by libjpeg-turbo ----

struct QualityCase {
  int quality;
  int sampling;
  double minPsnr;
};

class DecodeQualityTest : public ::testing::TestWithParam<QualityCase> {};

TEST_P(DecodeQualityTest, DjpegDecodesWithinTheFloor) {
  const auto& c = GetParam();
  if (!corpusPhoto().fromCorpus) GTEST_SKIP() << "the floors belong to the corpus photo";
  const Bitmap& image = photo();
  const double p = decodedPsnr(image, encode(image, Options().q(c.quality).s(c.sampling)));
  EXPECT_GE(p, c.minPsnr);
  RecordProperty("psnr", std::to_string(p));
}

std::vector<QualityCase> qualityCases() {
  // Floors 1 to 2 dB below the values measured on the corpus crop. Point-sampled chroma keeps
  // 4:2:0 and 4:2:2 below 4:4:4 in RGB; gray output is measured against the luminance.
  struct Floor {
    int quality;
    double bySampling[4];  // 0, 1, 2, gray
  };
  const Floor floors[] = {{10, {24, 24, 24, 27.5}},
                          {50, {32, 32.5, 32.5, 35}},
                          {75, {35, 35.5, 36, 39}},
                          {90, {38, 39, 40, 45.5}},
                          {100, {39.5, 41, 44, 58}}};
  std::vector<QualityCase> cases;
  for (const auto& f : floors)
    for (int sampling = 0; sampling < 4; ++sampling)
      cases.push_back({f.quality, sampling, f.bySampling[sampling]});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Encoder, DecodeQualityTest, ::testing::ValuesIn(qualityCases()),
                         [](const auto& p) {
                           return "q" + std::to_string(p.param.quality) + "_" +
                                  samplingName(p.param.sampling);
                         });

class OddSizeTest : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(OddSizeTest, DjpegDecodesToTheSameSize) {
  const auto [w, h, sampling] = GetParam();
  const Bitmap image = crop(photo(), 100, 80, w, h);
  const Bytes jpeg = encode(image, Options().q(100).s(sampling));
  const test::Pnm d = djpeg(jpeg);
  EXPECT_EQ(d.width, w);
  EXPECT_EQ(d.height, h);
  EXPECT_EQ(d.channels, sampling == kGray ? 1 : 3);
  // Quality 100: the floor sits below the 38.6 dB measured for 4:2:0 with one row.
  EXPECT_GE(decodedPsnr(image, jpeg), 36);
}

INSTANTIATE_TEST_SUITE_P(Encoder, OddSizeTest,
                         ::testing::Combine(::testing::Values(1, 17, 33),
                                            ::testing::Values(1, 9, 65),
                                            ::testing::Values(0, 1, 2, kGray)),
                         [](const auto& p) {
                           return sizeName(std::get<0>(p.param), std::get<1>(p.param)) + "_" +
                                  samplingName(std::get<2>(p.param));
                         });

TEST(Encoder, RestartIntervalsDecodeLikeNone) {
  const Bitmap image = crop(photo(), 0, 0, 200, 120);
  for (int sampling : {0, 2, kGray}) {
    const test::Pnm plain = djpeg(encode(image, Options().s(sampling)));
    ASSERT_EQ(plain.width, 200);
    for (int interval : {1, 2, 7, 100}) {
      const Bytes jpeg = encode(image, Options().s(sampling).rst(interval));
      EXPECT_FALSE(restartMarkers(parse(jpeg).entropy).empty());
      const test::Pnm d = djpeg(jpeg);
      EXPECT_EQ(d.samples, plain.samples) << "sampling " << sampling << " interval " << interval;
    }
  }
}

// ---- the object around the encoder ----

TEST(Encoder, ProgressStartsRunsOnChangeAndEnds) {
  TJpegEx jpeg;
  jpeg.assign(noiseImage(48, 16, 3));  // 3 MCUs
  std::vector<std::tuple<ProgressStage, int, std::string>> calls;
  jpeg.OnProgress = [&](ProgressStage stage, int percent, std::string_view message) {
    calls.emplace_back(stage, percent, std::string(message));
  };
  jpeg.Encode();
  using Call = std::tuple<ProgressStage, int, std::string>;
  const std::vector<Call> expected = {{ProgressStage::Starting, 0, "初期化中"},
                                      {ProgressStage::Running, 0, "エンコード中"},
                                      {ProgressStage::Running, 33, "エンコード中"},
                                      {ProgressStage::Running, 66, "エンコード中"},
                                      {ProgressStage::Ending, 100, ""}};
  EXPECT_EQ(calls, expected);

  // Many MCUs: each percentage once, in order.
  calls.clear();
  jpeg.assign(noiseImage(16 * 250, 16, 3));
  jpeg.Encode();
  ASSERT_EQ(calls.size(), 102u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(std::get<1>(calls[static_cast<std::size_t>(i) + 1]), i);
}

TEST(Encoder, FailureMidwayClosesTheDataAndEndsProgress) {
  TJpegEx jpeg;
  jpeg.assign(noiseImage(160, 16, 3));  // 10 MCUs
  bool ended = false;
  jpeg.OnProgress = [&](ProgressStage stage, int percent, std::string_view) {
    if (stage == ProgressStage::Ending) ended = true;
    if (stage == ProgressStage::Running && percent >= 50) throw std::runtime_error("stop");
  };
  EXPECT_THROW(jpeg.Encode(), std::runtime_error);
  EXPECT_TRUE(ended);
  const Bytes& data = jpeg.compressedData();
  ASSERT_GE(data.size(), 4u);
  EXPECT_EQ(data[0], 0xFF);
  EXPECT_EQ(data[1], 0xD8);
  EXPECT_EQ(data[data.size() - 2], 0xFF);
  EXPECT_EQ(data.back(), 0xD9);
  // The part written so far: a prefix of the complete stream's headers and data.
  const Bytes full = encode(noiseImage(160, 16, 3), {});
  ASSERT_GT(data.size(), 700u);
  EXPECT_LT(data.size(), full.size());
  // All but the last flushed byte (completed with 1 bits, maybe followed by a stuffed 00).
  EXPECT_TRUE(std::equal(data.begin(), data.end() - 4, full.begin()));
}

TEST(Encoder, NothingWithoutABitmap) {
  TJpegEx jpeg;
  int calls = 0;
  jpeg.OnProgress = [&](ProgressStage, int, std::string_view) { ++calls; };
  jpeg.Encode();
  EXPECT_TRUE(jpeg.compressedData().empty());
  EXPECT_EQ(calls, 0);
}

// ---- Huffman tables of a decoded file ----

Bytes cjpeg(const Bitmap& image, const std::string& flags) {
  test::TempDir dir;
  Bytes ppm;
  const std::string header =
      "P6\n" + std::to_string(image.width()) + " " + std::to_string(image.height()) + "\n255\n";
  ppm.assign(header.begin(), header.end());
  const Bytes rgb = test::bitmapRgb(image);
  ppm.insert(ppm.end(), rgb.begin(), rgb.end());
  test::writeFile(dir.file("in.ppm"), ppm);
  int code = 0;
  runCommand("/usr/bin/cjpeg " + flags + " -outfile " + shellQuote(dir.file("out.jpg")) + " " +
                 shellQuote(dir.file("in.ppm")),
             &code);
  if (code != 0) throw std::runtime_error("cjpeg failed");
  return test::readFile(dir.file("out.jpg"));
}

// The DHT table bodies of a stream, in order, one entry per table.
std::vector<Bytes> dhtTables(const Bytes& data) {
  std::vector<Bytes> tables;
  std::size_t pos = 2;
  while (pos + 4 <= data.size() && data[pos] == 0xFF && data[pos + 1] != 0xDA) {
    const std::size_t length = data[pos + 2] * 256u + data[pos + 3];
    if (data[pos + 1] == 0xC4) {
      std::size_t p = pos + 4;
      while (p < pos + 2 + length) {
        std::size_t n = 0;
        for (std::size_t i = 1; i <= 16; ++i) n += data[p + i];
        tables.emplace_back(data.begin() + static_cast<long>(p),
                            data.begin() + static_cast<long>(p + 17 + n));
        p += 17 + n;
      }
    }
    pos += 2 + length;
  }
  return tables;
}

TEST(Encoder, DecodedFileIsReencodedWithItsOwnTables) {
  // cjpeg writes the code lists of T.81 K.3 to K.6, whose AC symbol order differs from ours.
  const Bitmap image = crop(photo(), 10, 10, 64, 48);
  const Bytes source = cjpeg(image, "-quality 75");
  TJpegEx jpeg;
  jpeg.loadFromMemory(source);
  jpeg.Decode();
  jpeg.Encode();
  const Bytes& ours = jpeg.compressedData();
  auto sorted = [](std::vector<Bytes> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(dhtTables(ours).size(), 4u);
  EXPECT_EQ(sorted(dhtTables(ours)), sorted(dhtTables(source)));
  EXPECT_NE(dhtTables(ours), dhtTables(encode(image, {})));
  const test::Pnm d = djpeg(ours);
  EXPECT_EQ(d.width, 64);
  EXPECT_GE(psnr(d.samples, test::bitmapRgb(image)), 25);
}

TEST(Encoder, FallsBackToStandardTablesWhenTheFileLacksCodes) {
  // Optimised tables hold only the codes that file needed: for a flat image the DC size
  // categories of its first blocks and end of block. At quality 100 the DC values fall into
  // other categories.
  const Bytes source = cjpeg(flatImage(16, 16, 30, 60, 90), "-optimize -quality 75");
  TJpegEx jpeg;
  jpeg.loadFromMemory(source);
  jpeg.Decode();
  ASSERT_NE(jpeg.bitmap(), nullptr);
  const Bitmap decoded = *jpeg.bitmap();
  ASSERT_TRUE(jpeg.huffmanTables().has_value());
  jpeg.setQuality(100);
  jpeg.Encode();
  const Bytes& ours = jpeg.compressedData();
  // The same bytes as a fresh object writes (JFIF densities taken over from the file).
  EXPECT_EQ(ours, encode(decoded,
                         Options().q(100).density(jpeg.DensityUnit, jpeg.XDensity, jpeg.YDensity)));
  EXPECT_EQ(djpeg(ours).width, 16);
}

}  // namespace
}  // namespace vexo
