#include "input/probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <span>

#include "core/byte_reader.h"
#include "imaging/metafile.h"
#include "input/file_stream.h"

namespace vexo {

namespace {

// Bytes read from the start of every file: enough for every header here (an EMF's is 88).
constexpr std::size_t kHeadBytes = 128;
// JPEG: segments walked before the frame header, and bytes searched for a marker between them.
constexpr int kMaxJpegSegments = 1024;
constexpr std::uint64_t kMaxJpegScan = 64 * 1024;
constexpr std::uint32_t kJpegMaxDimension = 65500;  // libjpeg refuses larger sides
// GIF: blocks of this size read while walking the frames; a file of at most kGifBlocks of them
// is walked to its end, a larger one only as far as they reach.
constexpr std::uint64_t kGifBlockSize = 4096;
constexpr int kGifBlocks = 16;

// The file holds something its reader refuses: the probe gives nothing.
struct Refused {};

// A regular file opened for reading (never a FIFO or device that could block), with its size.
class File {
 public:
  explicit File(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {
    struct stat st {};
    if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      fd_.reset();
      return;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
  }
  bool valid() const { return fd_.valid(); }
  std::uint64_t size() const { return size_; }

  // Up to out.size() bytes from offset; the count read (short at the end of the file).
  std::size_t read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset > static_cast<std::uint64_t>(LLONG_MAX) - out.size()) return 0;
    std::size_t got = 0;
    while (got < out.size()) {
      const ssize_t n =
          ::pread(fd_.get(), out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got;
  }

 private:
  UniqueFd fd_;
  std::uint64_t size_ = 0;
};

std::optional<ImageExtent> extent(std::int64_t width, std::int64_t height) {
  if (width < 1 || height < 1 || width > INT_MAX || height > INT_MAX) return std::nullopt;
  return ImageExtent{static_cast<int>(width), static_cast<int>(height)};
}

// ---- JPEG: the frame header as libjpeg's marker reader finds it.

// Moves at to the next marker the way libjpeg looks for one: the first FF followed by a byte
// other than 00 (stuffing) and FF (fill). False past the scan budget or the end of the file.
bool findMarker(const File& file, std::uint64_t& at, std::uint64_t& scanned) {
  std::array<std::uint8_t, 4096> buffer{};
  while (scanned < kMaxJpegScan) {
    const std::size_t n = file.read(at, buffer);
    if (n < 2) return false;
    for (std::size_t i = 0; i + 1 < n; ++i) {
      if (buffer[i] == 0xFF && buffer[i + 1] != 0x00 && buffer[i + 1] != 0xFF) {
        at += i;
        return true;
      }
    }
    at += n - 1;  // the last byte may be the FF of a marker cut by the buffer
    scanned += n - 1;
  }
  return false;
}

bool isFrameMarker(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<ImageExtent> probeJpeg(const File& file) {
  std::uint64_t at = 2, scanned = 0;  // after SOI
  for (int i = 0; i < kMaxJpegSegments; ++i) {
    std::array<std::uint8_t, 9> s{};  // marker, length, precision, height, width
    const std::size_t n = file.read(at, s);
    if (n < 2) return std::nullopt;
    if (s[0] != 0xFF || s[1] == 0x00 || s[1] == 0xFF) {
      if (!findMarker(file, at, scanned)) return std::nullopt;
      continue;
    }
    const std::uint8_t marker = s[1];
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // TEM, RSTn: no length
      at += 2;
      continue;
    }
    if (isFrameMarker(marker)) {
      if (n < s.size()) return std::nullopt;
      const std::uint32_t height = s[5] << 8 | s[6], width = s[7] << 8 | s[8];
      if (width > kJpegMaxDimension || height > kJpegMaxDimension) return std::nullopt;
      return extent(width, height);
    }
    if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return std::nullopt;  // no frame
    if (n < 4) return std::nullopt;
    // libjpeg takes a length below 2 as covering just its own two bytes.
    const std::uint32_t length = s[2] << 8 | s[3];
    at += 2 + std::max<std::uint32_t>(length, 2);
  }
  return std::nullopt;
}

// ---- Bitmaps (".bmp" and ".dib"): the info header's sides; both readers take them alike.

std::optional<ImageExtent> probeBitmap(ByteReader r) {
  r.seek(14);
  const std::uint32_t headerSize = r.u32le();
  if (headerSize == 12) {  // OS/2 core header: unsigned 16-bit sides, always bottom-up
    const std::int64_t width = r.u16le();
    return extent(width, r.u16le());
  }
  if (headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 &&
      headerSize != 124)
    return std::nullopt;
  const std::int64_t width = r.i32le(), height = r.i32le();
  return extent(width, height < 0 ? -height : height);  // negative: top-down rows
}

// ---- PNG: IHDR, the first chunk (also the header of a PNG-compressed icon image).

constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool isPng(std::span<const std::uint8_t> data) {
  return data.size() >= kPngSignature.size() &&
         std::equal(kPngSignature.begin(), kPngSignature.end(), data.begin());
}

std::optional<ImageExtent> probePng(ByteReader r) {
  r.seek(8);
  if (r.u32be() < 13 || r.u32be() != 0x49484452) return std::nullopt;  // IHDR and its 13 bytes
  const std::uint32_t width = r.u32be(), height = r.u32be();
  if (width > 65535 || height > 65535) return std::nullopt;  // the reader's limit
  return extent(width, height);
}

// ---- GIF: the logical screen, enlarged as the reader enlarges it for the frames.

// Sequential bytes of the file through one aligned block at a time, at most kGifBlocks blocks.
class GifCursor {
 public:
  struct OutOfBudget {};

  GifCursor(const File& file, std::uint64_t pos) : file_(file), pos_(pos) {}

  bool atEnd() const { return pos_ >= file_.size(); }
  std::uint64_t remaining() const { return atEnd() ? 0 : file_.size() - pos_; }
  std::uint8_t peek() {
    if (atEnd()) throw ByteReader::Overrun();
    const std::uint64_t start = pos_ / kGifBlockSize * kGifBlockSize;
    if (start != blockStart_ || blockSize_ == 0) {
      if (fetched_ == kGifBlocks) throw OutOfBudget();
      ++fetched_;
      blockStart_ = start;
      blockSize_ = file_.read(start, block_);
    }
    if (pos_ - blockStart_ >= blockSize_) throw ByteReader::Overrun();  // the file shrank
    return block_[pos_ - blockStart_];
  }
  std::uint8_t u8() {
    const std::uint8_t b = peek();
    ++pos_;
    return b;
  }
  std::uint32_t u16le() {
    const std::uint32_t low = u8();
    return low | std::uint32_t{u8()} << 8;
  }
  void skip(std::uint64_t n) {
    if (n > remaining()) throw ByteReader::Overrun();
    pos_ += n;
  }

 private:
  const File& file_;
  std::uint64_t pos_;
  std::array<std::uint8_t, kGifBlockSize> block_{};
  std::uint64_t blockStart_ = 0;
  std::size_t blockSize_ = 0;
  int fetched_ = 0;
};

bool isGifSignature(std::span<const std::uint8_t> s) {
  auto upper = [](std::uint8_t c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; };
  return s.size() >= 6 && upper(s[0]) == 'G' && upper(s[1]) == 'I' && upper(s[2]) == 'F';
}

struct GifScreen {
  std::uint32_t width = 0, height = 0;
};

void skipSubBlocks(GifCursor& in) {
  for (std::uint8_t size = in.u8(); size != 0; size = in.u8()) in.skip(size);
}

void skipExtension(GifCursor& in) {
  switch (in.u8()) {
    case 0xF9:  // graphic control: read as one record of 6 bytes, whatever its sizes say
      in.skip(std::min<std::uint64_t>(6, in.remaining()));
      return;
    case 0xFE:  // comment
    case 0x01:  // plain text
      skipSubBlocks(in);
      return;
    case 0xFF: {  // application: identifier and code, then sub-blocks
      const std::uint8_t size = in.u8();
      if (size < 10) throw Refused();
      in.skip(size);
      skipSubBlocks(in);
      return;
    }
    default:
      throw Refused();
  }
}

// One frame as the reader takes it: extensions, then the descriptor, local table and image
// data. True when the frame has pixels.
bool skipGifFrame(GifCursor& in, GifScreen& screen) {
  while (!in.atEnd() && in.peek() == 0x21) {
    in.skip(1);
    skipExtension(in);
  }
  // A frame of extensions only; any other byte than these acts as the image separator.
  if (in.atEnd() || in.peek() == 0x3B || in.peek() == 0) return false;
  in.skip(1);
  const std::uint32_t left = in.u16le(), top = in.u16le();
  std::uint32_t width = in.u16le(), height = in.u16le();
  const std::uint8_t packed = in.u8();
  if (width == 0 || height == 0) width = screen.width, height = screen.height;
  if (width > 0 && height > 0) {  // the screen grows to hold the frame, up to 65535
    screen.width = std::max(screen.width, std::min<std::uint32_t>(left + width, 0xFFFF));
    screen.height = std::max(screen.height, std::min<std::uint32_t>(top + height, 0xFFFF));
  }
  if (packed & 0x80) in.skip(std::uint64_t{3} << ((packed & 7) + 1));
  if (in.atEnd()) return width > 0 && height > 0;
  const std::uint8_t minCodeSize = in.u8();
  if (minCodeSize < 1 || minCodeSize > 11) throw Refused();
  while (!in.atEnd()) {  // image data: a block cut by the end of the file is still taken
    const std::uint8_t size = in.u8();
    if (size == 0) break;
    in.skip(std::min<std::uint64_t>(size, in.remaining()));
  }
  return width > 0 && height > 0;
}

// The loaded image is the screen after every frame has enlarged it; frames past the read budget
// are not seen, so a large file gives the size as far as the budget reached.
std::optional<ImageExtent> probeGif(const File& file, std::uint64_t signatureAt) {
  GifCursor in(file, signatureAt + 6);
  GifScreen screen;
  bool first = true;  // no frame read in full yet
  try {
    screen.width = in.u16le();
    screen.height = in.u16le();
    const std::uint8_t packed = in.u8();
    in.skip(2);  // background, aspect
    if (packed & 0x80) in.skip(std::uint64_t{3} << ((packed & 7) + 1));
    while (!in.atEnd()) {
      const std::uint8_t b = in.peek();
      if (b == 0) {  // padding between blocks
        in.skip(1);
        continue;
      }
      if (b != 0x21 && b != 0x2C) break;  // the trailer, or an unknown block that ends reading
      // The first frame is the one drawn: without pixels the file has nothing to convert.
      if (!skipGifFrame(in, screen) && first) return std::nullopt;
      first = false;
    }
  } catch (const GifCursor::OutOfBudget&) {
    return extent(screen.width, screen.height);  // the screen so far, even before a frame
  }
  if (first) return std::nullopt;
  return extent(screen.width, screen.height);
}

// ---- Icons: the first image of the directory gives the icon its size, from the image's own
// header (the directory's width and height bytes are only hints).

std::optional<ImageExtent> probeIcon(const File& file, ByteReader r) {
  r.seek(2);
  if (r.u16le() != 1) return std::nullopt;
  const std::uint32_t count = r.u16le();
  if (count == 0 || 6 + std::uint64_t{16} * count > file.size()) return std::nullopt;
  r.seek(6 + 8);
  const std::uint32_t size = r.u32le(), offset = r.u32le();
  if (offset > file.size() || size > file.size() - offset) return std::nullopt;
  std::array<std::uint8_t, 40> buffer{};
  const auto image = std::span<const std::uint8_t>(buffer)
                         .first(file.read(offset, buffer))
                         .first(std::min<std::size_t>(size, buffer.size()));
  if (isPng(image)) return probePng(ByteReader(image));
  ByteReader i(image);
  if (i.u32le() != 40 || image.size() < 40) return std::nullopt;   // the info header in full
  const std::int64_t width = i.i32le(), doubleHeight = i.i32le();  // colour rows and mask rows
  if (doubleHeight < 2) return std::nullopt;
  return extent(width, doubleHeight / 2);
}

// ---- Metafiles: the picture size the player gives an EMF or a placeable WMF.

constexpr std::uint32_t kPlaceableKey = 0x9AC6CDD7;

std::optional<ImageExtent> probeMetafile(const File& file, std::span<const std::uint8_t> head) {
  ByteReader r(head);
  const std::uint32_t first = r.u32le();
  if (first == 1 && head.size() >= 88) {  // EMF: its header must lie within the file
    const std::uint32_t headerSize = r.u32le();
    if (headerSize < 88 || headerSize % 4 != 0 || headerSize > file.size()) return std::nullopt;
  } else if (first == kPlaceableKey) {  // placeable WMF: the checksum of its first ten words
    if (file.size() < 40) return std::nullopt;
    r.seek(0);
    std::uint16_t checksum = 0;
    for (int i = 0; i < 10; ++i) checksum ^= r.u16le();
    if (r.u16le() != checksum) return std::nullopt;
  } else {
    return std::nullopt;  // a WMF without the placeable header is not played
  }
  const auto size = metafile::pictureSize(head);
  if (!size) return std::nullopt;
  return extent(size->first, size->second);
}

std::optional<ImageExtent> probe(const File& file, std::span<const std::uint8_t> head) {
  if (head.size() < 4) return std::nullopt;
  const ByteReader r(head);
  const std::uint32_t magic = ByteReader(head).u32le();
  if (head[0] == 0xFF && head[1] == 0xD8) return probeJpeg(file);
  if (head[0] == 'B' && head[1] == 'M') return probeBitmap(r);
  if (isPng(head)) return probePng(r);
  if (isGifSignature(head)) return probeGif(file, 0);
  if (magic == 0x00010000) return probeIcon(file, r);
  if (magic == 1 || magic == kPlaceableKey) return probeMetafile(file, head);
  // The GIF reader also takes a signature after 4 other bytes.
  if (isGifSignature(head.subspan(4))) return probeGif(file, 4);
  return std::nullopt;
}

}  // namespace

std::optional<ImageExtent> ProbeImageExtent(const std::string& path) {
  try {
    const File file(path);
    if (!file.valid()) return std::nullopt;
    std::array<std::uint8_t, kHeadBytes> buffer{};
    return probe(file, std::span<const std::uint8_t>(buffer).first(file.read(0, buffer)));
  } catch (const ByteReader::Overrun&) {
  } catch (const Refused&) {
  }
  return std::nullopt;
}

std::uint64_t WorkingBytes(ImageExtent extent) {
  const std::uint64_t stride = (static_cast<std::uint64_t>(extent.width) * 3 + 3) / 4 * 4;
  return stride * static_cast<std::uint64_t>(extent.height);
}

}  // namespace vexo
