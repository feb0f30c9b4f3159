#include <iconv.h>

#include <cstdint>
#include <string>

#include "app/pipeline.h"

namespace vexo {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
std::size_t utf8Length(const std::string& s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4, cp = c & 0x07;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3F);
  }
  const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
  if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool validUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto n = utf8Length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool convertFrom(const char* encoding, const std::string& in, std::string& out) {
  iconv_t cd = ::iconv_open("UTF-8", encoding);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buf(in.size() * 4 + 4, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = buf.data();
  std::size_t dstLeft = buf.size();
  const bool ok = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
  ::iconv_close(cd);
  if (!ok || srcLeft != 0) return false;
  buf.resize(buf.size() - dstLeft);
  out = std::move(buf);
  return true;
}

}  // namespace

std::string DisplayName(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (validUtf8(name)) return name;
  std::string converted;
  if (convertFrom("CP932", name, converted)) return converted;
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    const auto n = utf8Length(name, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(name, i, n);
      i += n;
    }
  }
  return out;
}

}  // namespace vexo
