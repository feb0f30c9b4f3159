// The metafile class and its writer: a bitmap wrapped in an EMF or a placeable WMF that holds one
// bitmap drawing. The player is in metafile_player.cpp.
#include "imaging/metafile.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/byte_io.h"

namespace vexo {
namespace {

// Reference device: 1920 × 1440 pixels on 508 × 381 mm, exactly 96 dpi.
constexpr std::int32_t kDeviceX = 1920, kDeviceY = 1440, kMillimetersX = 508, kMillimetersY = 381;
constexpr std::uint32_t kSrcCopy = 0x00CC0020;
constexpr std::size_t kDibHeaderSize = 40;

class Writer {
 public:
  void u8(std::uint8_t v) { bytes.push_back(v); }
  void u16(std::uint32_t v) {
    u8(static_cast<std::uint8_t>(v));
    u8(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  }
  void i32(std::int64_t v) { u32(static_cast<std::uint32_t>(v)); }
  void put32At(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::vector<std::uint8_t> bytes;
};

// The frame of a size in pixels, in 0.01 mm: round(pixels × 2540 / 96).
std::int64_t frameOf(int pixels) {
  return (std::int64_t{pixels} * 2540 + 48) / 96;
}

std::uint64_t dibBitsSize(const Bitmap& b) {
  return static_cast<std::uint64_t>(b.stride()) * static_cast<std::uint64_t>(b.height());
}

// BITMAPINFOHEADER of a 24-bit bottom-up DIB, then its rows as stored in the bitmap.
void writeDib(Writer& w, const Bitmap& b) {
  w.u32(kDibHeaderSize);
  w.i32(b.width());
  w.i32(b.height());
  w.u16(1);
  w.u16(24);
  w.u32(0);  // BI_RGB
  w.u32(static_cast<std::uint32_t>(dibBitsSize(b)));
  w.u32(3780);  // 96 dpi in pixels per metre
  w.u32(3780);
  w.u32(0);
  w.u32(0);
  w.bytes.insert(w.bytes.end(), b.data(), b.data() + b.dataSize());
}

void requireWritable(const Bitmap& b, int limit) {
  if (b.empty()) throw MetafileError("metafile: no picture to write");
  if (b.bits() != 24) throw MetafileError("metafile: the picture is not a 24-bit bitmap");
  if (b.width() > limit || b.height() > limit)
    throw MetafileError("metafile: the picture is too large for the metafile format");
}

bool endsWithWmf(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".wmf";
}

}  // namespace

std::vector<std::uint8_t> TMetafileEx::encodeEmf(const Bitmap& b) {
  // The frame must stay within 32 bits and the record sizes too.
  requireWritable(b, 1 << 24);
  if (dibBitsSize(b) > 0xFFFFFF00u - 512)
    throw MetafileError("metafile: the picture is too large for the metafile format");
  const std::int32_t w = b.width(), h = b.height();
  Writer out;
  // EMR_HEADER, 108 bytes, no description.
  out.u32(1);
  out.u32(108);
  for (std::int32_t v : {0, 0, w - 1, h - 1}) out.i32(v);  // bounds in device pixels
  out.i32(0);
  out.i32(0);
  out.i32(frameOf(w));
  out.i32(frameOf(h));
  out.u32(0x464D4520);  // " EMF"
  out.u32(0x00010000);
  const std::size_t bytesAt = out.bytes.size();
  out.u32(0);  // total size, filled in below
  out.u32(3);  // header, stretch-DIB, end
  out.u16(1);  // handles: only the reserved index 0
  out.u16(0);
  out.u32(0);  // no description
  out.u32(0);
  out.u32(0);  // no palette
  for (std::int32_t v : {kDeviceX, kDeviceY, kMillimetersX, kMillimetersY}) out.i32(v);
  out.u32(0);  // no pixel format
  out.u32(0);
  out.u32(0);  // not OpenGL
  out.i32(kMillimetersX * 1000);
  out.i32(kMillimetersY * 1000);

  // EMR_STRETCHDIBITS.
  const auto bmiSize = static_cast<std::uint32_t>(kDibHeaderSize);
  const auto bitsSize = static_cast<std::uint32_t>(dibBitsSize(b));
  out.u32(81);
  out.u32(80 + bmiSize + bitsSize);
  for (std::int32_t v : {0, 0, w - 1, h - 1}) out.i32(v);
  for (std::int32_t v : {0, 0, 0, 0, w, h}) out.i32(v);  // dest, source origin, source size
  out.u32(80);
  out.u32(bmiSize);
  out.u32(80 + bmiSize);
  out.u32(bitsSize);
  out.u32(0);  // DIB_RGB_COLORS
  out.u32(kSrcCopy);
  out.i32(w);
  out.i32(h);
  writeDib(out, b);

  // EMR_EOF.
  for (std::uint32_t v : {14u, 20u, 0u, 16u, 20u}) out.u32(v);
  out.put32At(bytesAt, static_cast<std::uint32_t>(out.bytes.size()));
  return std::move(out.bytes);
}

std::vector<std::uint8_t> TMetafileEx::encodeWmf(const Bitmap& b) {
  // Coordinates are signed 16-bit.
  requireWritable(b, 32767);
  const auto w = static_cast<std::uint16_t>(b.width()), h = static_cast<std::uint16_t>(b.height());
  const std::uint64_t dibBytes = kDibHeaderSize + dibBitsSize(b);
  const std::uint64_t stretchWords = 14 + dibBytes / 2;
  const std::uint64_t totalWords = 9 + 4 + 5 + 5 + stretchWords + 3;
  if (totalWords > 0xFFFFFFFFu)
    throw MetafileError("metafile: the picture is too large for the metafile format");
  Writer out;
  // Placeable header with its checksum.
  const std::uint16_t words[10] = {0xCDD7, 0x9AC6, 0, 0, 0, w, h, 96, 0, 0};
  std::uint16_t checksum = 0;
  for (std::uint16_t v : words) {
    out.u16(v);
    checksum ^= v;
  }
  out.u16(checksum);
  // META_HEADER.
  out.u16(1);
  out.u16(9);
  out.u16(0x0300);
  out.u32(static_cast<std::uint32_t>(totalWords));
  out.u16(0);
  out.u32(static_cast<std::uint32_t>(stretchWords));
  out.u16(0);
  // META_SETMAPMODE anisotropic, META_SETWINDOWORG (0, 0), META_SETWINDOWEXT (w, h).
  out.u32(4);
  out.u16(0x0103);
  out.u16(8);
  out.u32(5);
  out.u16(0x020B);
  out.u16(0);
  out.u16(0);
  out.u32(5);
  out.u16(0x020C);
  out.u16(h);
  out.u16(w);
  // META_STRETCHDIB.
  out.u32(static_cast<std::uint32_t>(stretchWords));
  out.u16(0x0F43);
  out.u32(kSrcCopy);
  out.u16(0);  // DIB_RGB_COLORS
  for (std::uint16_t v :
       {h, w, std::uint16_t{0}, std::uint16_t{0}, h, w, std::uint16_t{0}, std::uint16_t{0}})
    out.u16(v);
  writeDib(out, b);
  // META_EOF.
  out.u32(3);
  out.u16(0);
  return std::move(out.bytes);
}

void TMetafileEx::loadFromMemory(std::span<const std::uint8_t> data) {
  bool enhanced = false;
  Bitmap played = metafile::play(data, limits(), OnWarning, enhanced);
  picture_ = std::move(played);
  Enhanced = enhanced;
}

std::vector<std::uint8_t> TMetafileEx::saveToMemory() const {
  return Enhanced ? encodeEmf(picture_) : encodeWmf(picture_);
}

void TMetafileEx::saveToFile(const std::string& path) const {
  const auto bytes = (Enhanced && !endsWithWmf(path)) ? encodeEmf(picture_) : encodeWmf(picture_);
  writeFileAtomic(path, bytes);
}

void TMetafileEx::draw(Bitmap& target, int x, int y) const {
  if (!picture_.empty()) drawBitmap24(picture_, target, x, y);
}

void TMetafileEx::assign(const Bitmap& bitmap) {
  if (bitmap.empty()) throw MetafileError("metafile: no picture to assign");
  picture_ = bitmap.bits() == 24 ? bitmap : ConvertToBitmap24(bitmap);
  picture_.transparent = false;
}

void TMetafileEx::assign(Bitmap&& bitmap) {
  if (bitmap.bits() != 24) return assign(static_cast<const Bitmap&>(bitmap));
  if (bitmap.empty()) throw MetafileError("metafile: no picture to assign");
  picture_ = std::move(bitmap);
  picture_.transparent = false;
}

std::optional<Bitmap> TMetafileEx::releaseBitmap24() {
  if (picture_.empty()) return std::nullopt;
  std::optional<Bitmap> result(std::move(picture_));
  picture_ = Bitmap();
  return result;
}

}  // namespace vexo
