#include "input/bmp.h"

#include <algorithm>
#include <array>

#include "core/byte_reader.h"
#include "input/dib_common.h"

namespace vexo {

namespace {

using dibcodec::DecodeFault;
using dibcodec::Encoding;
using dibcodec::PixelLayout;

constexpr std::array<std::string_view, kBmpErrcCount> kMessages = {
    "Not a bitmap file",
    "Bitmap file is truncated",
    "Unsupported bitmap header size",
    "Unsupported bitmap bit count",
    "Unsupported bitmap compression",
    "Invalid bitmap dimensions",
    "Invalid bitmap plane count",
    "Bitmap pixel data offset is invalid",
    "Bitmap palette does not fit before the pixel data",
    "Bitmap pixel refers to a missing palette entry",
    "Invalid bitmap colour masks",
    "Run-length bitmap cannot be stored top-down",
    "Run-length data reaches outside the bitmap",
    "Bitmap has no pixels to save",
    "Bitmap is too large for a bitmap file",
};

[[noreturn]] void raise(BmpErrc code) {
  throw BmpError(code);
}

constexpr std::size_t kFileHeaderSize = 14;

bool supportedHeaderSize(std::uint32_t size) {
  switch (size) {
    case 12:
    case 40:
    case 52:
    case 56:
    case 108:
    case 124:
      return true;
    default:
      return false;
  }
}

// Bit-field masks (red, green, blue) sit at offset 54 in every header that has them: after a
// 40-byte header, or inside a 52/56/108/124-byte one. Each must be one run of bits inside the
// pixel, and no two may share a bit; the alpha mask is ignored.
std::array<std::uint32_t, 3> readMasks(std::span<const std::uint8_t> data, int bits) {
  ByteReader in(data);
  in.seek(kFileHeaderSize + 40);
  std::array<std::uint32_t, 3> masks{in.u32le(), in.u32le(), in.u32le()};
  const std::uint64_t pixelMask = (std::uint64_t{1} << bits) - 1;
  for (auto m : masks)
    if (!dibcodec::isContiguousMask(m) || m > pixelMask) raise(BmpErrc::kMasks);
  if ((masks[0] & masks[1]) || (masks[0] & masks[2]) || (masks[1] & masks[2]))
    raise(BmpErrc::kMasks);
  return masks;
}

Bitmap readBmp(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
  if (data.size() < 2 || data[0] != 'B' || data[1] != 'M') raise(BmpErrc::kNotBitmap);
  ByteReader in(data);
  in.skip(2);
  const std::uint32_t fileSize = in.u32le();
  in.skip(4);
  const std::uint32_t offBits = in.u32le();
  // A size field larger than the data means the file was cut short.
  if (fileSize > data.size()) raise(BmpErrc::kTruncated);

  const std::uint32_t headerSize = in.u32le();
  if (!supportedHeaderSize(headerSize)) raise(BmpErrc::kHeaderSize);
  ByteReader header = in.sub(headerSize - 4);
  const bool core = headerSize == 12;

  PixelLayout layout;
  std::int64_t width, height;
  unsigned planes, bits;
  std::uint32_t compression = 0, sizeImage = 0, colorsUsed = 0;
  if (core) {
    width = header.u16le();
    height = header.u16le();
    planes = header.u16le();
    bits = header.u16le();
  } else {
    width = header.i32le();
    height = header.i32le();
    planes = header.u16le();
    bits = header.u16le();
    compression = header.u32le();
    sizeImage = header.u32le();
    header.skip(8);  // resolution: not used for drawing
    colorsUsed = header.u32le();
  }
  if (height < 0) {
    layout.topDown = true;
    height = -height;
  }
  if (width <= 0 || height == 0 || height > INT32_MAX) raise(BmpErrc::kDimensions);
  if (planes != 1) raise(BmpErrc::kPlanes);

  bool bitFields = false;
  switch (compression) {
    case 0:
      break;
    case 1:
      layout.encoding = Encoding::kRle8;
      break;
    case 2:
      layout.encoding = Encoding::kRle4;
      break;
    case 3:
    case 6:
      bitFields = true;
      break;  // 6: alpha bit fields, alpha ignored
    default:
      raise(BmpErrc::kCompression);
  }
  const bool bitsOk = core ? (bits == 1 || bits == 4 || bits == 8 || bits == 24)
                           : (bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 ||
                              bits == 24 || bits == 32);
  if (!bitsOk) raise(BmpErrc::kBitCount);
  if ((compression == 1 && bits != 8) || (compression == 2 && bits != 4) ||
      (bitFields && bits != 16 && bits != 32))
    raise(BmpErrc::kCompression);
  if (layout.encoding != Encoding::kPlain && layout.topDown) raise(BmpErrc::kRleTopDown);
  layout.width = static_cast<int>(width);
  layout.height = static_cast<int>(height);
  layout.bits = static_cast<int>(bits);

  std::uint64_t tableStart = kFileHeaderSize + headerSize;
  if (bitFields) {
    layout.masks = readMasks(data, layout.bits);
    if (headerSize == 40) tableStart += compression == 6 ? 16 : 12;
  } else if (bits == 16) {
    layout.masks = dibcodec::kDefaultMasks16;
  } else if (bits == 32) {
    layout.masks = dibcodec::kDefaultMasks32;
  }
  if (offBits < tableStart || offBits > data.size()) raise(BmpErrc::kOffset);

  // Palette: between the header (and masks) and the pixel data; more entries than the depth
  // can index are allowed but only the first 2^bits are used. Larger depths may carry an
  // optional table, which bfOffBits skips.
  if (bits <= 8) {
    const std::uint64_t entrySize = core ? 3 : 4;
    std::uint64_t count = colorsUsed != 0 ? colorsUsed : std::uint64_t{1} << bits;
    // A core header cannot state its palette size: take what fits before the pixels.
    if (core) count = std::min(count, (offBits - tableStart) / entrySize);
    if (tableStart + count * entrySize > offBits) raise(BmpErrc::kPalette);
    count = std::min(count, std::uint64_t{1} << bits);
    dibcodec::setPalette(layout, data.subspan(tableStart, count * entrySize),
                         static_cast<int>(entrySize));
  }

  auto pixels = data.subspan(offBits);
  if (sizeImage > pixels.size()) raise(BmpErrc::kTruncated);
  if (layout.encoding != Encoding::kPlain && sizeImage != 0) pixels = pixels.first(sizeImage);
  return dibcodec::decodePixels(layout, pixels, limits);
}

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

}  // namespace

std::string_view BmpErrorText(BmpErrc code) {
  const auto i = static_cast<std::size_t>(code);
  return i < kMessages.size() ? kMessages[i] : "Invalid bitmap";
}

Bitmap ReadBmp(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
  try {
    return readBmp(data, limits);
  } catch (const ByteReader::Overrun&) {
    raise(BmpErrc::kTruncated);
  } catch (const DecodeFault& f) {
    raise(dibcodec::codeFor<BmpErrc>(f.fault));
  }
}

std::vector<std::uint8_t> EncodeBmpHeader(const Bitmap& bitmap) {
  if (bitmap.empty()) raise(BmpErrc::kNothingToSave);
  const int bits = bitmap.bits();
  const std::uint32_t fileBits = bits == 15 ? 16 : static_cast<std::uint32_t>(bits);
  const std::uint32_t tableEntries = bits <= 8 ? 1u << bits : 0;
  const std::uint32_t extra = bits == 16 ? 12 : 4 * tableEntries;
  const std::uint32_t offBits = kFileHeaderSize + 40 + extra;
  const std::uint64_t imageSize = bitmap.dataSize();
  if (imageSize > UINT32_MAX - offBits) raise(BmpErrc::kTooLarge);
  const auto fileSize = static_cast<std::uint32_t>(offBits + imageSize);

  std::vector<std::uint8_t> out;
  out.reserve(offBits);
  out.push_back('B');
  out.push_back('M');
  put32(out, fileSize);
  put32(out, 0);  // reserved
  put32(out, offBits);
  put32(out, 40);
  put32(out, static_cast<std::uint32_t>(bitmap.width()));
  put32(out, static_cast<std::uint32_t>(bitmap.height()));  // positive: bottom-up rows
  put16(out, 1);
  put16(out, fileBits);
  put32(out, bits == 16 ? 3 : 0);  // 16 bits as bit fields 5-6-5, everything else plain
  put32(out, static_cast<std::uint32_t>(imageSize));
  put32(out, 0);  // resolution unknown, as GDI's own writer leaves it
  put32(out, 0);
  put32(out, 0);  // colours used: the full table
  put32(out, 0);  // colours important: all
  if (bits == 16) {
    put32(out, 0xF800);
    put32(out, 0x07E0);
    put32(out, 0x001F);
  }
  if (tableEntries != 0) {
    Palette palette = bitmap.palette();
    if (palette.empty() && bits == 1) palette = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    for (std::uint32_t i = 0; i < tableEntries; ++i) {
      const PaletteEntry e = i < palette.size() ? palette[i] : PaletteEntry{};
      out.insert(out.end(), {e.blue, e.green, e.red, 0});
    }
  }
  return out;
}

std::vector<std::uint8_t> EncodeBmp(const Bitmap& bitmap) {
  std::vector<std::uint8_t> out = EncodeBmpHeader(bitmap);
  out.insert(out.end(), bitmap.data(), bitmap.data() + bitmap.dataSize());
  return out;
}

void WriteBmp(const Bitmap& bitmap, AtomicFile& out) {
  out.write(EncodeBmpHeader(bitmap));
  out.write(std::span(bitmap.data(), bitmap.dataSize()));  // the rows are stored as in the file
}

void BmpImage::loadFromMemory(std::span<const std::uint8_t> data) {
  bitmap_ = ReadBmp(data, limits());
}

}  // namespace vexo
