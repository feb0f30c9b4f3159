// The reader over the corpus with Pillow as the oracle: every GIF loads, and its first frame,
// composited over white, shows the pixels Pillow shows for it, unless corpus.expect records
// another outcome (an error, warnings, a file Pillow refuses or shows otherwise). Hand-made files
// cover the signature, truncated image data, interlacing and animation.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "gif/gif.h"
#include "support/reference.h"

namespace vexo {
namespace {

const std::string kCorpus = VEXO_CORPUS_DIR;

// corpus.expect: "<path below the corpus> <outcome>", # comments.
std::map<std::string, std::string> expectations() {
  std::ifstream in(std::string(VEXO_SOURCE_DIR) + "/tests/gif/corpus.expect");
  std::map<std::string, std::string> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    rows[line.substr(0, space)] = line.substr(space + 1);
  }
  return rows;
}

// Loads within a 64 MiB limit: "ok WxH" and "; warning <text>" for each warning, or the error.
std::string load(std::span<const std::uint8_t> data, TGIFImage& image) {
  DecodeLimits limits;
  limits.maxImageBytes = 64u << 20;
  image.setLimits(limits);
  std::string warnings;
  image.OnWarning = [&](std::string_view text) { warnings += "; warning " + std::string(text); };
  try {
    image.loadFromMemory(data);
  } catch (const GIFException& e) {
    return std::string("error ") + e.what();
  } catch (const ImageSizeError&) {
    return "ImageSizeError";
  }
  return "ok " + std::to_string(image.width()) + "x" + std::to_string(image.height()) + warnings;
}

// The first frame over white as R,G,B rows: its table (local, else global), black past the
// table, white for the transparent index.
std::vector<std::uint8_t> firstFrameOverWhite(const TGIFImage& image) {
  const TGIFSubImage& frame = image.Images.at(0);
  const Palette& table =
      (frame.descriptor.packed & 0x80 ? frame.colorMap : image.Header.colorMap).entries;
  std::vector<std::uint8_t> rgb;
  for (const std::uint8_t index : frame.pixels) {
    PaletteEntry c = index < table.size() ? table[index] : PaletteEntry{};
    if (index == frame.TransparentIndex()) c = {255, 255, 255, 0};
    rgb.insert(rgb.end(), {c.red, c.green, c.blue});
  }
  return rgb;
}

// Pillow's first frame of each file over white: "W H\n" and the RGB bytes, "-\n" where Pillow
// refuses the file. Of truncated image data Pillow shows what it decoded.
std::map<std::string, std::string> pillowFirstFrames(const std::vector<std::string>& paths) {
  const char* const kScript =
      "import sys\nfrom PIL import Image, ImageFile\nImageFile.LOAD_TRUNCATED_IMAGES = True\n"
      "for path in sys.argv[1:]:\n"
      "    try:\n"
      "        im = Image.open(path); im.seek(0); im = im.convert('RGBA')\n"
      "        bg = Image.new('RGBA', im.size, 'white')\n"
      "        rgb = Image.alpha_composite(bg, im).convert('RGB')\n"
      "        out = b'%d %d\\n' % im.size + rgb.tobytes()\n"
      "    except Exception:\n"
      "        out = b'-\\n'\n"
      "    sys.stdout.buffer.write(b'%d\\n' % len(out) + out)\n";
  std::string command = "/usr/bin/python3 -c " + test::shellQuote(kScript);
  for (const auto& p : paths) command += " " + test::shellQuote(p);
  const std::string out = test::runCommand(command);
  std::map<std::string, std::string> frames;
  for (std::size_t i = 0, pos = 0; i < paths.size() && out.find('\n', pos) != out.npos; ++i) {
    const std::size_t nl = out.find('\n', pos), size = std::stoul(out.substr(pos, nl - pos));
    frames[paths[i]] = out.substr(nl + 1, size);
    pos = nl + 1 + size;
  }
  return frames;
}

TEST(GifReaderCorpus, FirstFramesShowWhatPillowShowsOrTheRecordedOutcome) {
  std::vector<std::string> paths;
  for (const auto* folder : {"gif", "malformed/gif-image-gif", "malformed/gif-image-rs",
                             "malformed/gif-pillow", "malformed/gif-wuffs"}) {
    for (const auto& path : test::filesBelow(kCorpus + "/" + folder))
      if (path.ends_with(".gif")) paths.push_back(path);
  }
  ASSERT_GE(paths.size(), 170u);
  const auto expected = expectations();
  const auto pillow = pillowFirstFrames(paths);
  int compared = 0;
  for (const auto& path : paths) {
    const std::string name = path.substr(kCorpus.size() + 1);
    TGIFImage image;
    std::string got = load(test::readFile(path), image);
    const std::string plain = got.substr(0, got.find(';'));
    const std::string& theirs = pillow.at(path);
    int w = 0, h = 0;
    if (!got.starts_with("ok ")) {
    } else if (image.Images.empty()) {
      got += "; no frames";
    } else if (std::sscanf(theirs.c_str(), "%d %d", &w, &h) != 2) {
      got += "; pillow refuses";
    } else {
      // Pillow's pixels where the first frame lies.
      if (w != image.width() || h != image.height())
        got += "; pillow shows " + std::to_string(w) + "x" + std::to_string(h);
      const auto& d = image.Images[0].descriptor;
      const auto ours = firstFrameOverWhite(image);
      bool same = d.left + d.width <= w && d.top + d.height <= h;
      for (std::size_t y = 0; same && y < d.height; ++y) {
        const std::size_t at = theirs.find('\n') + 1 + ((d.top + y) * std::size_t(w) + d.left) * 3;
        same = theirs.compare(at, d.width * 3u,
                              reinterpret_cast<const char*>(ours.data()) + y * d.width * 3,
                              d.width * 3u) == 0;
      }
      if (!same) got += "; differs from pillow";
      compared += same;
    }
    // Unrecorded files load without warnings and show Pillow's pixels.
    const auto row = expected.find(name);
    EXPECT_EQ(got, row != expected.end()      ? row->second
                   : plain.starts_with("ok ") ? plain
                                              : "ok")
        << name;
  }
  EXPECT_GE(compared, 140);
}

// Hand-made files: a 4 × 4 screen with an 8-colour table, and frames whose image data is literal
// codes of 4 bits in one sub-block, a clear code before every 6 so that the width never grows.
struct Frame {
  int left = 0, top = 0, width = 4, height = 4;
  bool interlaced = false, endCode = true;
  int transparent = -1;
  std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(16, 1);
};

std::vector<std::uint8_t> makeGif(const std::vector<Frame>& frames, std::string_view prefix = "",
                                  std::string_view signature = "GIF89a") {
  std::vector<std::uint8_t> out(prefix.begin(), prefix.end());
  out.insert(out.end(), signature.begin(), signature.end());
  out.insert(out.end(), {4, 0, 4, 0, 0xF2, 0, 0});
  for (int i = 0; i < 8; ++i) out.insert(out.end(), {std::uint8_t(i * 32), 0, 0});
  for (const Frame& f : frames) {
    if (f.transparent >= 0)
      out.insert(out.end(), {0x21, 0xF9, 4, 1, 0, 0, std::uint8_t(f.transparent), 0});
    out.push_back(0x2C);
    for (int v : {f.left, f.top, f.width, f.height}) out.insert(out.end(), {std::uint8_t(v), 0});
    out.insert(out.end(), {std::uint8_t(f.interlaced ? 0x40 : 0), 3, 0});
    const std::size_t blockSize = out.size() - 1;
    unsigned bits = 0, count = 0;
    auto put = [&](unsigned code) {
      bits |= code << count;
      for (count += 4; count >= 8; count -= 8, bits >>= 8) out.push_back(std::uint8_t(bits));
    };
    for (std::size_t i = 0; i < f.pixels.size(); ++i) {
      if (i % 6 == 0) put(8);
      put(f.pixels[i]);
    }
    if (f.endCode) put(9);
    if (count) out.push_back(std::uint8_t(bits));
    out[blockSize] = std::uint8_t(out.size() - blockSize - 1);
    out.push_back(0);
  }
  out.push_back(0x3B);
  return out;
}

// The file without its last 6 bytes of codes, block terminator and trailer.
std::vector<std::uint8_t> cut(std::vector<std::uint8_t> gif) {
  gif.resize(gif.size() - 8);
  return gif;
}

std::vector<std::uint8_t> onesThen(std::size_t ones, std::uint8_t fill) {
  std::vector<std::uint8_t> pixels(ones, 1);
  pixels.resize(16, fill);
  return pixels;
}

struct HandMade {
  const char* name;
  std::vector<std::uint8_t> data;
  const char* outcome;
  std::size_t frames = 1;
  std::vector<std::uint8_t> firstFrame = std::vector<std::uint8_t>(16, 1);
};

class GifHandMade : public ::testing::TestWithParam<HandMade> {};

TEST_P(GifHandMade, LoadsEveryFrameWithItsWarnings) {
  TGIFImage image;
  EXPECT_EQ(load(GetParam().data, image), GetParam().outcome);
  ASSERT_EQ(image.Images.size(), GetParam().frames);
  if (GetParam().frames == 0) return;
  EXPECT_EQ(image.Images[0].pixels, GetParam().firstFrame);
}

// A cut leaves 4 bytes of codes: a clear, 6 literals and a clear.
INSTANTIATE_TEST_SUITE_P(
    Files, GifHandMade,
    ::testing::Values(
        HandMade{"FourBytesBeforeTheSignature", makeGif({{}}, "RIFF"), "ok 4x4"},
        HandMade{"LowerCaseSignature", makeGif({{}}, "", "gif87a"), "ok 4x4"},
        HandMade{"FiveBytesBefore", makeGif({{}}, "RIFF!"), "error Invalid GIF signature", 0},
        HandMade{"NoSignature", makeGif({{}}, "", "PNG89a"), "error Invalid GIF signature", 0},
        HandMade{"Truncated", cut(makeGif({{}})), "ok 4x4; warning Premature end of data", 1,
                 onesThen(6, 0)},
        HandMade{"TruncatedTransparent", cut(makeGif({{.transparent = 3}})),
                 "ok 4x4; warning Premature end of data", 1, onesThen(6, 3)},
        HandMade{"TooFewCodes",
                 makeGif({{.endCode = false, .transparent = 5, .pixels = {1, 1, 1, 1, 1}}}),
                 "ok 4x4; warning Decoder bit buffer under-run", 1, onesThen(5, 5)},
        // Rows 0 (pass 1), 4 (pass 2), 2 and 6 (pass 3), then 1, 3, 5 and 7.
        HandMade{"Interlaced",
                 makeGif({{.width = 1,
                           .height = 8,
                           .interlaced = true,
                           .pixels = {0, 1, 2, 3, 4, 5, 6, 7}}}),
                 "ok 4x8; warning Image height too small for contained frames",
                 1,
                 {0, 4, 2, 5, 1, 6, 3, 7}},
        HandMade{"Animated",
                 makeGif({{}, {.left = 1, .width = 2, .height = 1, .pixels = {5, 6}}, {}}),
                 "ok 4x4", 3}),
    [](const ::testing::TestParamInfo<HandMade>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace vexo
