// Checked arithmetic for sizes that come from files: 64-bit, refusing overflow.
#pragma once
#include <cstdint>
#include <optional>

namespace vexo {

inline std::optional<std::uint64_t> checkedMul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

inline std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

// Bytes of one DIB row: ((width × bits + 31) / 32) × 4, or nullopt on overflow.
inline std::optional<std::uint64_t> dibStride(std::uint64_t width, unsigned bits) {
  auto b = checkedMul(width, bits);
  if (!b || *b > UINT64_MAX - 31) return std::nullopt;
  return (*b + 31) / 32 * 4;
}

}  // namespace vexo
