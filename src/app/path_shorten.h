// Shortening of a path to a display width, as the format selection shows the source file: leading
// folders give way to "..." one at a time, and the file name alone is the shortest form.
#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace vexo {

// Returns path, or the first shortened form whose textWidth is at most maxWidth. The forms of
// C:\a\b\c\name.jpg (delimiter '\') are, in turn: C:\...\b\c\name.jpg, C:\...\c\name.jpg,
// C:\...\name.jpg, ...\name.jpg and name.jpg; the last is returned even when it is still too
// wide. A folder part whose second character is ':' starts with a drive, which is kept until
// the folders are used up (this never happens with "/" paths).
std::string ShortenPath(std::string_view path, int maxWidth,
                        const std::function<int(std::string_view)>& textWidth,
                        char delimiter = '/');

// Terminal columns taken by UTF-8 text: East Asian wide characters (CJK ideographs and symbols,
// Hiragana, Katakana, Hangul, full-width forms, wide emoji) count 2, combining marks and
// zero-width characters 0, everything else 1; each byte that is not part of valid UTF-8 counts 1.
int TerminalColumns(std::string_view utf8);

}  // namespace vexo
