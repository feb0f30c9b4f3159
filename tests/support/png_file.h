// The chunks of a PNG file as the tests inspect them: types and data in file order, the IHDR
// fields, and the image data inflated with zlib (for filter bytes and pass layout).
#pragma once
#include <zlib.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexo::test {

struct PngChunk {
  std::string type;
  std::vector<std::uint8_t> data;
};

struct PngFile {
  std::vector<PngChunk> chunks;
  std::uint32_t width = 0, height = 0;
  int bitDepth = 0, colorType = -1, interlace = -1;
  std::vector<std::uint8_t> idat;      // the IDAT data, concatenated
  std::vector<std::uint8_t> inflated;  // idat inflated (empty when it does not inflate)

  std::vector<std::string> types() const {
    std::vector<std::string> t;
    for (const auto& c : chunks) t.push_back(c.type);
    return t;
  }
  const PngChunk* find(const std::string& type) const {
    for (const auto& c : chunks)
      if (c.type == type) return &c;
    return nullptr;
  }
  // The filter-type byte of each row of a non-interlaced image.
  std::vector<int> filterBytes(std::size_t rowBytes) const {
    std::vector<int> bytes;
    for (std::size_t at = 0; at + rowBytes + 1 <= inflated.size(); at += rowBytes + 1)
      bytes.push_back(inflated[at]);
    return bytes;
  }
};

inline std::vector<std::uint8_t> inflateAll(std::span<const std::uint8_t> data) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return {};
  std::vector<std::uint8_t> out;
  std::uint8_t buffer[65536];
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = buffer;
    z.avail_out = sizeof buffer;
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
  }
  inflateEnd(&z);
  return status == Z_STREAM_END ? out : std::vector<std::uint8_t>{};
}

inline PngFile parsePngFile(std::span<const std::uint8_t> bytes) {
  PngFile file;
  static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() < 8 || !std::equal(kSignature, kSignature + 8, bytes.begin())) return file;
  auto u32 = [&](std::size_t at) {
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
           std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
  };
  for (std::size_t at = 8; at + 12 <= bytes.size();) {
    const std::uint32_t length = u32(at);
    if (bytes.size() - at - 12 < length) break;
    PngChunk chunk;
    chunk.type.assign(reinterpret_cast<const char*>(&bytes[at + 4]), 4);
    chunk.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at + 8),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
    if (chunk.type == "IDAT")
      file.idat.insert(file.idat.end(), chunk.data.begin(), chunk.data.end());
    file.chunks.push_back(std::move(chunk));
    at += 12 + length;
  }
  if (const auto* ihdr = file.find("IHDR"); ihdr && ihdr->data.size() == 13) {
    const auto& d = ihdr->data;
    file.width =
        std::uint32_t{d[0]} << 24 | std::uint32_t{d[1]} << 16 | std::uint32_t{d[2]} << 8 | d[3];
    file.height =
        std::uint32_t{d[4]} << 24 | std::uint32_t{d[5]} << 16 | std::uint32_t{d[6]} << 8 | d[7];
    file.bitDepth = d[8];
    file.colorType = d[9];
    file.interlace = d[12];
  }
  file.inflated = inflateAll(file.idat);
  return file;
}

}  // namespace vexo::test
