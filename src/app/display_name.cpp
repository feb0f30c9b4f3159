#include <iconv.h>

#include <cstdint>
#include <string>

#include "app/pipeline.h"
#include "core/utf8.h"

namespace vexo {

namespace {

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
  if (isValidUtf8(name)) return name;
  std::string converted;
  if (convertFrom("CP932", name, converted)) return converted;
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t start = i;
    if (decodeUtf8(name, i))
      out.append(name, start, i - start);
    else
      out += "\xEF\xBF\xBD";  // U+FFFD for each byte that is not UTF-8
  }
  return out;
}

}  // namespace vexo
