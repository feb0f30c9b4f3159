#include "core/utf8.h"

#include <cstdint>

namespace vexo {

std::optional<char32_t> decodeUtf8(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<std::uint8_t>(text[i]);
  std::size_t len;
  char32_t cp, min;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1Fu, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0Fu, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07u, min = 0x10000;
  } else {
    ++i;
    return std::nullopt;
  }
  if (text.size() - i < len) {
    ++i;
    return std::nullopt;
  }
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<std::uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return std::nullopt;
    }
    cp = cp << 6 | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return std::nullopt;
  }
  i += len;
  return cp;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();)
    if (!decodeUtf8(text, i)) return false;
  return true;
}

}  // namespace vexo
