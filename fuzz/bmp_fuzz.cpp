// Fuzz target of the ".bmp" reader: every input either decodes or throws vexo::Error, within an
// 8 MiB pixel limit.
// The small limit keeps each execution fast; the limit checks themselves are the same.
#include <cstddef>
#include <cstdint>
#include <span>

#include "input/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{8} << 20;
  try {
    const vexo::Bitmap bitmap = vexo::ReadBmp(std::span(data, size), limits);
    // Writing it back must work for anything that was read.
    (void)vexo::EncodeBmp(bitmap);
  } catch (const vexo::Error&) {
  }
  return 0;
}
