// Feeds arbitrary bytes to the libjpeg input reader: every input must end in a Bitmap or a
// vexo::Error, within an 8 MiB image limit.
// The small limit keeps each execution fast; the limit checks themselves are the same.
#include <cstddef>
#include <cstdint>
#include <span>

#include "input/jpeg_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{8} << 20;
  try {
    vexo::DecodeJpegWithLibjpeg(std::span<const std::uint8_t>(data, size), limits);
  } catch (const vexo::Error&) {
  }
  return 0;
}
