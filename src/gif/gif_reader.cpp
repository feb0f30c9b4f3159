// Reading a GIF stream: the header and global table, then block by block each frame's
// extensions, image descriptor, local table and LZW image data, then the trailer. Damage inside
// image data and at the end of the stream is reported through OnWarning and reading goes on;
// anything else that cannot be read raises a GIFException (an ImageSizeError past the memory
// limit), and the image stays empty.
#include <algorithm>
#include <array>
#include <string_view>

#include "gif/gif_internal.h"

namespace vexo {

namespace {

constexpr std::uint8_t kExtensionIntroducer = 0x21;  // '!'
constexpr std::uint8_t kImageSeparator = 0x2C;       // ','
constexpr std::uint8_t kTrailer = 0x3B;              // ';'

constexpr std::uint8_t kPlainTextLabel = 0x01;
constexpr std::uint8_t kGraphicControlLabel = 0xF9;
constexpr std::uint8_t kCommentLabel = 0xFE;
constexpr std::uint8_t kApplicationLabel = 0xFF;

// What a kept block costs beyond its bytes: the vector and its heap block.
constexpr std::uint64_t kBlockOverhead = 32;

constexpr std::string_view kPrematureEnd = "Premature end of data";

bool isGifSignature(std::span<const std::uint8_t> s) {
  auto upper = [](std::uint8_t c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; };
  return upper(s[0]) == 'G' && upper(s[1]) == 'I' && upper(s[2]) == 'F';
}

class GifReader {
 public:
  GifReader(std::span<const std::uint8_t> data, const DecodeLimits& limits,
            const gif::WarningSink& warning)
      : in_(data),
        limits_(limits),
        warning_(warning),
        // Extension data kept beside the pixels (comments, plain text, unknown application
        // blocks); past it, blocks are read but dropped.
        keptLimit_(std::min(limits.maxKeptBytes, limits.maxImageBytes)) {}

  void Read(TGIFHeader& header, std::vector<TGIFSubImage>& images) {
    try {
      readHeader(header);
      while (!in_.atEnd()) {
        const std::uint8_t b = peek();
        if (b == 0) {  // padding between blocks
          in_.skip(1);
          continue;
        }
        if (b == kTrailer) break;
        if (b != kExtensionIntroducer && b != kImageSeparator) {
          warn("Unknown GIF block type");
          break;
        }
        images.push_back(readFrame(header));
      }
      // The trailer; a stream that simply ends has none.
      if (!in_.atEnd() && in_.u8() != kTrailer) warn("Invalid Image trailer");
    } catch (const ByteReader::Overrun&) {
      throw GIFException(std::string(kPrematureEnd));
    }
    // Showing a frame that does not cover the screen takes a bitmap of the screen's size.
    if (!images.empty() && header.width > 0 && header.height > 0)
      checkImageSize(header.width, header.height, 8, limits_);
  }

 private:
  void warn(std::string_view text) const {
    if (warning_) warning_(text);
  }
  std::uint8_t peek() const { return in_.data()[in_.pos()]; }

  // Pixels and frame records held for the whole image, all frames together.
  void charge(std::uint64_t bytes) {
    held_ += bytes;
    if (held_ > limits_.maxImageBytes)
      throw ImageSizeError("image is larger than the memory limit");
  }
  // Whether a block of extension data of this size may still be kept.
  bool keep(std::size_t bytes) {
    if (kept_ + bytes + kBlockOverhead > keptLimit_) return false;
    kept_ += bytes + kBlockOverhead;
    return true;
  }

  void readHeader(TGIFHeader& header) {
    if (!isGifSignature(in_.bytes(6))) {
      // Some files carry 4 bytes before the signature.
      in_.seek(4);
      if (!isGifSignature(in_.bytes(6))) throw GIFException("Invalid GIF signature");
    }
    header.width = in_.u16le();
    header.height = in_.u16le();
    header.packed = in_.u8();
    header.background = in_.u8();
    header.aspect = in_.u8();
    if (header.packed & 0x80)
      readColorMap(header.colorMap, header.packed & 7, header.packed & 0x08);
  }

  void readColorMap(TGIFColorMap& map, int sizeBits, bool sorted) {
    const auto rgb = in_.bytes(std::size_t{3} << (sizeBits + 1));
    map.entries.resize(rgb.size() / 3);
    for (std::size_t i = 0; i < map.entries.size(); ++i)
      map.entries[i] = {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], 0};
    map.sorted = sorted;
  }

  // The sub-blocks up to the block terminator, each handed to f.
  template <class F>
  void forEachSubBlock(F&& f) {
    for (std::uint8_t size = in_.u8(); size != 0; size = in_.u8()) f(in_.bytes(size));
  }
  void keepSubBlocks(std::vector<std::vector<std::uint8_t>>& blocks) {
    forEachSubBlock([&](std::span<const std::uint8_t> b) {
      if (keep(b.size())) blocks.emplace_back(b.begin(), b.end());
    });
  }

  TGIFSubImage readFrame(TGIFHeader& header) {
    TGIFSubImage frame;
    charge(sizeof(TGIFSubImage));
    while (!in_.atEnd()) {
      const std::uint8_t b = peek();
      if (b == kImageSeparator || b == kTrailer) break;
      if (b != kExtensionIntroducer) {
        warn("Invalid extension introducer");
        break;
      }
      in_.skip(1);
      readExtension(frame.extensions);
    }
    // A frame of extensions only.
    if (in_.atEnd() || peek() == kTrailer || peek() == 0) return frame;

    auto& d = frame.descriptor;
    in_.skip(1);  // the separator
    d.left = in_.u16le();
    d.top = in_.u16le();
    d.width = in_.u16le();
    d.height = in_.u16le();
    d.packed = in_.u8();
    if (d.width == 0 || d.height == 0) {
      d.width = header.width;
      d.height = header.height;
      warn("Image exceeds Logical Screen size");
    }
    if (d.width > 0 && d.height > 0) fitScreen(header, d);
    if (d.packed & 0x80) readColorMap(frame.colorMap, d.packed & 7, d.packed & 0x20);
    readImageData(frame);
    return frame;
  }

  // Enlarges the logical screen to hold the frame; an empty screen takes the frame's extents.
  void fitScreen(TGIFHeader& header, const TGIFImageDescriptor& d) const {
    const std::uint32_t right = std::uint32_t{d.left} + d.width;
    const std::uint32_t bottom = std::uint32_t{d.top} + d.height;
    const bool wide = right > header.width, tall = bottom > header.height;
    if (header.width > 0 && header.height > 0) {
      if (wide && tall)
        warn("Image exceeds Logical Screen size");
      else if (wide)
        warn("Image width too small for contained frames");
      else if (tall)
        warn("Image height too small for contained frames");
    }
    // Past 65535 the screen cannot grow; drawing clips the frame.
    if (wide) header.width = static_cast<std::uint16_t>(std::min<std::uint32_t>(right, 0xFFFF));
    if (tall) header.height = static_cast<std::uint16_t>(std::min<std::uint32_t>(bottom, 0xFFFF));
  }

  void readExtension(std::vector<TGIFExtension>& extensions) {
    const std::uint8_t label = in_.u8();
    charge(sizeof(TGIFExtension));
    switch (label) {
      case kGraphicControlLabel: {
        // Block size, packed, delay, transparent index, terminator: read as one record.
        std::array<std::uint8_t, 6> b{};
        const std::size_t n = std::min<std::size_t>(b.size(), in_.remaining());
        const auto got = in_.bytes(n);
        std::copy(got.begin(), got.end(), b.begin());
        if (n < b.size()) warn(kPrematureEnd);
        TGIFGraphicControlExtension gce;
        gce.packed = b[1];
        gce.delay = static_cast<std::uint16_t>(b[2] | b[3] << 8);
        gce.transparentIndex = b[4];
        extensions.emplace_back(gce);
        return;
      }
      case kCommentLabel: {
        TGIFCommentExtension comment;
        forEachSubBlock([&](std::span<const std::uint8_t> b) {
          if (keep(b.size())) comment.text.append(b.begin(), b.end());
        });
        extensions.emplace_back(std::move(comment));
        return;
      }
      case kPlainTextLabel: {
        TGIFTextExtension text;
        keepSubBlocks(text.blocks);
        extensions.emplace_back(std::move(text));
        return;
      }
      case kApplicationLabel:
        readApplicationExtension(extensions);
        return;
      default:
        throw GIFException("Unknown extension type");
    }
  }

  void readApplicationExtension(std::vector<TGIFExtension>& extensions) {
    const std::uint8_t size = in_.u8();
    // 11 bytes of identifier and authentication code; some old writers give 10.
    if (size < 11 && size != 10) throw GIFException("Unsupported Application Extension block size");
    const auto first = in_.bytes(size);
    std::string identifier(first.begin(), first.begin() + std::min<std::size_t>(size, 11));
    if (identifier == "NETSCAPE2.0" || identifier == "ANIMEXTS1.0") {
      TGIFAppExtNSLoop loop;
      loop.identifier = std::move(identifier);
      forEachSubBlock([&](std::span<const std::uint8_t> b) {
        if (b[0] == 1) {  // loop count
          if (b.size() < 3) throw GIFException("Invalid GIF data");
          loop.loops = static_cast<std::uint16_t>(b[1] | b[2] << 8);
        } else if (b[0] == 2) {  // buffer size
          if (b.size() < 5) throw GIFException("Invalid GIF data");
          loop.bufferSize = ByteReader(b.subspan(1)).u32le();
        }
      });
      extensions.emplace_back(std::move(loop));
    } else {
      TGIFUnknownAppExtension unknown;
      unknown.identifier = std::move(identifier);
      keepSubBlocks(unknown.blocks);
      extensions.emplace_back(std::move(unknown));
    }
  }

  void readImageData(TGIFSubImage& frame) {
    const std::size_t w = frame.descriptor.width, h = frame.descriptor.height;
    const std::size_t count = w * h;
    const int fill = std::max(frame.TransparentIndex(), 0);
    if (count > 0) {
      checkImageSize(static_cast<std::int64_t>(w), static_cast<std::int64_t>(h), 8, limits_);
      charge(count);
      frame.pixels.assign(count, static_cast<std::uint8_t>(fill));
    }
    if (in_.atEnd()) {
      warn(kPrematureEnd);
      return;
    }
    const int minCodeSize = in_.u8();
    if (minCodeSize < 1 || minCodeSize > 11) throw GIFException("Invalid GIF data");

    // The data sub-blocks joined; a block cut short by the end of the stream is used as far as
    // it goes.
    std::vector<std::uint8_t> codes;
    bool truncated = false;
    for (;;) {
      if (in_.atEnd()) {
        truncated = true;
        break;
      }
      const std::size_t size = in_.u8();
      if (size == 0) break;
      const std::size_t n = std::min(size, in_.remaining());
      const auto block = in_.bytes(n);
      if (count > 0) codes.insert(codes.end(), block.begin(), block.end());
      if (n < size) {
        truncated = true;
        break;
      }
    }

    std::vector<std::uint8_t> stream;  // rows in stream order, for an interlaced frame
    const bool interlaced = frame.Interlaced() && h > 1;
    if (interlaced) stream.assign(count, static_cast<std::uint8_t>(fill));
    const auto result = gif::DecodeLzw(codes, minCodeSize,
                                       interlaced ? std::span(stream) : std::span(frame.pixels));
    if (interlaced) {
      // Every 8th row from 0, every 8th from 4, every 4th from 2, every 2nd from 1.
      constexpr std::size_t kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
      const std::uint8_t* src = stream.data();
      for (int pass = 0; pass < 4; ++pass) {
        for (std::size_t y = kStart[pass]; y < h; y += kStep[pass], src += w)
          std::copy(src, src + w, frame.pixels.data() + y * w);
      }
    }
    if (result.stop == gif::LzwStop::kOutOfBits)
      warn(truncated ? kPrematureEnd : "Decoder bit buffer under-run");
    else if (truncated)
      warn(kPrematureEnd);
  }

  ByteReader in_;
  const DecodeLimits& limits_;
  const gif::WarningSink& warning_;
  std::uint64_t held_ = 0;
  std::uint64_t kept_ = 0;
  const std::uint64_t keptLimit_;
};

}  // namespace

void TGIFImage::loadFromMemory(std::span<const std::uint8_t> data) {
  Clear();
  TGIFHeader header;
  std::vector<TGIFSubImage> images;
  GifReader(data, limits(), OnWarning).Read(header, images);
  Header = std::move(header);
  Images = std::move(images);
}

}  // namespace vexo
