#include "input/dib.h"

#include <algorithm>
#include <array>

#include "core/byte_reader.h"
#include "input/dib_common.h"

namespace vexo {

namespace {

using dibcodec::Encoding;
using dibcodec::PixelLayout;

constexpr std::array<std::string_view, kDibErrcCount> kMessages = {
    "Not a bitmap file",
    "Invalid bitmap",
    "Bitmap data is truncated",
    "Bitmap pixel refers to a missing palette entry",
    "Run-length data reaches outside the bitmap",
};

[[noreturn]] void raise(DibErrc code) {
  throw DibError(code);
}

constexpr std::uint64_t kFileHeaderSize = 14;

Bitmap readDib(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
  if (data.size() < 2 || data[0] != 'B' || data[1] != 'M') raise(DibErrc::kNotBitmap);
  ByteReader in(data);
  in.skip(2);
  const std::uint32_t fileSize = in.u32le();
  in.skip(4);
  const std::uint32_t offBits = in.u32le();
  const std::uint32_t headerSize = in.u32le();
  if (headerSize != 40 && headerSize != 12) raise(DibErrc::kInvalidBitmap);
  const bool core = headerSize == 12;
  ByteReader header = in.sub(headerSize - 4);

  PixelLayout layout;
  std::int64_t width, height;
  unsigned bits;
  std::uint32_t compression = 0, colorsUsed = 0;
  if (core) {
    width = header.u16le();
    height = header.u16le();
    header.skip(2);  // planes
    bits = header.u16le();
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24) raise(DibErrc::kInvalidBitmap);
  } else {
    width = header.i32le();
    height = header.i32le();
    header.skip(2);  // planes
    bits = header.u16le();
    compression = header.u32le();
    header.skip(4);  // image size: the pixel data size comes from the file size instead
    header.skip(8);  // resolution (0 would mean 3780 pixels per metre); drawing does not use it
    colorsUsed = header.u32le();
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
      raise(DibErrc::kInvalidBitmap);
  }
  if (height < 0) {
    layout.topDown = true;
    height = -height;
  }
  if (width <= 0 || height == 0 || height > INT32_MAX) raise(DibErrc::kInvalidBitmap);
  layout.width = static_cast<int>(width);
  layout.height = static_cast<int>(height);
  layout.bits = static_cast<int>(bits);

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
      break;
    default:
      raise(DibErrc::kInvalidBitmap);
  }
  if ((compression == 1 && bits != 8) || (compression == 2 && bits != 4) ||
      (compression == 3 && bits != 16 && bits != 32) ||
      (layout.encoding != Encoding::kPlain && layout.topDown))
    raise(DibErrc::kInvalidBitmap);

  // Masks (compression 3) come as 12 bytes in front of the palette.
  std::uint64_t tableStart = kFileHeaderSize + headerSize;
  if (compression == 3) {
    layout.masks = {in.u32le(), in.u32le(), in.u32le()};
    tableStart += 12;
  } else if (bits == 16) {
    layout.masks = dibcodec::kDefaultMasks16;
  } else if (bits == 32) {
    layout.masks = dibcodec::kDefaultMasks32;
  }
  if ((bits == 16 || bits == 32) &&
      (layout.masks[0] == 0 || layout.masks[1] == 0 || layout.masks[2] == 0))
    raise(DibErrc::kInvalidBitmap);

  // Palette: colour count 0 means the full 2, 16 or 256 entries; entries past 256 are passed
  // over. The pixel-data offset must leave room for all of it.
  const std::uint64_t entrySize = core ? 3 : 4;
  std::uint64_t count = colorsUsed;
  if (bits <= 8 && (core || count == 0)) count = std::uint64_t{1} << bits;
  if (tableStart + count * entrySize > offBits) raise(DibErrc::kInvalidBitmap);
  if (tableStart + count * entrySize > data.size()) raise(DibErrc::kTruncated);
  if (bits <= 8)
    dibcodec::setPalette(layout,
                         data.subspan(tableStart, std::min<std::uint64_t>(count, 256) * entrySize),
                         static_cast<int>(entrySize));

  // The pixel data runs from the offset to the file size field, but never past the real data.
  const std::uint64_t end = std::min<std::uint64_t>(fileSize, data.size());
  const auto pixels =
      offBits < end ? data.subspan(offBits, end - offBits) : std::span<const std::uint8_t>();
  return dibcodec::decodePixels(layout, pixels, limits);
}

}  // namespace

std::string_view DibErrorText(DibErrc code) {
  const auto i = static_cast<std::size_t>(code);
  return i < kMessages.size() ? kMessages[i] : kMessages[1];
}

Bitmap ReadDib(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
  try {
    return readDib(data, limits);
  } catch (const ByteReader::Overrun&) {
    raise(DibErrc::kTruncated);
  } catch (const dibcodec::DecodeFault& f) {
    raise(dibcodec::codeFor<DibErrc>(f.fault));
  }
}

void TDibImage::loadFromMemory(std::span<const std::uint8_t> data) {
  bitmap_ = ReadDib(data, limits());
}

}  // namespace vexo
