// Fuzz target of the PNG reader (TPNGObject): every input either loads or throws vexo::Error,
// within a 64 MiB pixel limit; what loads is drawn, converted and written back at a fast level,
// as the pipeline and the icon reader use it. Fuzz builds skip the CRC checks.
#include <cstddef>
#include <cstdint>
#include <span>

#include "png/png.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{64} << 20;
  vexo::TPNGObject image;
  image.setLimits(limits);
  try {
    image.loadFromMemory(std::span(data, size));
    if (std::uint64_t(image.width()) * std::uint64_t(image.height()) > (1u << 20)) return 0;
    vexo::Bitmap target(image.width(), image.height(), 24, limits);
    image.draw(target, 0, 0);
    (void)image.ToBitmap();
    image.setDeflateLevel(1);
    image.RowFilters = vexo::kAllFilters;
    (void)image.saveToMemory();
  } catch (const vexo::Error&) {
  }
  return 0;
}
