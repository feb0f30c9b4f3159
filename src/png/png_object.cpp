// The image model: messages, CRC, the chunk list and its order, the pixel store, blank images,
// assigning bitmaps, transparency and text.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/checked.h"
#include "core/colors.h"
#include "png/png_internal.h"

namespace vexo {

namespace {

constexpr std::string_view kMessages[kPngErrcCount] = {
    "The file being readed is not a valid \"Portable Network Graphics\" image because it "
    "contains an invalid header. This file may be corruped, try obtaining it again.",
    "This \"Portable Network Graphics\" image is invalid because the decoder found an unexpected "
    "end of the file.",
    "This \"Portable Network Graphics\" image is not supported or it might be invalid.\r\n(IHDR "
    "chunk is not the first)",
    "This \"Portable Network Graphics\" image contains an unknown critical part which could not be "
    "decoded.",
    "This \"Portable Network Graphics\" image is not valid because it contains invalid pieces of "
    "data (crc error)",
    "The \"Portable Network Graphics\" image could not be loaded because one of its main piece of "
    "data (ihdr) might be corrupted",
    "This \"Portable Network Graphics\" image is not supported because either it's width or "
    "height exceeds the maximum size, which is 65535 pixels length.",
    "This \"Portable Network Graphics\" image is encoded with an unknown compression scheme which "
    "could not be decoded.",
    "This \"Portable Network Graphics\" image uses an unknown interlace scheme which could not be "
    "decoded.",
    "The \"Portable Network Graphics\" image contains an invalid palette.",
    "This \"Portable Network Graphics\" image is invalid because it has missing image parts.",
    "Could not decompress the image because it contains invalid compressed data.\r\n "
    "Description: ",
    "This \"Portable Network Graphics\" image contains no data.",
    "The \"Portable Network Graphics\" could not be created because invalid image type parameters "
    "have being provided.",
    "Setting bit transparency color is not allowed for png images containing alpha value for each "
    "pixel (COLOR_RGBALPHA and COLOR_GRAYSCALEALPHA)",
    "This operation is not valid because the current image contains no valid header.",
    "The program tried to add a existent critical chunk to the current image which is not "
    "allowed.",
    "It's not allowed to add a new chunk because the current image is invalid.",
    "There is no such palette entry.",
};

bool isCritical(std::string_view type) {
  return type == "IHDR" || type == "PLTE" || type == "IDAT" || type == "IEND";
}

int channelsOf(int colorType) {
  switch (colorType) {
    case kColorRGB:
      return 3;
    case kColorGrayscaleAlpha:
      return 2;
    case kColorRGBAlpha:
      return 4;
    default:
      return 1;
  }
}

}  // namespace

std::string_view PngErrorText(PngErrc code) {
  return kMessages[static_cast<int>(code)];
}

EPngError::EPngError(PngErrc code, std::string_view detail)
    : Error(std::string(PngErrorText(code)) + std::string(detail)), code_(code) {}

void RaisePngError(PngErrc code, std::string_view detail) {
  switch (code) {
#define VEXO_PNG_RAISE(c) \
  case PngErrc::c:        \
    throw EPngErrorOf<PngErrc::c>(detail);
    VEXO_PNG_RAISE(kInvalidFileHeader)
    VEXO_PNG_RAISE(kUnexpectedEnd)
    VEXO_PNG_RAISE(kIHDRNotFirst)
    VEXO_PNG_RAISE(kUnknownCriticalChunk)
    VEXO_PNG_RAISE(kInvalidCRC)
    VEXO_PNG_RAISE(kInvalidIHDR)
    VEXO_PNG_RAISE(kSizeExceeds)
    VEXO_PNG_RAISE(kUnknownCompression)
    VEXO_PNG_RAISE(kUnknownInterlace)
    VEXO_PNG_RAISE(kInvalidPalette)
    VEXO_PNG_RAISE(kMissingMultipleIDAT)
    VEXO_PNG_RAISE(kZLIBError)
    VEXO_PNG_RAISE(kNoImageData)
    VEXO_PNG_RAISE(kInvalidSpec)
    VEXO_PNG_RAISE(kCannotChangeTransparent)
    VEXO_PNG_RAISE(kHeaderNotPresent)
#undef VEXO_PNG_RAISE
    default:
      throw EPngError(code, detail);
  }
}

std::string_view ZlibStatusText(int status) {
  switch (status) {
    case Z_VERSION_ERROR:
      return "incompatible version (-6)";
    case Z_BUF_ERROR:
      return "buffer error (-5)";
    case Z_MEM_ERROR:
      return "insufficient memory (-4)";
    case Z_DATA_ERROR:
      return "data error (-3)";
    case Z_ERRNO:
      return "file error (-1)";
    case Z_STREAM_END:
      return "stream end (1)";
    case Z_NEED_DICT:
      return "need dictionary (2)";
    default:
      return "stream error (-2)";
  }
}

// zlib's CRC-32 is the PNG one (reflected 0xEDB88320, preset and complemented).
std::uint32_t PngCrc(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  while (!bytes.empty()) {
    const auto n = static_cast<uInt>(std::min<std::size_t>(bytes.size(), 1u << 30));
    crc = static_cast<std::uint32_t>(::crc32(crc, bytes.data(), n));
    bytes = bytes.subspan(n);
  }
  return crc;
}

std::uint64_t PngRowBytes(int colorType, int bitDepth, std::uint64_t width) {
  return (width * static_cast<std::uint64_t>(channelsOf(colorType) * bitDepth) + 7) / 8;
}

int PngPixelBytes(int colorType, int bitDepth) {
  return std::max(1, channelsOf(colorType) * bitDepth / 8);
}

// ---- chunks ----------------------------------------------------------------------------------

TChunk::TChunk(std::string_view type) {
  std::memcpy(type_.data(), type.data(), std::min<std::size_t>(type.size(), 4));
}

TChunk* TPNGList::Find(std::string_view type) const {
  for (const auto& c : items_)
    if (c->Name() == type) return c.get();
  return nullptr;
}

TChunk& TPNGList::Add(std::unique_ptr<TChunk> chunk, bool allowCritical) {
  const std::string_view type = chunk->Name();
  if (!allowCritical) {
    if (!Find("IHDR") || !Find("IEND")) throw EPngError(PngErrc::kInvalidImage);
    if (isCritical(type) || ((type == "gAMA" || type == "tRNS" || type == "pHYs") && Find(type)))
      throw EPngError(PngErrc::kExistentCriticalChunk);
  }
  auto indexOf = [&](std::string_view t) -> std::ptrdiff_t {
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (items_[i]->Name() == t) return static_cast<std::ptrdiff_t>(i);
    return -1;
  };
  std::ptrdiff_t at = static_cast<std::ptrdiff_t>(items_.size());
  const std::ptrdiff_t header = indexOf("IHDR"), endChunk = indexOf("IEND");
  if (type == "IHDR") {
    at = 0;
  } else if (type == "IEND") {
  } else if (type == "PLTE" || type == "gAMA" || type == "pHYs") {
    if (header >= 0) at = header + 1;
  } else if (type == "tRNS") {
    if (const auto plte = indexOf("PLTE"); plte >= 0)
      at = plte + 1;
    else if (const auto idat = indexOf("IDAT"); idat >= 0)
      at = idat;
    else if (header >= 0)
      at = header + 1;
  } else if (endChunk >= 0) {
    at = endChunk;
  }
  return **items_.insert(items_.begin() + at, std::move(chunk));
}

TChunk& TPNGList::Append(std::unique_ptr<TChunk> chunk) {
  items_.push_back(std::move(chunk));
  return *items_.back();
}

void TPNGList::Remove(const TChunk& chunk) {
  std::erase_if(items_, [&](const auto& c) { return c.get() == &chunk; });
}

int TChunkIHDR::StoreBits() const {
  if (ColorType == kColorRGB || ColorType == kColorRGBAlpha) return 24;
  return BitDepth == 2 ? 4 : BitDepth >= 8 ? 8 : BitDepth;
}

void TChunkIHDR::PrepareStore(const DecodeLimits& limits,
                              const std::array<std::uint8_t, 256>& gamma) {
  const int bits = StoreBits();
  const std::uint64_t pixels = checkImageSize(Width, Height, bits, limits);
  const std::uint64_t alpha = ColorType == kColorGrayscaleAlpha || ColorType == kColorRGBAlpha
                                  ? std::uint64_t{Width} * Height
                                  : 0;
  const std::uint64_t low = BitDepth == 16 ? pixels : 0;
  if (pixels + alpha + low > limits.maxImageBytes)
    throw ImageSizeError("image is larger than the memory limit");
  Alpha.clear();
  Low.clear();
  Store = Bitmap(static_cast<int>(Width), static_cast<int>(Height), bits, limits);
  Alpha.assign(static_cast<std::size_t>(alpha), 0);
  Low.assign(static_cast<std::size_t>(low), 0);
  if (bits > 8) return;
  const std::size_t n = std::size_t{1} << bits;
  Palette& palette = Store.palette();
  if (ColorType == kColorPalette) {
    palette.assign(HalftonePalette().begin(), HalftonePalette().begin() + n);
  } else {
    png::FillGrayRamp(palette, n, gamma);
  }
}

// ---- the image -------------------------------------------------------------------------------

TPNGObject::TPNGObject() {
  resetGamma();
}

TPNGObject::TPNGObject(const TPNGObject& other)
    : Graphic(other),
      RowFilters(other.RowFilters),
      InterlaceMode(other.InterlaceMode),
      gamma_(other.gamma_),
      inverseGamma_(other.inverseGamma_),
      deflateLevel_(other.deflateLevel_),
      maxIdatData_(other.maxIdatData_) {
  for (const auto& c : other.chunks_) chunks_.Append(c->Clone());
}

TPNGObject& TPNGObject::operator=(const TPNGObject& other) {
  if (this != &other) *this = TPNGObject(other);
  return *this;
}

TPNGObject::~TPNGObject() = default;

void TPNGObject::resetGamma() {
  for (int i = 0; i < 256; ++i) gamma_[i] = inverseGamma_[i] = static_cast<std::uint8_t>(i);
}

void TPNGObject::setGamma(std::uint32_t gamma) {
  if (gamma == 0) return;
  const double exponent = 1.0 / (gamma / 100000.0 * 2.2);
  for (int i = 0; i < 256; ++i) {
    gamma_[i] = static_cast<std::uint8_t>(
        std::clamp(std::nearbyint(255.0 * std::pow(i / 255.0, exponent)), 0.0, 255.0));
    inverseGamma_[gamma_[i]] = static_cast<std::uint8_t>(i);
  }
}

void TPNGObject::setDeflateLevel(int level) {
  deflateLevel_ = std::clamp(level, 0, 9);
}

void TPNGObject::setMaxIdatData(std::size_t size) {
  maxIdatData_ = std::clamp<std::size_t>(size, 65535, 0x7FFFFFFF);
}

int TPNGObject::width() const {
  const auto* h = chunks_.Find<TChunkIHDR>();
  return h ? static_cast<int>(h->Width) : 0;
}

int TPNGObject::height() const {
  const auto* h = chunks_.Find<TChunkIHDR>();
  return h ? static_cast<int>(h->Height) : 0;
}

TChunkIHDR& TPNGObject::Header() {
  auto* h = chunks_.Find<TChunkIHDR>();
  if (!h) throw EPNGHeaderNotPresent();
  return *h;
}

const TChunkIHDR& TPNGObject::Header() const {
  return const_cast<TPNGObject*>(this)->Header();
}

void TPNGObject::Clear() {
  chunks_.Clear();
  resetGamma();
}

void TPNGObject::InitBlank(int colorType, int bitDepth, int width, int height) {
  if (!png::ValidType(colorType, bitDepth)) throw EPNGInvalidSpec();
  auto header = std::make_unique<TChunkIHDR>();
  header->Width = static_cast<std::uint32_t>(std::max(width, 0));
  header->Height = static_cast<std::uint32_t>(std::max(height, 0));
  header->BitDepth = static_cast<std::uint8_t>(bitDepth == 2 ? 4 : bitDepth);
  header->ColorType = static_cast<std::uint8_t>(colorType);
  resetGamma();
  header->PrepareStore(limits(), gamma_);
  if (header->Store.bits() == 24) std::memset(header->Store.data(), 0, header->Store.dataSize());
  chunks_.Clear();
  chunks_.Add(std::move(header), true);
  if (colorType == kColorPalette) {
    auto plte = std::make_unique<TChunkPLTE>();
    plte->Count = 1 << (bitDepth == 2 ? 4 : bitDepth);
    chunks_.Add(std::move(plte), true);
  }
  chunks_.Add(std::make_unique<TChunkIDAT>(), true);
  chunks_.Add(std::make_unique<TChunkIEND>(), true);
}

void TPNGObject::AssignBitmap(const Bitmap& bitmap) {
  if (bitmap.empty()) return Clear();
  Bitmap copy = bitmap.bits() < 15 || bitmap.bits() == 24 ? bitmap : ConvertToBitmap24(bitmap);
  assignStore(std::move(copy), bitmap.transparent, bitmap.transparentColor);
}

void TPNGObject::AssignBitmap(Bitmap&& bitmap) {
  if (bitmap.empty()) return Clear();
  const bool transparent = bitmap.transparent;
  const ColorValue color = bitmap.transparentColor;
  if (bitmap.bits() >= 15 && bitmap.bits() != 24) bitmap = ConvertToBitmap24(bitmap);
  assignStore(std::move(bitmap), transparent, color);
}

void TPNGObject::assignStore(Bitmap store, bool transparent, ColorValue transparentColor) {
  const int bits = store.bits();
  auto header = std::make_unique<TChunkIHDR>();
  header->Width = static_cast<std::uint32_t>(store.width());
  header->Height = static_cast<std::uint32_t>(store.height());
  header->BitDepth = static_cast<std::uint8_t>(bits == 24 ? 8 : bits);
  header->ColorType = static_cast<std::uint8_t>(bits == 24 ? kColorRGB : kColorPalette);
  if (bits <= 8) store.palette().resize(std::size_t{1} << bits);  // new entries black
  store.transparent = false;
  header->Store = std::move(store);
  Clear();
  chunks_.Add(std::move(header), true);
  if (bits <= 8) {
    auto plte = std::make_unique<TChunkPLTE>();
    plte->Count = 1 << bits;
    chunks_.Add(std::move(plte), true);
  }
  chunks_.Add(std::make_unique<TChunkIDAT>(), true);
  chunks_.Add(std::make_unique<TChunkIEND>(), true);
  if (transparent) SetTransparency(transparentColor);
}

void TPNGObject::AddCompressedText(std::string_view keyword, std::string_view text) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  std::unique_ptr<TChunktEXt> chunk;
  if (ascii)
    chunk = std::make_unique<TChunkzTXt>();
  else
    chunk = std::make_unique<TChunkiTXt>();
  chunk->Keyword = keyword;
  chunk->Text = text;
  chunks_.Add(std::move(chunk));
}

void TPNGObject::SetTransparency(ColorValue color) {
  TChunkIHDR& h = Header();
  if (h.ColorType == kColorGrayscaleAlpha || h.ColorType == kColorRGBAlpha)
    throw EPNGCannotChangeTransparent();
  std::uint32_t rgb = ColorToRGB(color);
  if (color == kColorAuto) {
    png::RowRenderer rows(*this);
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(rows.width()) * 3);
    rows.Render(rows.height() - 1, bgr.data(), nullptr);
    rgb = std::uint32_t{bgr[2]} | std::uint32_t{bgr[1]} << 8 | std::uint32_t{bgr[0]} << 16;
  }
  const unsigned r = rgb & 0xFF, g = rgb >> 8 & 0xFF, b = rgb >> 16 & 0xFF;

  auto* trns = chunks_.Find<TChunktRNS>();
  if (h.ColorType == kColorPalette) {
    const Palette& palette = h.Store.palette();
    const auto match = std::find_if(palette.begin(), palette.end(), [&](const PaletteEntry& e) {
      return e.red == r && e.green == g && e.blue == b;
    });
    if (match == palette.end()) {  // no entry has the colour: no tRNS rather than a wrong one
      if (trns) chunks_.Remove(*trns);
      return;
    }
    if (!trns) trns = static_cast<TChunktRNS*>(&chunks_.Add(std::make_unique<TChunktRNS>()));
    const auto k = static_cast<std::size_t>(match - palette.begin());
    trns->Values.fill(0);
    std::fill_n(trns->Values.begin(), k, std::uint8_t{255});
    trns->Size = k + 1;
    trns->KeyColor = true;
    return;
  }

  if (!trns) trns = static_cast<TChunktRNS*>(&chunks_.Add(std::make_unique<TChunktRNS>()));
  trns->Values.fill(0);
  trns->KeyColor = true;
  // A sample at the written depth (2 is written as 4, 16-bit samples as the byte twice).
  const int depth = h.BitDepth == 2 ? 4 : h.BitDepth;
  auto sample = [depth](unsigned v) -> unsigned {
    return depth == 16 ? v * 257 : (v * ((1u << depth) - 1) + 127) / 255;
  };
  auto put = [&](std::size_t at, unsigned v) {
    trns->Values[at] = static_cast<std::uint8_t>(v >> 8);
    trns->Values[at + 1] = static_cast<std::uint8_t>(v);
  };
  if (h.ColorType == kColorGrayscale) {
    put(0, sample((r + g + b + 1) / 3));  // the nearest gray level
    trns->Size = 2;
  } else {
    put(0, sample(r));
    put(2, sample(g));
    put(4, sample(b));
    trns->Size = 6;
  }
}

std::optional<std::uint32_t> TPNGObject::TransparentColor() const {
  const auto* trns = chunks_.Find<TChunktRNS>();
  const auto* h = chunks_.Find<TChunkIHDR>();
  if (!trns || !h || !trns->KeyColor) return std::nullopt;
  const auto& v = trns->Values;
  const Palette& palette = h->Store.palette();
  auto entry = [&](std::size_t i) -> std::uint32_t {
    if (i >= palette.size()) return 0;
    return std::uint32_t{palette[i].red} | std::uint32_t{palette[i].green} << 8 |
           std::uint32_t{palette[i].blue} << 16;
  };
  switch (h->ColorType) {
    case kColorPalette:
      for (std::size_t i = 0; i < trns->Size && i < 256; ++i)
        if (v[i] != 255) return entry(i);
      return std::nullopt;
    case kColorGrayscale: {
      if (trns->Size != 2) return std::nullopt;
      return entry(png::GrayKeyIndex(unsigned(v[0]) << 8 | v[1], h->BitDepth));
    }
    case kColorRGB: {
      if (trns->Size != 6) return std::nullopt;
      const bool wide = h->BitDepth == 16;
      auto channel = [&](int i) -> std::uint32_t { return gamma_[wide ? v[2 * i] : v[2 * i + 1]]; };
      return channel(0) | channel(1) << 8 | channel(2) << 16;
    }
    default:
      return std::nullopt;
  }
}

PaletteEntry TPNGObject::PaletteColor(int index) const {
  const Palette& palette = Header().Store.palette();
  if (index < 0 || static_cast<std::size_t>(index) >= palette.size())
    throw EPngError(PngErrc::kNoSuchPaletteEntry);
  return palette[static_cast<std::size_t>(index)];
}

// ---- zlib helpers ----------------------------------------------------------------------------

namespace png {

bool ValidType(int colorType, int bitDepth) {
  switch (colorType) {
    case kColorGrayscale:
      return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 || bitDepth == 16;
    case kColorPalette:
      return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
    case kColorRGB:
    case kColorGrayscaleAlpha:
    case kColorRGBAlpha:
      return bitDepth == 8 || bitDepth == 16;
    default:
      return false;
  }
}

void FillGrayRamp(Palette& palette, std::size_t n, const std::array<std::uint8_t, 256>& gamma) {
  palette.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t level = gamma[(i * 255 + (n - 1) / 2) / (n - 1)];
    palette[i] = {level, level, level, 0};
  }
}

std::optional<std::vector<std::uint8_t>> Compress(std::span<const std::uint8_t> bytes, int level) {
  uLongf size = ::compressBound(static_cast<uLong>(bytes.size()));
  std::vector<std::uint8_t> out(size);
  if (::compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), level) != Z_OK)
    return std::nullopt;
  out.resize(size);
  return out;
}

std::optional<std::vector<std::uint8_t>> Inflate(std::span<const std::uint8_t> bytes,
                                                 std::size_t maxBytes) {
  z_stream z{};
  if (::inflateInit(&z) != Z_OK) return std::nullopt;
  std::vector<std::uint8_t> out;
  std::uint8_t buffer[16384];
  z.next_in = const_cast<Bytef*>(bytes.data());
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(bytes.size(), UINT32_MAX));
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = buffer;
    z.avail_out = sizeof buffer;
    status = ::inflate(&z, Z_NO_FLUSH);
    const std::size_t got = sizeof buffer - z.avail_out;
    if (out.size() + got > maxBytes)
      status = Z_MEM_ERROR;
    else
      out.insert(out.end(), buffer, buffer + got);
  }
  ::inflateEnd(&z);
  if (status != Z_STREAM_END) return std::nullopt;
  return out;
}

}  // namespace png

}  // namespace vexo
