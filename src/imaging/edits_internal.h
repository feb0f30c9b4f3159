// What the resampler and the pixel-copying transforms share.
#pragma once
#include <cstddef>
#include <cstring>

#include "core/bitmap.h"

namespace vexo {

// Zeroes the bytes after the last pixel of every row. The spare low bits of a last 1- or 4-bit
// byte are never set in the first place: such rows start zeroed and pixels are ORed in.
inline void clearPadding(Bitmap& bitmap, std::size_t usedBytes) {
  if (usedBytes >= bitmap.stride()) return;
  for (int y = 0; y < bitmap.height(); ++y)
    std::memset(bitmap.row(y) + usedBytes, 0, bitmap.stride() - usedBytes);
}

}  // namespace vexo
