// The new thumbnail of an Exif block, made from the JPEG that the conversion wrote.
#include <algorithm>

#include "exif/exif.h"
#include "imaging/edits.h"
#include "input/jpeg_reader.h"
#include "jpeg/jpeg_ex.h"

namespace vexo {

std::array<int, 2> ExifThumbnailSize(int width, int height) {
  const double scale = std::min({160.0 / width, 120.0 / height, 1.0});
  // A side that truncates to 0 (a panorama 2000 times wider than high) keeps one pixel.
  return {std::max(1, static_cast<int>(width * scale)),
          std::max(1, static_cast<int>(height * scale))};
}

std::vector<std::uint8_t> MakeExifThumbnail(std::span<const std::uint8_t> jpeg) {
  try {
    const auto size = ScanJpegSize(jpeg);
    if (!size || size->first < 1 || size->second < 1) return {};
    const auto [width, height] = *size;
    const auto [w, h] = ExifThumbnailSize(width, height);
    // libjpeg's DCT scaling does most of the shrinking while decoding: the smallest scale whose
    // image still covers the thumbnail.
    unsigned denom = 8;
    while (denom > 1 && ((width + static_cast<int>(denom) - 1) / static_cast<int>(denom) < w ||
                         (height + static_cast<int>(denom) - 1) / static_cast<int>(denom) < h))
      denom /= 2;
    Bitmap decoded = DecodeJpegWithLibjpeg(jpeg, DecodeLimits::defaults(), denom);
    if (decoded.width() != w || decoded.height() != h) decoded = ResizeBitmap(decoded, w, h);
    return CompressWithLibjpeg(decoded, 90);
  } catch (const std::exception&) {
    return {};  // a thumbnail that cannot be made is left out
  }
}

}  // namespace vexo
