#include "app/path_shorten.h"

#include <cstdint>
#include <optional>

#include "core/utf8.h"

namespace vexo {

namespace {

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
