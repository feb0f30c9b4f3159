// Exif blocks and JPEG heads written by hand for the Exif tests: a TIFF structure in either
// byte order, segments, and a JPEG of SOI, segments and the start of a scan.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vexo::test {

using Bytes = std::vector<std::uint8_t>;

// A TIFF structure written by hand in either byte order.
class Tiff {
 public:
  explicit Tiff(bool big) : big_(big) {
    bytes_ = big ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
    u16(42).u32(8);
  }
  Tiff& u16(unsigned v) { return put(v, 2); }
  Tiff& u32(std::uint32_t v) { return put(v, 4); }
  Tiff& raw(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  // A 12-byte entry.
  Tiff& entry(unsigned tag, unsigned type, std::uint32_t count, std::uint32_t value) {
    return u16(tag).u16(type).u32(count).u32(value);
  }
  // An entry whose value sits in place, given as its (up to 4) bytes.
  Tiff& inPlace(unsigned tag, unsigned type, std::uint32_t count, const std::string& value) {
    u16(tag).u16(type).u32(count);
    std::string v = value;
    v.resize(4, '\0');
    return raw(v);
  }
  std::size_t size() const { return bytes_.size(); }
  const Bytes& bytes() const { return bytes_; }

 private:
  Tiff& put(std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
      bytes_.push_back(static_cast<std::uint8_t>(v >> 8 * (big_ ? n - 1 - i : i)));
    return *this;
  }
  bool big_;
  Bytes bytes_;
};

inline Bytes segment(std::uint8_t marker, const Bytes& payload) {
  Bytes s{0xFF, marker, static_cast<std::uint8_t>((payload.size() + 2) >> 8),
          static_cast<std::uint8_t>(payload.size() + 2)};
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

inline Bytes exifPayload(const Bytes& tiff) {
  Bytes p{'E', 'x', 'i', 'f', 0, 0};
  p.insert(p.end(), tiff.begin(), tiff.end());
  return p;
}

// SOI, the segments, and the start of a scan (the search stops there).
inline Bytes jpegWith(std::initializer_list<Bytes> segments) {
  Bytes j{0xFF, 0xD8};
  for (const auto& s : segments) j.insert(j.end(), s.begin(), s.end());
  for (std::uint8_t b : {0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9}) j.push_back(b);
  return j;
}

inline Bytes exifJpeg(const Tiff& tiff) {
  return jpegWith({segment(0xE1, exifPayload(tiff.bytes()))});
}

}  // namespace vexo::test
