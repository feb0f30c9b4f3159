#include "app/path_shorten.h"

#include <cstdint>
#include <optional>

namespace vexo {

namespace {

// Decodes the UTF-8 character at text[i] and advances i past it. Invalid sequences (bad lead or
// continuation bytes, overlong forms, surrogates, values above U+10FFFF) give nullopt and
// advance by one byte.
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

bool isZeroWidth(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) ||  // combining diacritical marks
         (c >= 0x200B && c <= 0x200F) ||  // zero-width space, joiners, direction marks
         (c >= 0x20D0 && c <= 0x20FF) ||  // combining marks for symbols
         (c >= 0x3099 && c <= 0x309A) ||  // combining kana voiced sound marks (decomposed names)
         (c >= 0xFE00 && c <= 0xFE0F) ||  // variation selectors
         (c >= 0xFE20 && c <= 0xFE2F);    // combining half marks
}

bool isWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) ||    // Hangul Jamo initials
         c == 0x2329 || c == 0x232A ||      // angle brackets
         (c >= 0x2E80 && c <= 0x303E) ||    // CJK radicals, Kangxi, CJK symbols and punctuation
         (c >= 0x3041 && c <= 0x33FF) ||    // Hiragana, Katakana, Bopomofo, Hangul compat, CJK
         (c >= 0x3400 && c <= 0x4DBF) ||    // CJK extension A
         (c >= 0x4E00 && c <= 0x9FFF) ||    // CJK unified ideographs
         (c >= 0xA000 && c <= 0xA4CF) ||    // Yi
         (c >= 0xA960 && c <= 0xA97F) ||    // Hangul Jamo extended A
         (c >= 0xAC00 && c <= 0xD7A3) ||    // Hangul syllables
         (c >= 0xF900 && c <= 0xFAFF) ||    // CJK compatibility ideographs
         (c >= 0xFE10 && c <= 0xFE19) ||    // vertical forms
         (c >= 0xFE30 && c <= 0xFE6F) ||    // CJK compatibility and small forms
         (c >= 0xFF00 && c <= 0xFF60) ||    // full-width forms
         (c >= 0xFFE0 && c <= 0xFFE6) ||    // full-width signs
         (c >= 0x1F300 && c <= 0x1F64F) ||  // pictographs and emoticons
         (c >= 0x1F900 && c <= 0x1F9FF) ||  // supplemental pictographs
         (c >= 0x20000 && c <= 0x3FFFD);    // CJK extensions B and beyond
}

// Removes up to n characters from the front of s, never splitting a UTF-8 sequence.
void eraseCharacters(std::string& s, int n) {
  std::size_t i = 0;
  for (int k = 0; k < n && i < s.size(); ++k) decodeUtf8(s, i);
  s.erase(0, i);
}

// Replaces the first folder of a non-empty folder part with "...": "/a/b/" becomes "/.../b/",
// and "/.../b/" becomes "/.../" (the earlier "..." and its delimiter go first).
void cutFirstFolder(std::string& folder, char delimiter) {
  if (folder.size() == 1 && folder[0] == delimiter) {
    folder.clear();
    return;
  }
  const bool root = folder.front() == delimiter;
  if (root) folder.erase(0, 1);
  if (!folder.empty() && folder.front() == '.') eraseCharacters(folder, 4);
  const auto next = folder.find(delimiter);
  if (next == std::string::npos) {
    folder.clear();
  } else {
    folder = "..." + std::string(1, delimiter) + folder.substr(next + 1);
  }
  if (root) folder.insert(folder.begin(), delimiter);
}

}  // namespace

std::string ShortenPath(std::string_view path, int maxWidth,
                        const std::function<int(std::string_view)>& textWidth, char delimiter) {
  std::string result(path);
  const auto cut = path.rfind(delimiter);
  const std::size_t nameStart = cut == std::string_view::npos ? 0 : cut + 1;
  std::string folder(path.substr(0, nameStart));
  const std::string name(path.substr(nameStart));
  std::string drive;
  if (folder.size() >= 2 && folder[1] == ':') {
    drive = folder.substr(0, 2);
    folder.erase(0, 2);
  }
  const std::string d(1, delimiter);
  const std::string rootEllipsis = d + "..." + d;
  // Ends: every two cuts remove at least one delimiter from the folder part.
  while ((!folder.empty() || !drive.empty()) && textWidth(result) > maxWidth) {
    if (folder == rootEllipsis) {
      drive.clear();
      folder = "..." + d;
    } else if (folder.empty()) {
      drive.clear();
    } else {
      cutFirstFolder(folder, delimiter);
    }
    result = drive + folder + name;
  }
  return result;
}

int TerminalColumns(std::string_view utf8) {
  int columns = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto c = decodeUtf8(utf8, i);
    if (!c) {
      ++columns;
    } else if (isZeroWidth(*c)) {
      // nothing: checked first, as the kana sound marks lie inside a wide block
    } else {
      columns += isWide(*c) ? 2 : 1;
    }
  }
  return columns;
}

}  // namespace vexo
