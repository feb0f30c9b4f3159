// Internals shared by the PNG reader, writer and drawing: Adam7 geometry, the row filters and
// their scoring, zlib helpers, and row rendering of the pixel store.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "png/png.h"

namespace vexo::png {

// Whether PNG defines the bit depth for the colour type.
bool ValidType(int colorType, int bitDepth);
// n gray levels, entry i = gamma[i × 255 / (n − 1)] rounded.
void FillGrayRamp(Palette& palette, std::size_t n, const std::array<std::uint8_t, 256>& gamma);

// The store index a gray key sample (16-bit, as in tRNS) stands for: its high byte at 16 bits,
// the sample masked to the depth below (2-bit samples are stored as 5 × v).
inline unsigned GrayKeyIndex(unsigned key, int bitDepth) {
  if (bitDepth == 16) return key >> 8;
  const unsigned k = key & ((1u << bitDepth) - 1);
  return bitDepth == 2 ? 5 * k : k;
}

struct Adam7Pass {
  int colStart, rowStart, colStep, rowStep;
};
inline constexpr std::array<Adam7Pass, 7> kAdam7 = {{
    {0, 0, 8, 8},
    {4, 0, 8, 8},
    {0, 4, 4, 8},
    {2, 0, 4, 4},
    {0, 2, 2, 4},
    {1, 0, 2, 2},
    {0, 1, 1, 2},
}};

// Pixels of a pass in a row of width pixels (0 when the pass has no column there).
inline std::uint32_t PassWidth(const Adam7Pass& p, std::uint32_t width) {
  return width > std::uint32_t(p.colStart)
             ? (width - std::uint32_t(p.colStart) + std::uint32_t(p.colStep) - 1) /
                   std::uint32_t(p.colStep)
             : 0;
}
inline std::uint32_t PassHeight(const Adam7Pass& p, std::uint32_t height) {
  return PassWidth({p.rowStart, 0, p.rowStep, 0}, height);
}

// A row buffer with kRowPad zero bytes in front of the row, so that filters read the "left"
// and "upper-left" bytes of the first pixel as 0 without a branch.
inline constexpr std::size_t kRowPad = 8;
class PaddedRow {
 public:
  explicit PaddedRow(std::size_t bytes = 0) : buffer_(bytes + kRowPad) {}
  std::uint8_t* data() { return buffer_.data() + kRowPad; }
  const std::uint8_t* data() const { return buffer_.data() + kRowPad; }
  void clear() { std::fill(buffer_.begin(), buffer_.end(), std::uint8_t{0}); }

 private:
  std::vector<std::uint8_t> buffer_;
};

// Encoding filters: out[i] for i < n from the raw row cur and the raw row above, prev; both have
// kRowPad zero bytes before them. bpp is the filter distance (1..8).
void FilterSub(const std::uint8_t* cur, std::uint8_t* out, std::size_t n, int bpp);
void FilterUp(const std::uint8_t* cur, const std::uint8_t* prev, std::uint8_t* out, std::size_t n);
void FilterAverage(const std::uint8_t* cur, const std::uint8_t* prev, std::uint8_t* out,
                   std::size_t n, int bpp);
void FilterPaeth(const std::uint8_t* cur, const std::uint8_t* prev, std::uint8_t* out,
                 std::size_t n, int bpp);
// The filter-choice score of a filtered row: the positions j = 2 .. n − 1 whose byte equals the
// byte before it or the one two before it.
std::size_t FilterScore(const std::uint8_t* out, std::size_t n);

// Decoding: undoes filter type on row in place (prev is the decoded row above); both padded.
// An unknown type leaves the row as it is.
void Unfilter(int type, std::uint8_t* row, const std::uint8_t* prev, std::size_t n, int bpp);

// One complete zlib stream of bytes at level, or nothing when zlib fails.
std::optional<std::vector<std::uint8_t>> Compress(std::span<const std::uint8_t> bytes, int level);
// The bytes of one zlib stream, or nothing when it is damaged, incomplete or inflates to more
// than maxBytes.
std::optional<std::vector<std::uint8_t>> Inflate(std::span<const std::uint8_t> bytes,
                                                 std::size_t maxBytes);

// The pixel store rendered row by row as blue, green, red and alpha, for drawing.
class RowRenderer {
 public:
  explicit RowRenderer(const TPNGObject& image);

  int width() const { return width_; }
  int height() const { return height_; }
  // Whether any pixel may be less than opaque (alpha plane, palette alpha or a key colour).
  bool hasAlpha() const { return mode_ != Mode::kOpaque; }
  // Row y (top first) as width × 3 bytes B, G, R and, when hasAlpha(), width alpha bytes.
  void Render(int y, std::uint8_t* bgr, std::uint8_t* alpha) const;

 private:
  enum class Mode { kOpaque, kAlphaPlane, kEntryAlpha, kKeyIndex, kKeyRgb };

  const TChunkIHDR& header_;
  int width_, height_, bits_;
  Mode mode_ = Mode::kOpaque;
  std::array<std::array<std::uint8_t, 3>, 256> table_{};  // B, G, R of each index
  std::array<std::uint8_t, 256> entryAlpha_{};
  int keyIndex_ = -1, keyLow_ = -1;            // kKeyIndex: stored index, and 16-bit low byte
  std::array<int, 3> keyBgr_{}, keyLowBgr_{};  // kKeyRgb: B, G, R and 16-bit low bytes
  bool keyHasLow_ = false;
};

// Blends a rendered row onto a 24-bit row: (s × a + (255 − a) × t + 255) >> 8 per channel.
void BlendRow(const std::uint8_t* bgr, const std::uint8_t* alpha, std::uint8_t* target, int count);

}  // namespace vexo::png
