// TGIFImage beyond reading: a frame made from a bitmap, the transparency preparation of its
// colour table, the version, the stream layout, and drawing the first frame.
#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

#include "core/colors.h"
#include "gif/gif_internal.h"

namespace vexo {

int TGIFColorMap::BitSize() const {
  if (entries.empty()) return 0;
  int bits = 1;
  while ((1 << bits) < Count()) ++bits;
  return bits;
}

const TGIFGraphicControlExtension* TGIFSubImage::GraphicControl() const {
  const TGIFGraphicControlExtension* found = nullptr;
  for (const auto& extension : extensions)
    if (const auto* control = std::get_if<TGIFGraphicControlExtension>(&extension)) found = control;
  return found;
}

bool TGIFSubImage::Transparent() const {
  const auto* control = GraphicControl();
  return control && control->Transparent();
}

int TGIFSubImage::TransparentIndex() const {
  return Transparent() ? GraphicControl()->transparentIndex : -1;
}

void TGIFImage::setOptimisedBits(int bits) {
  if (bits < 3 || bits > 8) throw GIFException("Invalid Bits Per Pixel value");
  optimisedBits_ = bits;
}

void TGIFImage::Clear() {
  Header = {};
  Images.clear();
}

namespace {

// ---- A frame from a bitmap ----

// An indexed bitmap's palette and its pixels unpacked to one index a byte.
void takeIndexed(const Bitmap& bitmap, TGIFSubImage& frame) {
  frame.colorMap.entries = bitmap.palette();
  if (frame.colorMap.entries.size() > 256) frame.colorMap.entries.resize(256);
  for (auto& entry : frame.colorMap.entries) entry.flags = 0;
  const int w = bitmap.width(), bits = bitmap.bits();
  std::uint8_t* out = frame.pixels.data();
  for (int y = 0; y < bitmap.height(); ++y, out += w) {
    const std::uint8_t* row = bitmap.row(y);
    if (bits == 8) {
      std::memcpy(out, row, static_cast<std::size_t>(w));
    } else if (bits == 4) {
      for (int x = 0; x < w; ++x) out[x] = (row[x >> 1] >> (x & 1 ? 0 : 4)) & 0x0F;
    } else {
      for (int x = 0; x < w; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    }
  }
}

// Method 0: the table is built from the colours in the order they first appear; a ring of the
// eight most recently used colours is searched before the table.
void takeTrueColour(const Bitmap& bitmap24, TGIFSubImage& frame) {
  struct Recent {
    std::uint32_t colour;
    std::uint8_t index;
  };
  std::array<Recent, 8> ring{};
  int ringSize = 0, ringHead = 0;
  std::vector<std::uint32_t> table;  // 0xBBGGRR read as blue, green, red bytes
  const int w = bitmap24.width();
  std::uint8_t* out = frame.pixels.data();
  for (int y = 0; y < bitmap24.height(); ++y, out += w) {
    const std::uint8_t* p = bitmap24.row(y);
    for (int x = 0; x < w; ++x, p += 3) {
      const std::uint32_t colour = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
      int found = -1;
      for (int k = 0; k < ringSize && found < 0; ++k) {
        const Recent& r = ring[(ringHead - 1 - k + 8) & 7];
        if (r.colour == colour) found = r.index;
      }
      if (found < 0) {
        const auto it = std::find(table.begin(), table.end(), colour);
        if (it != table.end()) {
          found = static_cast<int>(it - table.begin());
        } else {
          if (table.size() == 256) throw GIFException("Color table overflow");
          found = static_cast<int>(table.size());
          table.push_back(colour);
        }
        ring[ringHead] = {colour, static_cast<std::uint8_t>(found)};
        ringHead = (ringHead + 1) & 7;
        ringSize = std::min(ringSize + 1, 8);
      }
      out[x] = static_cast<std::uint8_t>(found);
    }
  }
  // The colours were read as blue, green, red: swapping red and blue gives the entries.
  for (const std::uint32_t c : table)
    frame.colorMap.entries.push_back({static_cast<std::uint8_t>(c),
                                      static_cast<std::uint8_t>(c >> 8),
                                      static_cast<std::uint8_t>(c >> 16), 0});
}

// The pixels of the source whose colour is its transparent colour (the bottom-left pixel's
// when automatic), compared before any reduction.
std::vector<std::uint8_t> transparentMask(const Bitmap& source) {
  const Bitmap converted = source.bits() == 24 ? Bitmap() : ConvertToBitmap24(source);
  const Bitmap& image = source.bits() == 24 ? source : converted;
  const int w = image.width(), h = image.height();
  std::uint8_t key[3];
  if (source.transparentColor == kColorAuto) {
    std::memcpy(key, image.row(h - 1), 3);
  } else {
    const std::uint32_t rgb = ColorToRGB(source.transparentColor);
    key[0] = static_cast<std::uint8_t>(rgb >> 16);
    key[1] = static_cast<std::uint8_t>(rgb >> 8);
    key[2] = static_cast<std::uint8_t>(rgb);
  }
  std::vector<std::uint8_t> mask(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  std::uint8_t* out = mask.data();
  for (int y = 0; y < h; ++y, out += w) {
    const std::uint8_t* p = image.row(y);
    for (int x = 0; x < w; ++x, p += 3) out[x] = p[0] == key[0] && p[1] == key[1] && p[2] == key[2];
  }
  return mask;
}

struct UseCount {
  std::uint32_t count;
  int index;
};

// Sorts by descending count: the pivot is the middle count; pairs are exchanged across it until
// the indices cross, the left part is sorted recursively and the loop continues on the right.
void sortByCount(std::vector<UseCount>& pairs, int low, int high) {
  int i;
  do {
    i = low;
    int j = high;
    const std::uint32_t pivot = pairs[static_cast<std::size_t>((low + high) / 2)].count;
    do {
      while (pairs[static_cast<std::size_t>(i)].count > pivot) ++i;
      while (pairs[static_cast<std::size_t>(j)].count < pivot) --j;
      if (i <= j) {
        std::swap(pairs[static_cast<std::size_t>(i)], pairs[static_cast<std::size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (low < j) sortByCount(pairs, low, j);
    low = i;
  } while (i < high);
}

// Orders the table by use, most used first, renumbering the pixels and dropping the colours no
// pixel uses; a table already in that order is only marked sorted.
void optimiseColorMap(TGIFSubImage& frame) {
  auto& entries = frame.colorMap.entries;
  const int n = static_cast<int>(entries.size());
  if (n <= 1) return;
  std::array<std::uint32_t, 256> counts{};
  for (const std::uint8_t p : frame.pixels) ++counts[p];
  std::vector<UseCount> pairs(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    pairs[static_cast<std::size_t>(i)] = {counts[static_cast<std::size_t>(i)], i};
  sortByCount(pairs, 0, n - 1);
  frame.colorMap.sorted = true;
  bool inOrder = true;
  for (int i = 0; i < n; ++i) inOrder = inOrder && pairs[static_cast<std::size_t>(i)].index == i;
  if (inOrder) return;
  Palette sorted;
  std::array<std::uint8_t, 256> renumber{};
  for (int i = 0; i < n; ++i) {
    const UseCount& pair = pairs[static_cast<std::size_t>(i)];
    if (pair.count == 0) break;
    renumber[static_cast<std::size_t>(pair.index)] = static_cast<std::uint8_t>(i);
    sorted.push_back(entries[static_cast<std::size_t>(pair.index)]);
  }
  entries = std::move(sorted);
  for (std::uint8_t& p : frame.pixels) p = renumber[p];
}

// Appends black as the transparent entry and gives it to the masked pixels; without any masked
// pixel the entry is taken back. A full table gets no transparent entry.
void markTransparent(TGIFSubImage& frame, const std::vector<std::uint8_t>& mask) {
  auto& entries = frame.colorMap.entries;
  if (entries.empty() || entries.size() > 255) return;
  const auto t = static_cast<std::uint8_t>(entries.size());
  entries.push_back({0, 0, 0, 0});
  frame.colorMap.sorted = false;
  bool marked = false;
  for (std::size_t i = 0; i < mask.size(); ++i) {
    if (mask[i]) {
      frame.pixels[i] = t;
      marked = true;
    }
  }
  if (marked) {
    TGIFGraphicControlExtension control;
    control.packed = 1;
    control.transparentIndex = t;
    frame.extensions.emplace_back(control);
  } else {
    entries.pop_back();
  }
}

// ---- Writing ----

void put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void putSubBlocks(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), 255);
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    bytes = bytes.subspan(n);
  }
}

// A table of count entries written as 2^bits entries, the rest zero.
void putColorMap(std::vector<std::uint8_t>& out, const TGIFColorMap& map) {
  for (const auto& e : map.entries) out.insert(out.end(), {e.red, e.green, e.blue});
  out.resize(out.size() + 3 * static_cast<std::size_t>((1 << map.BitSize()) - map.Count()), 0);
}

struct ExtensionWriter {
  std::vector<std::uint8_t>& out;
  void operator()(const TGIFGraphicControlExtension& e) const {
    out.insert(out.end(), {0x21, 0xF9, 4, e.packed});
    put16(out, e.delay);
    out.insert(out.end(), {e.transparentIndex, 0});
  }
  void operator()(const TGIFCommentExtension& e) const {
    out.insert(out.end(), {0x21, 0xFE});
    putSubBlocks(out,
                 std::span(reinterpret_cast<const std::uint8_t*>(e.text.data()), e.text.size()));
    out.push_back(0);
  }
  void operator()(const TGIFTextExtension& e) const {
    out.insert(out.end(), {0x21, 0x01});
    blocks(e.blocks);
  }
  void operator()(const TGIFAppExtNSLoop& e) const {
    identifier(e.identifier);
    out.insert(out.end(), {3, 1});
    put16(out, e.loops);
    if (e.bufferSize) {
      out.insert(out.end(), {5, 2});
      put16(out, *e.bufferSize);
      put16(out, *e.bufferSize >> 16);
    }
    out.push_back(0);
  }
  void operator()(const TGIFUnknownAppExtension& e) const {
    identifier(e.identifier);
    blocks(e.blocks);
  }
  void identifier(const std::string& id) const {
    out.insert(out.end(), {0x21, 0xFF, 11});
    std::string padded = id;
    padded.resize(11, '\0');
    out.insert(out.end(), padded.begin(), padded.end());
  }
  void blocks(const std::vector<std::vector<std::uint8_t>>& list) const {
    for (const auto& block : list) putSubBlocks(out, block);
    out.push_back(0);
  }
};

// The frame's pixels in the order they are stored: rows top to bottom, or the four passes of
// the interlaced order.
std::vector<std::uint8_t> interlacedOrder(const TGIFSubImage& frame) {
  const auto w = static_cast<std::size_t>(frame.width());
  const int h = frame.height();
  std::vector<std::uint8_t> ordered;
  ordered.reserve(frame.pixels.size());
  static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int y = kStart[pass]; y < h; y += kStep[pass]) {
      const auto* row = frame.pixels.data() + static_cast<std::size_t>(y) * w;
      ordered.insert(ordered.end(), row, row + w);
    }
  return ordered;
}

bool needs89a(const TGIFSubImage& frame) {
  return frame.colorMap.sorted || !frame.extensions.empty();
}

}  // namespace

void TGIFImage::assign(const Bitmap& bitmap) {
  Clear();
  TGIFSubImage& frame = Images.emplace_back();
  if (bitmap.empty()) return;
  if (bitmap.width() > 65535 || bitmap.height() > 65535)
    throw GIFException("Invalid image dimensions");
  frame.descriptor.width = static_cast<std::uint16_t>(bitmap.width());
  frame.descriptor.height = static_cast<std::uint16_t>(bitmap.height());
  Header.width = frame.descriptor.width;
  Header.height = frame.descriptor.height;
  frame.pixels.resize(static_cast<std::size_t>(bitmap.width()) *
                      static_cast<std::size_t>(bitmap.height()));
  const int bits = bitmap.bits();
  if (bits == 1 || bits == 4 || bits == 8) {
    takeIndexed(bitmap, frame);
  } else if (PaletteMethod == kReduceNone) {
    takeTrueColour(bits == 24 ? bitmap : ConvertToBitmap24(bitmap), frame);
  } else {
    const Bitmap reduced =
        ReduceToPalette(bitmap, PaletteMethod, DitherMethod, nullptr, optimisedBits_);
    if (reduced.empty()) throw GIFException("Image is empty");
    takeIndexed(reduced, frame);
  }
  if (bitmap.transparent) {
    const std::vector<std::uint8_t> mask = transparentMask(bitmap);
    optimiseColorMap(frame);
    markTransparent(frame, mask);
  }
}

std::string TGIFImage::Version() const {
  if (Images.empty()) throw GIFException("Unsupported GIF version");
  for (const auto& frame : Images)
    if (needs89a(frame)) return "89a";
  return "87a";
}

std::vector<std::uint8_t> TGIFImage::saveToMemory() const {
  const std::string version = Version();
  std::vector<std::uint8_t> out;
  out.insert(out.end(), {'G', 'I', 'F'});
  out.insert(out.end(), version.begin(), version.end());

  const TGIFColorMap& global = Header.colorMap;
  int colourResolution = global.BitSize() - 1, size = global.BitSize();
  for (const auto& frame : Images) {
    colourResolution = std::max(colourResolution, frame.colorMap.BitSize() - 1);
    size = std::max(size, frame.colorMap.BitSize());
  }
  std::uint8_t packed =
      static_cast<std::uint8_t>(std::max(colourResolution, 0) << 4 | std::max(size - 1, 0));
  if (!global.entries.empty()) packed |= 0x80;
  if (global.sorted) packed |= 0x08;
  put16(out, Header.width);
  put16(out, Header.height);
  out.insert(out.end(), {packed, 0, 0});
  if (!global.entries.empty()) putColorMap(out, global);

  for (const auto& frame : Images) {
    for (const auto& extension : frame.extensions) std::visit(ExtensionWriter{out}, extension);
    if (frame.pixels.empty()) continue;
    const TGIFColorMap& map = frame.colorMap.entries.empty() ? global : frame.colorMap;
    const TGIFImageDescriptor& d = frame.descriptor;
    out.push_back(0x2C);
    put16(out, d.left);
    put16(out, d.top);
    put16(out, d.width);
    put16(out, d.height);
    if (frame.colorMap.entries.empty()) {
      out.push_back(d.packed & 0x58);
    } else {
      out.push_back(static_cast<std::uint8_t>(0x80 | (frame.colorMap.sorted ? 0x20 : 0) |
                                              (frame.colorMap.BitSize() - 1) | (d.packed & 0x40)));
      putColorMap(out, frame.colorMap);
    }
    if (frame.Interlaced())
      gif::WriteImageData(interlacedOrder(frame), map.BitSize(), map.Count(), GifCompression, out);
    else
      gif::WriteImageData(frame.pixels, map.BitSize(), map.Count(), GifCompression, out);
  }
  out.push_back(0x3B);
  return out;
}

// ---- Drawing ----

namespace {

// The frame's colours as blue, green, red, black past the end of its table.
std::array<std::array<std::uint8_t, 3>, 256> frameColours(const TGIFSubImage& frame,
                                                          const TGIFHeader& header) {
  const Palette& table =
      frame.colorMap.entries.empty() ? header.colorMap.entries : frame.colorMap.entries;
  std::array<std::array<std::uint8_t, 3>, 256> colours{};
  for (std::size_t i = 0; i < table.size() && i < 256; ++i)
    colours[i] = {table[i].blue, table[i].green, table[i].red};
  return colours;
}

}  // namespace

void TGIFImage::draw(Bitmap& target, int x, int y) const {
  // A file without any image (only a screen, or extensions) has nothing to convert.
  if (Images.empty() || Images.front().pixels.empty()) throw GIFException("Image is empty");
  const TGIFSubImage& frame = Images.front();
  const auto colours = frameColours(frame, Header);
  const int transparent = frame.TransparentIndex();
  const int left = x + frame.descriptor.left, top = y + frame.descriptor.top;
  const int x0 = std::max(0, -left), x1 = std::min(frame.width(), target.width() - left);
  const int y0 = std::max(0, -top), y1 = std::min(frame.height(), target.height() - top);
  for (int fy = y0; fy < y1; ++fy) {
    const std::uint8_t* in = frame.pixels.data() + static_cast<std::size_t>(fy) * frame.width();
    std::uint8_t* out = target.row(top + fy) + static_cast<std::size_t>(left) * 3;
    for (int fx = x0; fx < x1; ++fx) {
      if (in[fx] == transparent) continue;
      const auto& c = colours[in[fx]];
      out[3 * fx] = c[0];
      out[3 * fx + 1] = c[1];
      out[3 * fx + 2] = c[2];
    }
  }
}

std::optional<Bitmap> TGIFImage::releaseBitmap24() {
  if (Images.empty()) return std::nullopt;
  const TGIFSubImage& frame = Images.front();
  if (frame.Transparent() || frame.descriptor.left != 0 || frame.descriptor.top != 0 ||
      frame.width() != Header.width || frame.height() != Header.height || frame.pixels.empty())
    return std::nullopt;
  Bitmap bitmap(frame.width(), frame.height(), 24, limits());
  draw(bitmap, 0, 0);
  Clear();
  return bitmap;
}

Bitmap TGIFImage::ToBitmap() const {
  if (empty() || Images.front().pixels.empty()) throw GIFException("Image is empty");
  const TGIFSubImage& frame = Images.front();
  const bool covers = frame.descriptor.left == 0 && frame.descriptor.top == 0 &&
                      frame.width() == Header.width && frame.height() == Header.height;
  const TGIFColorMap& map = frame.colorMap.entries.empty() ? Header.colorMap : frame.colorMap;
  Bitmap bitmap(covers ? frame.width() : Header.width, covers ? frame.height() : Header.height, 8,
                limits());
  bitmap.palette() = map.entries;
  const int transparent = frame.TransparentIndex();
  if (transparent >= 0 && transparent < map.Count()) {
    const PaletteEntry& e = map.entries[static_cast<std::size_t>(transparent)];
    bitmap.transparent = true;
    bitmap.transparentColor =
        ColorValue{e.red} | ColorValue{e.green} << 8 | ColorValue{e.blue} << 16;
  }
  const int left = covers ? 0 : frame.descriptor.left, top = covers ? 0 : frame.descriptor.top;
  const int x1 = std::min(frame.width(), bitmap.width() - left);
  for (int fy = 0; fy < frame.height() && top + fy < bitmap.height(); ++fy) {
    const std::uint8_t* in = frame.pixels.data() + static_cast<std::size_t>(fy) * frame.width();
    std::uint8_t* out = bitmap.row(top + fy) + left;
    for (int fx = 0; fx < x1; ++fx)
      if (covers || in[fx] != transparent) out[fx] = in[fx];
  }
  return bitmap;
}

}  // namespace vexo
