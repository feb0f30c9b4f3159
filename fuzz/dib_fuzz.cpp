// Fuzz target of the ".dib" reader (TDibImage): every input either decodes or throws
// vexo::Error, within a 64 MiB pixel limit.
#include <cstddef>
#include <cstdint>
#include <span>

#include "input/dib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{64} << 20;
  vexo::TDibImage image;
  image.setLimits(limits);
  try {
    image.loadFromMemory(std::span(data, size));
  } catch (const vexo::Error&) {
  }
  return 0;
}
