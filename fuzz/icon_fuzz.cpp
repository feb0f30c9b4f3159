// Fuzz target of the icon reader (TRkIcon): every input either loads or throws vexo::Error,
// within an 8 MiB pixel limit; what loads is drawn, and re-encoded from the drawing at 8 bits.
// The small limit keeps each execution fast; the limit checks themselves are the same.
#include <cstddef>
#include <cstdint>
#include <span>

#include "imaging/icon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{8} << 20;
  vexo::TRkIcon icon;
  icon.setLimits(limits);
  try {
    icon.loadFromMemory(std::span(data, size));
    if (icon.empty()) return 0;
    if (std::uint64_t(icon.width()) * std::uint64_t(icon.height()) > (1u << 18)) return 0;
    vexo::Bitmap target(icon.width(), icon.height(), 24, limits);
    icon.draw(target, 0, 0);
    target.transparent = true;
    icon.SetBitCount(8);
    icon.SetStretchMode(2);
    icon.assign(target);
    (void)icon.saveToMemory();
  } catch (const vexo::Error&) {
  }
  return 0;
}
