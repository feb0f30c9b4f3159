#include "input/probe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <span>

#include "core/byte_reader.h"
#include "imaging/metafile.h"

namespace vexo {

namespace {

constexpr std::size_t kHead = 128;  // enough for every header read here but JPEG's
constexpr int kMaxSegments = 4096;

class File {
 public:
  explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool open() const { return fd_ >= 0; }

  // Up to out.size() bytes from offset; the count read.
  std::size_t read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t got = 0;
    while (got < out.size()) {
      const ssize_t n =
          ::pread(fd_, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got;
  }

 private:
  int fd_;
};

std::optional<ImageExtent> extent(std::int64_t width, std::int64_t height) {
  if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) return std::nullopt;
  return ImageExtent{static_cast<int>(width), static_cast<int>(height)};
}

// Moves at to the next FF that starts a marker, looking at most 64 KiB ahead.
bool skipToMarker(const File& file, std::uint64_t& at) {
  std::array<std::uint8_t, 4096> buffer{};
  for (std::uint64_t end = at + 65536; at < end;) {
    const std::size_t n = file.read(at, buffer);
    if (n < 2) return false;
    for (std::size_t i = 0; i + 1 < n; ++i) {
      if (buffer[i] == 0xFF && buffer[i + 1] != 0x00 && buffer[i + 1] != 0xFF) {
        at += i;
        return true;
      }
    }
    at += n - 1;
  }
  return false;
}

// The first frame header (SOF0 to SOF15 but DHT, JPG and DAC), segment by segment.
std::optional<ImageExtent> probeJpeg(const File& file) {
  std::uint64_t at = 2;
  for (int i = 0; i < kMaxSegments; ++i) {
    std::array<std::uint8_t, 9> s{};
    if (file.read(at, s) < 4) return std::nullopt;
    if (s[0] != 0xFF) {  // bytes between segments: the decoder skips them to the next marker
      if (!skipToMarker(file, at)) return std::nullopt;
      continue;
    }
    const std::uint8_t marker = s[1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      at += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // no frame before the scan
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
      return extent(s[7] << 8 | s[8], s[5] << 8 | s[6]);
    const unsigned length = s[2] << 8 | s[3];
    at += 2 + std::max(length, 2u);  // a length below 2 covers just itself, as the decoder takes it
  }
  return std::nullopt;
}

// "BM" and the info header (core headers carry 16-bit sides; a negative height is top-down).
std::optional<ImageExtent> probeBmp(ByteReader r) {
  r.seek(14);
  const std::uint32_t headerSize = r.u32le();
  if (headerSize == 12) {
    const std::int64_t w = r.u16le();
    return extent(w, r.u16le());
  }
  if (headerSize < 40) return std::nullopt;
  const std::int64_t w = r.i32le(), h = r.i32le();
  return extent(w, h < 0 ? -h : h);
}

std::optional<ImageExtent> probePng(ByteReader r) {
  r.seek(12);
  if (r.u32be() != 0x49484452) return std::nullopt;  // IHDR
  const std::int64_t w = r.u32be();
  return extent(w, r.u32be());
}

// The logical screen, enlarged by the first frame when that reaches past it.
std::optional<ImageExtent> probeGif(const File& file, ByteReader r) {
  r.seek(6);
  std::int64_t w = r.u16le(), h = r.u16le();
  const std::uint8_t flags = r.u8();
  std::uint64_t at = 13 + ((flags & 0x80) ? 3u << ((flags & 7) + 1) : 0u);
  for (int i = 0; i < kMaxSegments; ++i) {
    std::array<std::uint8_t, 10> b{};
    if (file.read(at, b) < 2) break;
    if (b[0] == 0x2C) {
      ByteReader d(b);
      d.seek(1);
      const std::int64_t left = d.u16le(), top = d.u16le(), fw = d.u16le(), fh = d.u16le();
      w = std::max(w, left + fw);
      h = std::max(h, top + fh);
      break;
    }
    if (b[0] != 0x21) break;
    at += 2;  // extension: its sub-blocks, up to the empty one
    for (int k = 0; k < 65536; ++k) {
      std::array<std::uint8_t, 1> size{};
      if (file.read(at, size) != 1) return extent(w, h);
      at += 1 + size[0];
      if (size[0] == 0) break;
    }
  }
  return extent(w, h);
}

// The first image of the directory: the size its PNG or DIB header gives.
std::optional<ImageExtent> probeIcon(const File& file, ByteReader r) {
  r.seek(4);
  if (r.u16le() < 1) return std::nullopt;
  r.seek(6 + 12);
  const std::uint32_t offset = r.u32le();
  std::array<std::uint8_t, 24> image{};
  if (file.read(offset, image) < image.size()) return std::nullopt;
  ByteReader i(image);
  if (i.u32be() == 0x89504E47) {
    i.seek(16);
    const std::int64_t w = i.u32be();
    return extent(w, i.u32be());
  }
  i.seek(4);
  const std::int64_t w = i.i32le(), h = i.i32le();
  return extent(w, h / 2);
}

}  // namespace

std::optional<ImageExtent> ProbeImageExtent(const std::string& path) {
  const File file(path);
  if (!file.open()) return std::nullopt;
  std::array<std::uint8_t, kHead> head{};
  const auto data = std::span<const std::uint8_t>(head).first(file.read(0, head));
  try {
    ByteReader r(data);
    if (data.size() >= 2 && data[0] == 0xFF && data[1] == 0xD8) return probeJpeg(file);
    if (data.size() >= 2 && data[0] == 'B' && data[1] == 'M') return probeBmp(r);
    if (data.size() >= 8 && r.u32be() == 0x89504E47 && r.u32be() == 0x0D0A1A0A) return probePng(r);
    if (data.size() >= 4 && data[0] == 'G' && data[1] == 'I' && data[2] == 'F' && data[3] == '8')
      return probeGif(file, r);
    if (data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1 && data[3] == 0)
      return probeIcon(file, r);
    if (const auto size = metafile::pictureSize(data)) return extent(size->first, size->second);
  } catch (const ByteReader::Overrun&) {
  }
  return std::nullopt;
}

std::uint64_t WorkingBytes(ImageExtent e) {
  return (static_cast<std::uint64_t>(e.width) * 3 + 3) / 4 * 4 *
         static_cast<std::uint64_t>(e.height);
}

}  // namespace vexo
