// Fuzz target of the GIF reader (TGIFImage): every input either loads or throws vexo::Error,
// within an 8 MiB pixel limit; what loads is drawn and converted as the pipeline uses it when
// small, and written back with the GIF writer.
// The small limit keeps each execution fast; the limit checks themselves are the same.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "gif/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{8} << 20;
  vexo::TGIFImage image;
  image.setLimits(limits);
  std::size_t warnings = 0;
  image.OnWarning = [&warnings](std::string_view) { ++warnings; };
  try {
    image.loadFromMemory(std::span(data, size));
    if (image.empty()) return 0;
    if (std::uint64_t(image.width()) * std::uint64_t(image.height()) <= (1u << 18)) {
      vexo::Bitmap target(image.width(), image.height(), 24, limits);
      image.draw(target, 0, 0);
      (void)image.ToBitmap();
    }
    try {
      (void)image.saveToMemory();
    } catch (const vexo::Error&) {
    }
  } catch (const vexo::Error&) {
  }
  return 0;
}
