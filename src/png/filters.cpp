// The row filters. The encoding loops read only raw rows, so every position is independent and
// the compiler vectorises them (this file is built with -O3); decoding depends on the bytes just
// decoded and runs byte by byte.
#include <cstdlib>

#include "png/png_internal.h"

namespace vexo::png {

namespace {

inline std::uint8_t paeth(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

}  // namespace

void FilterSub(const std::uint8_t* __restrict cur, std::uint8_t* __restrict out, std::size_t n,
               int bpp) {
  const std::uint8_t* left = cur - bpp;
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(cur[i] - left[i]);
}

void FilterUp(const std::uint8_t* __restrict cur, const std::uint8_t* __restrict prev,
              std::uint8_t* __restrict out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
}

void FilterAverage(const std::uint8_t* __restrict cur, const std::uint8_t* __restrict prev,
                   std::uint8_t* __restrict out, std::size_t n, int bpp) {
  const std::uint8_t* left = cur - bpp;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned a = left[i], b = prev[i];
    out[i] = static_cast<std::uint8_t>(cur[i] - ((a & b) + ((a ^ b) >> 1)));
  }
}

void FilterPaeth(const std::uint8_t* __restrict cur, const std::uint8_t* __restrict prev,
                 std::uint8_t* __restrict out, std::size_t n, int bpp) {
  const std::uint8_t* left = cur - bpp;
  const std::uint8_t* upLeft = prev - bpp;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int16_t a = left[i], b = prev[i], c = upLeft[i];
    const std::int16_t pa = static_cast<std::int16_t>(b > c ? b - c : c - b);
    const std::int16_t pb = static_cast<std::int16_t>(a > c ? a - c : c - a);
    const std::int16_t s = static_cast<std::int16_t>(a + b - 2 * c);
    const std::int16_t pc = static_cast<std::int16_t>(s < 0 ? -s : s);
    const std::int16_t pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    out[i] = static_cast<std::uint8_t>(cur[i] - pred);
  }
}

std::size_t FilterScore(const std::uint8_t* out, std::size_t n) {
  std::size_t total = 0;
  // Counted in blocks whose 32-bit sums cannot overflow, so the loop vectorises on narrow lanes.
  for (std::size_t j = 2; j < n;) {
    const std::size_t end = n - j > (1u << 20) ? j + (1u << 20) : n;
    std::uint32_t count = 0;
    for (; j < end; ++j) count += (out[j] == out[j - 1]) | (out[j] == out[j - 2]);
    total += count;
  }
  return total;
}

void Unfilter(int type, std::uint8_t* row, const std::uint8_t* prev, std::size_t n, int bpp) {
  const std::size_t b = static_cast<std::size_t>(bpp);
  switch (type) {
    case 1:
      for (std::size_t i = b; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + row[i - b]);
      break;
    case 2:
      for (std::size_t i = 0; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);
      break;
    case 3:
      for (std::size_t i = 0; i < n; ++i) {
        const unsigned left = i >= b ? row[i - b] : 0;
        row[i] = static_cast<std::uint8_t>(row[i] + ((left + prev[i]) >> 1));
      }
      break;
    case 4:
      for (std::size_t i = 0; i < b && i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);  // Paeth of (0, up, 0) is up
      for (std::size_t i = b; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + paeth(row[i - b], prev[i], prev[i - b]));
      break;
    default:
      break;
  }
}

}  // namespace vexo::png
