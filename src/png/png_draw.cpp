// Drawing the pixel store: rendering rows with their transparency, blending onto 24-bit
// bitmaps, the grayscale copy and conversion to a Bitmap.
#include <algorithm>
#include <cstring>

#include "png/png_internal.h"

namespace vexo {

namespace png {

namespace {

// Index of pixel x in a packed row of 1, 4 or 8 bits per pixel.
template <int Bits>
inline unsigned indexAt(const std::uint8_t* row, int x) {
  if constexpr (Bits == 8) return row[x];
  if constexpr (Bits == 4) return (row[x >> 1] >> (x & 1 ? 0 : 4)) & 15;
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

template <int Bits>
void lookupRow(const std::uint8_t* row, int width,
               const std::array<std::array<std::uint8_t, 3>, 256>& table, std::uint8_t* bgr) {
  for (int x = 0; x < width; ++x, bgr += 3)
    std::memcpy(bgr, table[indexAt<Bits>(row, x)].data(), 3);
}

template <int Bits, class Alpha>
void alphaRow(const std::uint8_t* row, int width, std::uint8_t* alpha, Alpha&& of) {
  for (int x = 0; x < width; ++x) alpha[x] = of(indexAt<Bits>(row, x), x);
}

template <class Alpha>
void alphaRow(int bits, const std::uint8_t* row, int width, std::uint8_t* alpha, Alpha&& of) {
  if (bits == 8) return alphaRow<8>(row, width, alpha, of);
  if (bits == 4) return alphaRow<4>(row, width, alpha, of);
  alphaRow<1>(row, width, alpha, of);
}

}  // namespace

RowRenderer::RowRenderer(const TPNGObject& image)
    : header_(image.Header()),
      width_(header_.Store.width()),
      height_(header_.Store.height()),
      bits_(header_.Store.bits()) {
  const Palette& palette = header_.Store.palette();
  for (std::size_t i = 0; i < palette.size() && i < 256; ++i)
    table_[i] = {palette[i].blue, palette[i].green, palette[i].red};
  const int type = header_.ColorType;
  if (type == kColorGrayscaleAlpha || type == kColorRGBAlpha) {
    mode_ = Mode::kAlphaPlane;
    return;
  }
  const auto* trns = image.Chunks().Find<TChunktRNS>();
  if (!trns) return;
  const auto& v = trns->Values;
  const bool wide = header_.BitDepth == 16;
  if (type == kColorPalette) {
    entryAlpha_.fill(255);
    std::copy_n(v.begin(), std::min<std::size_t>(trns->Size, 256), entryAlpha_.begin());
    if (std::any_of(entryAlpha_.begin(), entryAlpha_.end(), [](auto a) { return a != 255; }))
      mode_ = Mode::kEntryAlpha;
  } else if (type == kColorGrayscale && trns->Size == 2) {
    const unsigned key = unsigned(v[0]) << 8 | v[1];
    keyIndex_ = static_cast<int>(GrayKeyIndex(key, header_.BitDepth));
    if (wide) keyLow_ = static_cast<int>(key & 0xFF);
    mode_ = Mode::kKeyIndex;
  } else if (type == kColorRGB && trns->Size == 6) {
    // The store holds samples through the gamma table, so the key is compared the same way.
    const auto& g = image.GammaTable();
    for (int c = 0; c < 3; ++c) {  // key order R, G, B; store order B, G, R
      keyBgr_[2 - c] = g[wide ? v[2 * c] : v[2 * c + 1]];
      keyLowBgr_[2 - c] = g[v[2 * c + 1]];
    }
    keyHasLow_ = wide;
    mode_ = Mode::kKeyRgb;
  }
}

void RowRenderer::Render(int y, std::uint8_t* bgr, std::uint8_t* alpha) const {
  const std::uint8_t* row = header_.Store.row(y);
  const std::size_t offset = static_cast<std::size_t>(row - header_.Store.data());
  const std::uint8_t* low = header_.Low.empty() ? nullptr : header_.Low.data() + offset;
  switch (bits_) {
    case 8:
      lookupRow<8>(row, width_, table_, bgr);
      break;
    case 4:
      lookupRow<4>(row, width_, table_, bgr);
      break;
    case 1:
      lookupRow<1>(row, width_, table_, bgr);
      break;
    default:
      std::memcpy(bgr, row, static_cast<std::size_t>(width_) * 3);
      break;
  }
  if (!alpha) return;
  switch (mode_) {
    case Mode::kOpaque:
      std::memset(alpha, 255, static_cast<std::size_t>(width_));
      break;
    case Mode::kAlphaPlane:
      std::memcpy(alpha, header_.Alpha.data() + static_cast<std::size_t>(y) * width_,
                  static_cast<std::size_t>(width_));
      break;
    case Mode::kEntryAlpha:
      alphaRow(bits_, row, width_, alpha, [&](unsigned i, int) { return entryAlpha_[i]; });
      break;
    case Mode::kKeyIndex:
      alphaRow(bits_, row, width_, alpha, [&](unsigned i, int x) -> std::uint8_t {
        return int(i) == keyIndex_ && (keyLow_ < 0 || low[x] == keyLow_) ? 0 : 255;
      });
      break;
    case Mode::kKeyRgb:
      for (int x = 0; x < width_; ++x) {
        const std::uint8_t* p = row + 3 * x;
        bool key = p[0] == keyBgr_[0] && p[1] == keyBgr_[1] && p[2] == keyBgr_[2];
        if (key && keyHasLow_) {
          const std::uint8_t* l = low + 3 * x;
          key = l[0] == keyLowBgr_[0] && l[1] == keyLowBgr_[1] && l[2] == keyLowBgr_[2];
        }
        alpha[x] = key ? 0 : 255;
      }
      break;
  }
}

void BlendRow(const std::uint8_t* bgr, const std::uint8_t* alpha, std::uint8_t* target, int count) {
  for (int x = 0; x < count; ++x, bgr += 3, target += 3) {
    const unsigned a = alpha[x];
    if (a == 255) {
      std::memcpy(target, bgr, 3);
    } else if (a != 0) {
      for (int c = 0; c < 3; ++c)
        target[c] = static_cast<std::uint8_t>((bgr[c] * a + (255 - a) * target[c] + 255) >> 8);
    }
  }
}

}  // namespace png

void TPNGObject::draw(Bitmap& target, int x, int y) const {
  if (empty()) return;
  if (target.bits() != 24) throw ImageSizeError("drawing needs a 24-bit target");
  const png::RowRenderer rows(*this);
  const int left = std::max(0, -x), right = std::min(rows.width(), target.width() - x);
  const int top = std::max(0, -y), bottom = std::min(rows.height(), target.height() - y);
  if (left >= right || top >= bottom) return;
  const auto w = static_cast<std::size_t>(rows.width());
  std::vector<std::uint8_t> bgr(w * 3), alpha(rows.hasAlpha() ? w : 0);
  for (int row = top; row < bottom; ++row) {
    rows.Render(row, bgr.data(), rows.hasAlpha() ? alpha.data() : nullptr);
    std::uint8_t* out = target.row(row + y) + static_cast<std::size_t>(left + x) * 3;
    if (rows.hasAlpha())
      png::BlendRow(bgr.data() + left * 3, alpha.data() + left, out, right - left);
    else
      std::memcpy(out, bgr.data() + left * 3, static_cast<std::size_t>(right - left) * 3);
  }
}

std::optional<Bitmap> TPNGObject::releaseBitmap24() {
  auto* h = chunks_.Find<TChunkIHDR>();
  if (!h || h->ColorType != kColorRGB || h->Store.bits() != 24 || TransparentColor())
    return std::nullopt;
  Bitmap store = std::move(h->Store);
  store.palette().clear();
  Clear();
  return store;
}

TPNGObject TPNGObject::GrayscaleCopy() const {
  TPNGObject gray;
  gray.setLimits(limits());
  gray.InitBlank(kColorGrayscale, 8, width(), height());
  gray.setDeflateLevel(deflateLevel_);
  gray.RowFilters = RowFilters;
  gray.InterlaceMode = InterlaceMode;
  gray.maxIdatData_ = maxIdatData_;
  const png::RowRenderer rows(*this);
  const auto w = static_cast<std::size_t>(rows.width());
  std::vector<std::uint8_t> bgr(w * 3), alpha(w), black(w * 3);
  Bitmap& store = gray.Header().Store;
  for (int y = 0; y < rows.height(); ++y) {
    rows.Render(y, bgr.data(), alpha.data());
    if (rows.hasAlpha()) {  // drawn onto the blank image's black
      std::fill(black.begin(), black.end(), std::uint8_t{0});
      png::BlendRow(bgr.data(), alpha.data(), black.data(), rows.width());
      bgr.swap(black);
    }
    std::uint8_t* out = store.row(y);
    for (std::size_t x = 0; x < w; ++x) {
      const std::uint8_t* p = &bgr[3 * x];
      out[x] = static_cast<std::uint8_t>((p[0] + p[1] + p[2] + 1) / 3);
    }
  }
  return gray;
}

Bitmap TPNGObject::ToBitmap() const {
  const TChunkIHDR& h = Header();
  const png::RowRenderer rows(*this);
  const auto key = TransparentColor();
  const bool indexed =
      h.ColorType == kColorPalette || (h.ColorType == kColorGrayscale && h.BitDepth <= 4);
  if (indexed && (key || !rows.hasAlpha())) {
    Bitmap copy = h.Store;
    copy.transparent = key.has_value();
    if (key) copy.transparentColor = *key;
    return copy;
  }
  Bitmap out(static_cast<int>(h.Width), static_cast<int>(h.Height), 24, limits());
  if (key) {  // the pixels as they are, with the key colour marking the transparent ones
    for (int y = 0; y < rows.height(); ++y) rows.Render(y, out.row(y), nullptr);
    out.transparent = true;
    out.transparentColor = *key;
  } else {
    draw(out, 0, 0);
  }
  return out;
}

}  // namespace vexo
