// The icon writer (building an image from a bitmap, the file layout) and reader (directory,
// DIB-form and PNG-form images, drawing with mask and alpha).
#include "imaging/icon.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/byte_reader.h"
#include "core/colors.h"
#include "imaging/color_depth.h"
#include "png/png.h"

namespace vexo {

namespace {

constexpr std::array<const char*, 7> kTexts = {
    "Graphic Error",   "Indistinct error",        "Uncorresponding format", "Invalid format",
    "Image is empty.", "Failed Creating Handle.", "Failed Creating Image."};

constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kInfoSize = 40;
constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

void put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void set32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::size_t maskStride(std::int64_t width) {
  return static_cast<std::size_t>((width + 31) / 32 * 4);
}
std::size_t colorStride(std::int64_t width, int bits) {
  return static_cast<std::size_t>((width * bits + 31) / 32 * 4);
}

// Bits written for a requested bit count: the pixel formats of the colour-depth conversion, with
// 15 and 16 both stored as 16-bit 5-5-5 (the only 16-bit layout without bit fields).
int storedBits(int requested) {
  const int bits = PixelFormatToBits(BitsToPixelFormat(requested));
  return bits == 15 || bits == 16 ? 16 : bits;
}

// A 24-bit bitmap filled with one grey value.
Bitmap filled(int w, int h, std::uint8_t value) {
  Bitmap b(w, h, 24);
  std::memset(b.data(), value, b.dataSize());
  return b;
}

// Source pixels equal to this 0x00BBGGRR colour are transparent.
std::uint32_t transparentRgb(const Bitmap& source24, ColorValue color) {
  if (color != kColorAuto) return ColorToRGB(color);
  const std::uint8_t* p = source24.row(source24.height() - 1);
  return std::uint32_t{p[2]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[0]} << 16;
}

// Decoded DIB-form image: per pixel blue, green, red, alpha (255 opaque, 0 transparent).
struct Decoded {
  int width = 0, height = 0;
  std::vector<std::uint8_t> bgra;
};

Decoded decodeDib(std::span<const std::uint8_t> resource, const DecodeLimits& limits,
                  bool* maskMissing) {
  ByteReader r(resource);
  r.skip(4);
  const std::int32_t w = r.i32le();
  const std::int32_t h2 = r.i32le();
  r.skip(2);
  const int bits = r.u16le();
  const std::uint32_t compression = r.u32le();
  r.skip(12);
  const std::uint32_t used = r.u32le();
  r.skip(4);
  if (w < 1 || h2 < 2 || w > 65535 || h2 / 2 > 65535) throw ERkGraphic(3);
  const int h = h2 / 2;
  checkImageSize(w, h, 32, limits);
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    throw ERkGraphic(3);
  if (compression != 0 && !(compression == 3 && (bits == 16 || bits == 32))) throw ERkGraphic(3);
  bool bitFields565 = false;
  if (compression == 3) {
    const std::uint32_t red = r.u32le();
    r.skip(8);
    bitFields565 = bits == 16 && red == 0xF800;
  }
  Palette palette;
  if (bits <= 8) {
    std::size_t n = used != 0 ? used : std::size_t{1} << bits;
    if (n > 256) throw ERkGraphic(3);
    for (std::size_t i = 0; i < n; ++i) {
      PaletteEntry e;
      e.blue = r.u8();
      e.green = r.u8();
      e.red = r.u8();
      r.skip(1);
      palette.push_back(e);
    }
  }
  const std::size_t cs = colorStride(w, bits), ms = maskStride(w);
  const auto colors = r.bytes(cs * static_cast<std::size_t>(h));
  std::span<const std::uint8_t> mask;
  if (r.remaining() >= ms * static_cast<std::size_t>(h))
    mask = r.bytes(ms * static_cast<std::size_t>(h));
  else
    *maskMissing = true;

  Decoded d;
  d.width = w;
  d.height = h;
  d.bgra.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  bool anyAlpha = false;
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = colors.data() + static_cast<std::size_t>(h - 1 - y) * cs;
    std::uint8_t* out = d.bgra.data() + static_cast<std::size_t>(y) * w * 4;
    for (int x = 0; x < w; ++x, out += 4) {
      PaletteEntry c;
      std::uint8_t a = 255;
      if (bits <= 8) {
        const int perByte = 8 / bits;
        const int shift = 8 - bits * (x % perByte + 1);
        const unsigned index = (row[x / perByte] >> shift) & ((1u << bits) - 1);
        if (index < palette.size()) c = palette[index];
      } else if (bits == 16) {
        const unsigned v = row[2 * x] | row[2 * x + 1] << 8;
        if (bitFields565) {
          c.red = static_cast<std::uint8_t>((v >> 11 & 31) << 3 | (v >> 13 & 7));
          c.green = static_cast<std::uint8_t>((v >> 5 & 63) << 2 | (v >> 9 & 3));
        } else {
          c.red = static_cast<std::uint8_t>((v >> 10 & 31) << 3 | (v >> 12 & 7));
          c.green = static_cast<std::uint8_t>((v >> 5 & 31) << 3 | (v >> 7 & 7));
        }
        c.blue = static_cast<std::uint8_t>((v & 31) << 3 | (v >> 2 & 7));
      } else {
        const std::size_t step = static_cast<std::size_t>(bits / 8);
        const std::uint8_t* p = row + step * static_cast<std::size_t>(x);
        c.blue = p[0];
        c.green = p[1];
        c.red = p[2];
        if (bits == 32) {
          a = p[3];
          anyAlpha = anyAlpha || a != 0;
        }
      }
      out[0] = c.blue;
      out[1] = c.green;
      out[2] = c.red;
      out[3] = a;
    }
  }
  // 32-bit images with alpha are drawn by their alpha; the others (and 32-bit ones whose alpha
  // is all 0) by their mask.
  if (bits != 32 || !anyAlpha) {
    for (int y = 0; y < h; ++y) {
      const std::uint8_t* mrow =
          mask.empty() ? nullptr : mask.data() + static_cast<std::size_t>(h - 1 - y) * ms;
      std::uint8_t* out = d.bgra.data() + static_cast<std::size_t>(y) * w * 4;
      for (int x = 0; x < w; ++x)
        out[4 * x + 3] = mrow && (mrow[x / 8] >> (7 - x % 8) & 1) ? 0 : 255;
    }
  }
  return d;
}

}  // namespace

// ---- ERkGraphic ----------------------------------------------------------------------------

std::string ERkGraphic::Text(int id) {
  return kTexts[id >= 0 && id < static_cast<int>(kTexts.size()) ? id : 0];
}

ERkGraphic::ERkGraphic(int id) : Error("ID:" + std::to_string(id) + " " + Text(id)), id_(id) {}

// ---- ResampleBitmap ------------------------------------------------------------------------

void ResampleBitmap(const Bitmap& source, Bitmap& destination, int w, int h) {
  const Bitmap src = ConvertToBitmap24(source);
  const int sw = src.width(), sh = src.height();
  Bitmap out(w, h, 24);
  const double fx = static_cast<double>(w) / sw, fy = static_cast<double>(h) / sh;
  struct Tap {
    int index;
    double weight;
  };
  // The taps of one destination index along an axis of n source pixels.
  auto taps = [](int d, double f, int n) {
    const double a0 = d / f, a1 = (d + 0.999) / f;
    const int first = static_cast<int>(a0);
    const int last = std::min(static_cast<int>(a1 + 1), n - 1);
    std::vector<Tap> t;
    for (int i = first; i <= last; ++i) {
      double weight = 1;
      if (i == first)
        weight = 1 - (a0 - std::trunc(a0));
      else if (i == last)
        weight = a1 - std::trunc(a1);
      t.push_back({i, weight});
    }
    return t;
  };
  std::vector<std::vector<Tap>> columns(static_cast<std::size_t>(w));
  for (int x = 0; x < w; ++x) columns[static_cast<std::size_t>(x)] = taps(x, fx, sw);
  for (int y = 0; y < h; ++y) {
    const std::vector<Tap> rows = taps(y, fy, sh);
    std::uint8_t* o = out.row(y);
    for (int x = 0; x < w; ++x, o += 3) {
      double sum[3] = {0, 0, 0}, total = 0;
      for (const Tap& ry : rows) {
        const std::uint8_t* srow = src.row(ry.index);
        for (const Tap& cx : columns[static_cast<std::size_t>(x)]) {
          const double weight = ry.weight * cx.weight;
          const std::uint8_t* p = srow + 3 * static_cast<std::size_t>(cx.index);
          for (int c = 0; c < 3; ++c) sum[c] += p[c] * weight;
          total += weight;
        }
      }
      for (int c = 0; c < 3; ++c) {
        const double v = total != 0 ? std::nearbyint(sum[c] / total) : 0;
        o[c] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
      }
    }
  }
  destination = source.bits() == 24
                    ? std::move(out)
                    : ChangeBitCount(std::move(out), source.bits(), nullptr, false, false);
}

// ---- TRkIconImage --------------------------------------------------------------------------

TRkIconImage TRkIconImage::FromParts(std::vector<std::uint8_t> data, int width, int height,
                                     int colorCount, int bitCount) {
  TRkIconImage image;
  image.data_ = std::move(data);
  image.width_ = width;
  image.height_ = height;
  image.colorCount_ = colorCount;
  image.bitCount_ = bitCount;
  return image;
}

TRkIconImage TRkIconImage::FromFile(std::span<const std::uint8_t> entry,
                                    std::span<const std::uint8_t> file,
                                    const DecodeLimits& limits) {
  ByteReader e(entry);
  e.skip(2);  // width and height: hints, often 0 for 256; the image data has the size
  const int colorCount = e.u8();
  e.skip(5);
  const std::uint32_t size = e.u32le(), offset = e.u32le();
  if (offset > file.size() || size > file.size() - offset) throw ERkGraphic(3);
  const auto resource = file.subspan(offset, size);
  TRkIconImage image;
  image.colorCount_ = colorCount;
  if (resource.size() >= kPngSignature.size() &&
      std::equal(kPngSignature.begin(), kPngSignature.end(), resource.begin())) {
    auto png = std::make_shared<TPNGObject>();
    png->setLimits(limits);
    png->loadFromMemory(resource);
    image.width_ = png->width();
    image.height_ = png->height();
    image.bitCount_ = 32;
    image.png_ = std::move(png);
  } else {
    ByteReader r(resource);
    if (r.u32le() != kInfoSize) throw ERkGraphic(2);
    if (resource.size() < kInfoSize) throw ERkGraphic(3);
    r.skip(10);
    image.bitCount_ = r.u16le();
    ByteReader h(resource);
    h.skip(4);
    const std::int32_t w = h.i32le(), h2 = h.i32le();
    if (w < 1 || h2 < 2) throw ERkGraphic(3);
    image.width_ = w;
    image.height_ = h2 / 2;
  }
  image.data_.assign(entry.begin(), entry.end());
  image.data_.insert(image.data_.end(), resource.begin(), resource.end());
  return image;
}

void TRkIconImage::Draw(Bitmap& target, int x, int y, const DecodeLimits& limits) const {
  if (png_) {
    png_->draw(target, x, y);
    return;
  }
  bool maskMissing = false;
  const Decoded d = decodeDib(Resource(), limits, &maskMissing);
  const int x0 = std::max(0, x), x1 = std::min(target.width(), x + d.width);
  const int y0 = std::max(0, y), y1 = std::min(target.height(), y + d.height);
  for (int ty = y0; ty < y1; ++ty) {
    std::uint8_t* t = target.row(ty) + 3 * static_cast<std::size_t>(x0);
    const std::uint8_t* s =
        d.bgra.data() + (static_cast<std::size_t>(ty - y) * d.width + (x0 - x)) * 4;
    for (int tx = x0; tx < x1; ++tx, t += 3, s += 4) {
      const unsigned a = s[3];
      if (a == 0) continue;
      for (int c = 0; c < 3; ++c)
        t[c] =
            a == 255 ? s[c] : static_cast<std::uint8_t>((s[c] * a + t[c] * (255 - a) + 127) / 255);
    }
  }
}

// ---- TRkIcon -------------------------------------------------------------------------------

TRkIcon::TRkIcon() = default;

void TRkIcon::SetWidth(int value) {
  if (value >= 1 && value <= 65534) width_ = value;
}
void TRkIcon::SetHeight(int value) {
  if (value >= 1 && value <= 65534) height_ = value;
}
void TRkIcon::SetBitCount(int value) {
  bitCount_ = value <= 0 ? 1 : std::min(value, 32);
}

bool TRkIcon::empty() const {
  return std::all_of(images_.begin(), images_.end(),
                     [](const TRkIconImage& image) { return image.Empty(); });
}

void TRkIcon::assign(const Bitmap& bitmap) {
  TRkIconImage image = MakeImage(bitmap);
  images_.clear();
  images_.push_back(std::move(image));
}

void TRkIcon::Assign(const TRkIcon& other) {
  images_ = other.images_;
  width_ = other.width_;
  height_ = other.height_;
}

void TRkIcon::AssignGraphic(const Graphic& graphic) {
  if (const auto* icon = dynamic_cast<const TRkIcon*>(&graphic)) {
    Assign(*icon);
    return;
  }
  if (graphic.empty()) throw ERkGraphic(4);
  Bitmap canvas(graphic.width(), graphic.height(), 24, limits());
  graphic.draw(canvas, 0, 0);
  assign(canvas);
}

TRkIconImage TRkIcon::MakeImage(const Bitmap& bitmap) const {
  if (bitmap.empty()) throw ERkGraphic(4);
  const int sw = bitmap.width(), sh = bitmap.height(), W = width_, H = height_;
  checkImageSize(W, H, 32, limits());

  // Colour (transparent pixels black) and mask (opaque 0, transparent white) at source size.
  Bitmap colour = ConvertToBitmap24(bitmap);
  Bitmap mask = filled(sw, sh, 0);
  if (bitmap.transparent) {
    const std::uint32_t key = transparentRgb(colour, bitmap.transparentColor);
    for (int y = 0; y < sh; ++y) {
      std::uint8_t* p = colour.row(y);
      std::uint8_t* m = mask.row(y);
      for (int x = 0; x < sw; ++x, p += 3, m += 3) {
        const std::uint32_t rgb =
            std::uint32_t{p[2]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[0]} << 16;
        if (rgb == key) {
          std::memset(p, 0, 3);
          std::memset(m, 255, 3);
        }
      }
    }
  }

  // Scale factors by stretch mode; sizes rounded ties to even, within the icon, at least 1.
  double rx = static_cast<double>(W) / sw, ry = static_cast<double>(H) / sh;
  if (stretchMode_ == 0) {
    rx = std::min(rx, 1.0);
    ry = std::min(ry, 1.0);
  } else if (stretchMode_ == 2) {
    rx = ry = std::min({rx, ry, 1.0});
  }
  const int nw = std::clamp(static_cast<int>(std::nearbyint(sw * rx)), 1, W);
  const int nh = std::clamp(static_cast<int>(std::nearbyint(sh * ry)), 1, H);
  if (nw != sw || nh != sh) {
    ResampleBitmap(colour, colour, nw, nh);
    ResampleBitmap(mask, mask, nw, nh);
  }
  const int ox = (W - nw) / 2, oy = (H - nh) / 2;
  Bitmap canvas = filled(W, H, 0);
  Bitmap maskCanvas = filled(W, H, 255);
  drawBitmap24(colour, canvas, ox, oy);
  drawBitmap24(mask, maskCanvas, ox, oy);

  // Mask bits; black under the mask, so the colour reduction keeps them near black.
  const std::size_t ms = maskStride(W);
  std::vector<std::uint8_t> maskBits(ms * static_cast<std::size_t>(H), 0);
  for (int y = 0; y < H; ++y) {
    std::uint8_t* bitsRow = maskBits.data() + static_cast<std::size_t>(H - 1 - y) * ms;
    const std::uint8_t* m = maskCanvas.row(y);
    std::uint8_t* p = canvas.row(y);
    for (int x = 0; x < W; ++x, m += 3, p += 3) {
      if (m[0] >= 128) {
        bitsRow[x / 8] = static_cast<std::uint8_t>(bitsRow[x / 8] | 0x80 >> (x % 8));
        std::memset(p, 0, 3);
      }
    }
  }

  const int bits = storedBits(bitCount_);
  Bitmap converted =
      ChangeBitCount(std::move(canvas), bits == 16 ? 15 : bits, nullptr, false, false);
  if (bits == 32) {
    for (int y = 0; y < H; ++y) {
      const std::uint8_t* bitsRow = maskBits.data() + static_cast<std::size_t>(H - 1 - y) * ms;
      std::uint8_t* p = converted.row(y);
      for (int x = 0; x < W; ++x) p[4 * x + 3] = (bitsRow[x / 8] >> (7 - x % 8) & 1) ? 0 : 255;
    }
  }

  const std::size_t paletteEntries = bits <= 8 ? std::size_t{1} << bits : 0;
  const std::size_t cs = colorStride(W, bits);
  const std::size_t resourceSize =
      kInfoSize + 4 * paletteEntries + cs * static_cast<std::size_t>(H) + maskBits.size();
  std::vector<std::uint8_t> out;
  out.reserve(kEntrySize + resourceSize);
  out.push_back(static_cast<std::uint8_t>(W));
  out.push_back(static_cast<std::uint8_t>(H));
  const int colorCount = bits == 1 || bits == 4 ? 1 << bits : 0;
  out.push_back(static_cast<std::uint8_t>(colorCount));
  out.push_back(0);
  put16(out, bits <= 8 ? 0 : 1);
  put16(out, bits <= 8 ? 0 : static_cast<unsigned>(bits));
  put32(out, static_cast<std::uint32_t>(resourceSize));
  put32(out, 0);  // offset, set on saving
  put32(out, kInfoSize);
  put32(out, static_cast<std::uint32_t>(W));
  put32(out, static_cast<std::uint32_t>(2 * H));
  put16(out, 1);
  put16(out, static_cast<unsigned>(bits));
  for (int i = 0; i < 3; ++i) put32(out, 0);  // compression, image size, x resolution
  put32(out, 0);                              // y resolution
  put32(out, static_cast<std::uint32_t>(paletteEntries));
  put32(out, 0);
  for (std::size_t i = 0; i < paletteEntries; ++i) {
    PaletteEntry e;
    if (i < converted.palette().size()) e = converted.palette()[i];
    out.insert(out.end(), {e.blue, e.green, e.red, 0});
  }
  // Colour rows bottom first; the bitmap's own rows are already padded to 4 bytes.
  for (int y = H - 1; y >= 0; --y) {
    const std::uint8_t* row = converted.row(y);
    const std::size_t copied = std::min(cs, converted.stride());
    out.insert(out.end(), row, row + copied);
    out.insert(out.end(), cs - copied, 0);
  }
  out.insert(out.end(), maskBits.begin(), maskBits.end());
  return TRkIconImage::FromParts(std::move(out), W, H, colorCount, bits);
}

std::vector<std::uint8_t> TRkIcon::saveToMemory() const {
  if (images_.empty()) throw ERkGraphic(4);
  std::vector<std::uint8_t> out;
  put16(out, 0);
  put16(out, 1);
  put16(out, static_cast<unsigned>(images_.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + kEntrySize * images_.size());
  for (const TRkIconImage& image : images_) {
    const auto& data = image.Data();
    const std::size_t at = out.size();
    out.insert(out.end(), data.begin(), data.begin() + kEntrySize);
    const auto size = static_cast<std::uint32_t>(data.size() - kEntrySize);
    set32(out, at + 8, size);
    set32(out, at + 12, offset);
    offset += size;
  }
  for (const TRkIconImage& image : images_)
    out.insert(out.end(), image.Data().begin() + kEntrySize, image.Data().end());
  return out;
}

void TRkIcon::loadFromMemory(std::span<const std::uint8_t> data) {
  std::vector<TRkIconImage> images;
  try {
    ByteReader r(data);
    r.skip(2);
    if (r.u16le() != 1) throw ERkGraphic(2);
    const int count = r.u16le();
    // Resources of a file do not overlap, so together they fit in it; decoded PNG-form images
    // together stay within the memory limit.
    std::uint64_t resources = 0, decoded = 0;
    for (int i = 0; i < count; ++i) {
      const auto entry = r.bytes(kEntrySize);
      resources += entry[8] | entry[9] << 8 | entry[10] << 16 | std::uint64_t{entry[11]} << 24;
      if (resources > data.size()) throw ERkGraphic(3);
      images.push_back(TRkIconImage::FromFile(entry, data, limits()));
      if (images.back().IsPng()) {
        decoded += checkImageSize(images.back().Width(), images.back().Height(), 32, limits());
        if (decoded > limits().maxImageBytes) throw ImageSizeError("icon images pass the limit");
      }
    }
  } catch (const ByteReader::Overrun&) {
    throw ERkGraphic(3);
  }
  // Check each DIB-form image decodes before taking the file.
  for (const TRkIconImage& image : images) {
    if (image.IsPng()) continue;
    bool maskMissing = false;
    try {
      (void)decodeDib(image.Resource(), limits(), &maskMissing);
    } catch (const ByteReader::Overrun&) {
      throw ERkGraphic(3);
    }
    if (maskMissing && OnWarning) OnWarning("icon image without its mask: drawn opaque");
  }
  images_ = std::move(images);
  if (!images_.empty()) {
    width_ = images_.front().Width();
    height_ = images_.front().Height();
  }
}

int TRkIcon::BestImage(int width, int height, int deviceBits) const {
  int best = -1;
  long bestSize = 0, bestBits = 0;
  for (std::size_t i = 0; i < images_.size(); ++i) {
    const TRkIconImage& image = images_[i];
    const long size = std::labs(image.Width() - width) + std::labs(image.Height() - height);
    const long bits = std::labs(image.BitCount() - deviceBits);
    if (best < 0 || size < bestSize || (size == bestSize && bits < bestBits)) {
      best = static_cast<int>(i);
      bestSize = size;
      bestBits = bits;
    }
  }
  return best;
}

void TRkIcon::draw(Bitmap& target, int x, int y) const {
  const int best = BestImage(width_, height_, 24);
  if (best < 0) throw ERkGraphic(4);
  try {
    images_[static_cast<std::size_t>(best)].Draw(target, x, y, limits());
  } catch (const ByteReader::Overrun&) {
    throw ERkGraphic(5);
  }
}

}  // namespace vexo
