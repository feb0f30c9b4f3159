// Feeds arbitrary bytes to TJpegEx: loading from memory and from a stream, the size scan and
// decoding must end in an image or a vexo::Error, within an 8 MiB image limit.
// The small limit keeps each execution fast; the limit checks themselves are the same.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/stream.h"
#include "jpeg/jpeg_ex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{8} << 20;
  const std::span<const std::uint8_t> bytes(data, size);
  (void)vexo::ScanJpegSize(bytes);
  try {
    vexo::TJpegEx image;
    image.setLimits(limits);
    image.loadFromMemory(bytes);
    (void)image.width();
    image.Decode();
  } catch (const vexo::Error&) {
  }
  try {
    vexo::MemoryStream stream(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    vexo::TJpegEx image;
    image.setLimits(limits);
    image.loadFromStream(stream);
    image.Decode();
  } catch (const vexo::Error&) {
  }
  return 0;
}
