// The strips of one MCU row: the colour conversion of its pixel rows, with the chroma point
// sampled (chroma column j is pixel column j × H1, chroma row i pixel row i × V1), and 128
// wherever no pixel lies. The bytes coded are those of whole-image planes padded with 128, at the
// memory of one MCU row.
#include "jpeg/color_convert.h"
#include "jpeg/entropy_encode.h"

namespace vexo::jpeg {

void FillStrips(Scan& scan, int my, ConvertFn convert) {
  const int mcuHeight = 8 * scan.v1;
  const int y0 = my * mcuHeight;
  // Rows and columns beyond the image are 128; chroma column j is pixel column j × H1 and chroma
  // row i pixel row i × V1.
  const auto width = static_cast<std::size_t>(scan.width);
  const std::size_t chromaUsed =
      (width + static_cast<std::size_t>(scan.h1) - 1) / static_cast<std::size_t>(scan.h1);
  for (int r = 0; r < mcuHeight; ++r) {
    const auto ru = static_cast<std::size_t>(r);
    const bool inside = y0 + r < scan.height;
    const bool chromaRow = !scan.gray && r % scan.v1 == 0;
    const std::size_t cRow = ru / static_cast<std::size_t>(scan.v1) * scan.chromaWidth;
    std::uint8_t* lum = scan.lum.data() + ru * scan.paddedWidth;
    std::uint8_t* cb = chromaRow ? scan.cb.data() + cRow : nullptr;
    std::uint8_t* cr = chromaRow ? scan.cr.data() + cRow : nullptr;
    const std::size_t lumFrom = inside ? width : 0, chromaFrom = inside ? chromaUsed : 0;
    std::fill(lum + lumFrom, lum + scan.paddedWidth, std::uint8_t{128});
    if (chromaRow) {
      std::fill(cb + chromaFrom, cb + scan.chromaWidth, std::uint8_t{128});
      std::fill(cr + chromaFrom, cr + scan.chromaWidth, std::uint8_t{128});
    }
    if (!inside) continue;
    convert(scan.bitmap->row(y0 + r), scan.width, lum, cb, cr, scan.h1);
  }
}

}  // namespace vexo::jpeg
