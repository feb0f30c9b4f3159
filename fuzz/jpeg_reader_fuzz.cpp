// Feeds arbitrary bytes to the libjpeg input reader: every input must end in a Bitmap or a
// vexo::Error, within a 64 MiB image limit.
#include <cstddef>
#include <cstdint>
#include <span>

#include "input/jpeg_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{64} << 20;
  try {
    vexo::DecodeJpegWithLibjpeg(std::span<const std::uint8_t>(data, size), limits);
  } catch (const vexo::Error&) {
  }
  return 0;
}
