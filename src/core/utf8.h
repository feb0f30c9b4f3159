// UTF-8 decoding for names that are bytes: file names need not be valid UTF-8.
#pragma once
#include <optional>
#include <string_view>

namespace vexo {

// Decodes the UTF-8 character at text[i] and advances i past it. Invalid sequences (bad lead or
// continuation bytes, overlong forms, surrogates, values above U+10FFFF) give nullopt and
// advance by one byte.
std::optional<char32_t> decodeUtf8(std::string_view text, std::size_t& i);

bool isValidUtf8(std::string_view text);

}  // namespace vexo
