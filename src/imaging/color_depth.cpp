#include "imaging/color_depth.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "imaging/edits.h"
#include "imaging/median_cut.h"

namespace vexo {

PixelFormat BitsToPixelFormat(int bits) {
  if (bits == 0 || bits == 1) return PixelFormat::Bits1;
  if (bits >= 2 && bits <= 4) return PixelFormat::Bits4;
  if (bits >= 5 && bits <= 8) return PixelFormat::Bits8;
  if (bits == 15) return PixelFormat::Bits15;
  if (bits >= 9 && bits <= 16) return PixelFormat::Bits16;
  if (bits == 32) return PixelFormat::Bits32;
  return PixelFormat::Bits24;
}

int PixelFormatToBits(PixelFormat format) {
  switch (format) {
    case PixelFormat::Bits1:
      return 1;
    case PixelFormat::Bits4:
      return 4;
    case PixelFormat::Bits8:
      return 8;
    case PixelFormat::Bits15:
      return 15;
    case PixelFormat::Bits16:
      return 16;
    case PixelFormat::Device:
    case PixelFormat::Bits24:
      return 24;
    case PixelFormat::Bits32:
      return 32;
    case PixelFormat::Custom:
      break;
  }
  return 0;
}

PixelFormat PixelFormatOf(const Bitmap& bitmap) {
  switch (bitmap.bits()) {
    case 1:
      return PixelFormat::Bits1;
    case 4:
      return PixelFormat::Bits4;
    case 8:
      return PixelFormat::Bits8;
    case 15:
      return PixelFormat::Bits15;
    case 16:
      return PixelFormat::Bits16;
    case 24:
      return PixelFormat::Bits24;
    case 32:
      return PixelFormat::Bits32;
    default:
      return PixelFormat::Custom;
  }
}

namespace {

// The source itself when it is 24-bit, otherwise an unpacked copy kept alive here.
class Source24 {
 public:
  explicit Source24(const Bitmap& source) {
    if (source.bits() != 24) converted_ = ConvertToBitmap24(source);
    bitmap_ = converted_ ? &*converted_ : &source;
  }
  Source24(const Source24&) = delete;
  Source24& operator=(const Source24&) = delete;
  const Bitmap& operator*() const { return *bitmap_; }
  const Bitmap* operator->() const { return bitmap_; }

 private:
  std::optional<Bitmap> converted_;
  const Bitmap* bitmap_;
};

void keepTransparency(const Bitmap& from, Bitmap& to) {
  to.transparent = from.transparent;
  to.transparentColor = from.transparentColor;
}

// Packs one row of indices (each below 2^bits) most significant bits first; the last byte's
// unused low bits are 0.
void packRow(const std::uint8_t* indices, int width, int bits, std::uint8_t* out) {
  if (bits == 8) {
    std::memcpy(out, indices, static_cast<std::size_t>(width));
    return;
  }
  const int perByte = 8 / bits;
  int x = 0;
  for (; x + perByte <= width; x += perByte) {
    unsigned byte = 0;
    for (int k = 0; k < perByte; ++k) byte = byte << bits | indices[x + k];
    *out++ = static_cast<std::uint8_t>(byte);
  }
  if (x < width) {
    unsigned byte = 0;
    int k = 0;
    for (; x < width; ++x, ++k) byte = byte << bits | indices[x];
    *out = static_cast<std::uint8_t>(byte << (bits * (perByte - k)));
  }
}

// Palette colours as blue, green, red bytes in a table of 256, black past the palette's end
// (what the finder answers with when nothing is active).
using ColourTable = std::array<std::array<std::uint8_t, 3>, 256>;

ColourTable colourTable(const Palette& palette) {
  ColourTable table{};
  for (std::size_t i = 0; i < palette.size() && i < table.size(); ++i)
    table[i] = {palette[i].blue, palette[i].green, palette[i].red};
  return table;
}

// The shares of an error e (-255..255) diffusion passes on, e × weight / 16 truncated towards
// zero, at e + 255; and the clamp of a channel plus a share (-128..383) to 0..255, at the sum
// + 128. Tables turn each neighbour's update into two loads.
constexpr int kErrorBias = 255;
constexpr int kClampBias = 128;

constexpr std::array<std::int16_t, 511> shareTable(int weight) {
  std::array<std::int16_t, 511> table{};
  for (int e = -255; e <= 255; ++e)
    table[static_cast<std::size_t>(e + kErrorBias)] = static_cast<std::int16_t>(e * weight / 16);
  return table;
}
constexpr auto kShare7 = shareTable(7), kShare3 = shareTable(3), kShare5 = shareTable(5),
               kShare1 = shareTable(1);

constexpr std::array<std::uint8_t, 512> kClamp = [] {
  std::array<std::uint8_t, 512> table{};
  for (int v = -kClampBias; v < 512 - kClampBias; ++v)
    table[static_cast<std::size_t>(v + kClampBias)] =
        static_cast<std::uint8_t>(std::clamp(v, 0, 255));
  return table;
}();

// The channel v plus the share at e (an error + kErrorBias), clamped.
inline std::uint8_t plusShare(int v, const std::array<std::int16_t, 511>& share, std::size_t e) {
  return kClamp[static_cast<std::size_t>(v + share[e] + kClampBias)];
}

// One step of Floyd-Steinberg diffusion: the pixel at p (blue, green, red), whose value with
// the error from its left is carried in value, becomes its nearest active colour, whose index
// goes to *index, and its error is spread: 7/16 right (into value), 3/16 lower left, 5/16
// below, 1/16 lower right (below at q), each truncated towards zero and each neighbour clamped
// to 0..255 at once. Which neighbours exist is fixed per call site, so the row's inner pixels
// run without edge tests. Carrying the right neighbour in registers keeps a memory round trip
// off the chain of dependent lookups.
struct Carry {
  int blue, green, red;
};

template <bool kLeft, bool kRight, bool kBelow>
inline void diffusePixel(std::uint8_t* p, std::uint8_t* q, Carry& value, TPaletteFinder& finder,
                         const ColourTable& colours, std::uint8_t* index) {
  const int i = finder.NearestIndex(value.red, value.green, value.blue);
  *index = static_cast<std::uint8_t>(i);
  const auto& colour = colours[static_cast<std::size_t>(i)];
  const auto eb = static_cast<std::size_t>(value.blue - colour[0] + kErrorBias);
  const auto eg = static_cast<std::size_t>(value.green - colour[1] + kErrorBias);
  const auto er = static_cast<std::size_t>(value.red - colour[2] + kErrorBias);
  p[0] = colour[0];
  p[1] = colour[1];
  p[2] = colour[2];
  if constexpr (kRight) {
    value.blue = plusShare(p[3], kShare7, eb);
    value.green = plusShare(p[4], kShare7, eg);
    value.red = plusShare(p[5], kShare7, er);
  }
  if constexpr (kBelow) {
    if constexpr (kLeft) {
      q[-3] = plusShare(q[-3], kShare3, eb);
      q[-2] = plusShare(q[-2], kShare3, eg);
      q[-1] = plusShare(q[-1], kShare3, er);
    }
    q[0] = plusShare(q[0], kShare5, eb);
    q[1] = plusShare(q[1], kShare5, eg);
    q[2] = plusShare(q[2], kShare5, er);
    if constexpr (kRight) {
      q[3] = plusShare(q[3], kShare1, eb);
      q[4] = plusShare(q[4], kShare1, eg);
      q[5] = plusShare(q[5], kShare1, er);
    }
  }
}

template <bool kBelow>
void diffuseRowOf(std::uint8_t* cur, std::uint8_t* next, int width, TPaletteFinder& finder,
                  const ColourTable& colours, std::uint8_t* indices) {
  Carry value{cur[0], cur[1], cur[2]};
  if (width == 1) {
    diffusePixel<false, false, kBelow>(cur, next, value, finder, colours, indices);
    return;
  }
  diffusePixel<false, true, kBelow>(cur, next, value, finder, colours, indices);
  int x = 1;
  for (; x + 1 < width; ++x) {
    diffusePixel<true, true, kBelow>(cur + 3 * x, next + 3 * x, value, finder, colours,
                                     indices + x);
  }
  diffusePixel<true, false, kBelow>(cur + 3 * x, next + 3 * x, value, finder, colours, indices + x);
}

// One row: cur holds it (blue, green, red) with the error of the rows above already added,
// next the row below or nullptr for the last row.
void diffuseRow(std::uint8_t* cur, std::uint8_t* next, int width, TPaletteFinder& finder,
                const ColourTable& colours, std::uint8_t* indices) {
  if (next)
    diffuseRowOf<true>(cur, next, width, finder, colours, indices);
  else
    diffuseRowOf<false>(cur, next, width, finder, colours, indices);
}

// Nearest indices of a row of 24-bit pixels; runs of one colour are looked up once.
void mapRow(const std::uint8_t* in, int width, TPaletteFinder& finder, std::uint8_t* indices) {
  std::uint32_t last = 0xFFFFFFFF;
  std::uint8_t lastIndex = 0;
  for (int x = 0; x < width; ++x, in += 3) {
    const std::uint32_t colour =
        in[0] | static_cast<std::uint32_t>(in[1]) << 8 | static_cast<std::uint32_t>(in[2]) << 16;
    if (colour != last) {
      last = colour;
      lastIndex = static_cast<std::uint8_t>(finder.NearestIndex(in[2], in[1], in[0]));
    }
    indices[x] = lastIndex;
  }
}

// 15, 16 or 32 bits (or 24) from 24-bit pixels, without a palette.
Bitmap repack(const Bitmap& source, int bits) {
  const Source24 in(source);
  if (bits == 24) {
    Bitmap copy = *in;
    copy.palette().clear();
    keepTransparency(source, copy);
    return copy;
  }
  Bitmap target(source.width(), source.height(), bits);
  keepTransparency(source, target);
  const int width = source.width();
  for (int y = 0; y < source.height(); ++y) {
    const std::uint8_t* p = in->row(y);
    std::uint8_t* out = target.row(y);
    switch (bits) {
      case 15:
        for (int x = 0; x < width; ++x, p += 3, out += 2) {
          const unsigned v = (p[2] >> 3u) << 10 | (p[1] >> 3u) << 5 | p[0] >> 3u;
          out[0] = static_cast<std::uint8_t>(v);
          out[1] = static_cast<std::uint8_t>(v >> 8);
        }
        break;
      case 16:
        for (int x = 0; x < width; ++x, p += 3, out += 2) {
          const unsigned v = (p[2] >> 3u) << 11 | (p[1] >> 2u) << 5 | p[0] >> 3u;
          out[0] = static_cast<std::uint8_t>(v);
          out[1] = static_cast<std::uint8_t>(v >> 8);
        }
        break;
      default:  // 32
        for (int x = 0; x < width; ++x, p += 3, out += 4) {
          out[0] = p[0];
          out[1] = p[1];
          out[2] = p[2];
          out[3] = 0;
        }
        break;
    }
  }
  return target;
}

// 1, 4 or 8 bits through a median-cut or the given palette.
Bitmap reduce(const Bitmap& source, int bits, const Palette* palette, bool usePalette,
              bool errorDiffusion) {
  bits = std::max(bits, 0);  // below 1 bit asks for the smallest depth, as 0 does
  const int targetBits = PixelFormatToBits(BitsToPixelFormat(bits));
  const Source24 in(source);
  const int width = in->width(), height = in->height();

  const bool given = usePalette && palette != nullptr;
  TMedianColor median;
  if (!given) {
    median.SetBitCount(bits);
    for (int y = 0; y < height; ++y) {
      const std::uint8_t* p = in->row(y);
      for (int x = 0; x < width; ++x, p += 3) median.AddPixel(p[2], p[1], p[0]);
    }
    median.Build();
  }

  Bitmap target(width, height, targetBits);
  keepTransparency(source, target);
  TPaletteFinder finder;
  int diffuseCount = 0;
  if (given) {
    // Never more entries than the depth can index, so every index packs.
    const std::size_t room = std::size_t{1} << targetBits;
    target.palette().assign(
        palette->begin(),
        palette->begin() + static_cast<std::ptrdiff_t>(std::min(palette->size(), room)));
    finder.Load(target.palette());
    diffuseCount = 1 << bits;  // never above room
  } else {
    target.palette() = median.palette();
    finder.Load(target.palette());
    finder.SetLimit(median.Count());
    if (errorDiffusion) diffuseCount = median.Count();
  }

  std::vector<std::uint8_t> indices(static_cast<std::size_t>(width));
  if (diffuseCount == 0) {
    for (int y = 0; y < height; ++y) {
      mapRow(in->row(y), width, finder, indices.data());
      packRow(indices.data(), width, targetBits, target.row(y));
    }
    return target;
  }

  // Diffusion works on two row buffers instead of a copy of the image. A diffused pixel is
  // exactly the colour of the lowest index holding it among the diffusion's entries, and the
  // packing allows at least as many entries, so the diffusion's index is the one a lookup of
  // the diffused colour would give.
  finder.SetLimit(diffuseCount);
  const ColourTable colours = colourTable(target.palette());
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  std::vector<std::uint8_t> cur(in->row(0), in->row(0) + rowBytes), next(rowBytes);
  for (int y = 0; y < height; ++y) {
    const bool last = y + 1 == height;
    if (!last) std::memcpy(next.data(), in->row(y + 1), rowBytes);
    diffuseRow(cur.data(), last ? nullptr : next.data(), width, finder, colours, indices.data());
    packRow(indices.data(), width, targetBits, target.row(y));
    std::swap(cur, next);
  }
  return target;
}

}  // namespace

Bitmap ChangeBitCount(Bitmap source, int bits, const Palette* palette, bool usePalette,
                      bool errorDiffusion) {
  if (source.empty()) throw EditError("the bitmap has no pixels");
  int depth = PixelFormatToBits(PixelFormatOf(source));
  if (depth == 0) depth = bits;
  if (bits == depth) return source;
  if (bits > 8) return repack(source, PixelFormatToBits(BitsToPixelFormat(bits)));
  return reduce(source, bits, palette, usePalette, errorDiffusion);
}

void ErrorDiffuse(Bitmap& image, const Palette& palette, int count) {
  if (image.empty() || image.bits() != 24) throw EditError("error diffusion needs a 24-bit bitmap");
  TPaletteFinder finder;
  finder.Load(palette);
  finder.SetLimit(count);
  const ColourTable colours = colourTable(palette);
  std::vector<std::uint8_t> indices(static_cast<std::size_t>(image.width()));
  for (int y = 0; y < image.height(); ++y) {
    diffuseRow(image.row(y), y + 1 < image.height() ? image.row(y + 1) : nullptr, image.width(),
               finder, colours, indices.data());
  }
}

Bitmap MakeMonochrome(const Bitmap& source) {
  if (source.empty()) throw EditError("the bitmap has no pixels");
  const Source24 in(source);
  const int width = in->width();
  Bitmap target(width, in->height(), 1);
  keepTransparency(source, target);
  target.palette() = {PaletteEntry{0, 0, 0, 0}, PaletteEntry{255, 255, 255, 0}};
  std::vector<std::uint8_t> indices(static_cast<std::size_t>(width));
  for (int y = 0; y < in->height(); ++y) {
    const std::uint8_t* p = in->row(y);
    for (int x = 0; x < width; ++x, p += 3)
      indices[static_cast<std::size_t>(x)] = (77 * p[2] + 150 * p[1] + 29 * p[0]) >> 8 >= 128;
    packRow(indices.data(), width, 1, target.row(y));
  }
  return target;
}

}  // namespace vexo
