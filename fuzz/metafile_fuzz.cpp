// Fuzz target of the metafile player (TMetafileEx): every input either loads or throws
// vexo::Error, within a 2 MiB pixel limit; what loads is drawn and written back as EMF and WMF.
// The small limit keeps each execution fast; the limit checks themselves are the same.
#include <cstddef>
#include <cstdint>
#include <span>

#include "imaging/metafile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{2} << 20;
  vexo::TMetafileEx image;
  image.setLimits(limits);
  try {
    image.loadFromMemory(std::span(data, size));
    if (std::uint64_t(image.width()) * std::uint64_t(image.height()) > (1u << 18)) return 0;
    vexo::Bitmap target(image.width(), image.height(), 24, limits);
    image.draw(target, 0, 0);
    image.Enhanced = true;
    (void)image.saveToMemory();
    image.Enhanced = false;
    (void)image.saveToMemory();
  } catch (const vexo::Error&) {
  }
  return 0;
}
