// The header segments of the encoder's output.
#include "jpeg/marker_writer.h"

#include <algorithm>

#include "jpeg/entropy_encode.h"

namespace vexo::jpeg {

namespace {

void put8(std::vector<std::uint8_t>& out, int v) {
  out.push_back(static_cast<std::uint8_t>(v));
}
void put16(std::vector<std::uint8_t>& out, int v) {
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}
void putMarker(std::vector<std::uint8_t>& out, int code) {
  out.push_back(0xFF);
  out.push_back(static_cast<std::uint8_t>(code));
}

}  // namespace

const jpeg::THuffmanTable& tableFor(const jpeg::THuffmanTables& tables, std::uint8_t classId) {
  const int i = tables.Find(classId);
  if (i < 0) throw MissingCode{};
  return tables.at(i);
}

void writeHeaders(const EncodeJob& job, std::vector<std::uint8_t>& out) {
  const auto& comps = *job.components;
  const Bitmap& bitmap = *job.bitmap;

  if (!job.comment->empty()) {
    // The length field holds at most 65535: longer comments are cut to fit.
    const std::size_t n = std::min<std::size_t>(job.comment->size(), 65532);
    putMarker(out, 0xFE);
    put16(out, static_cast<int>(n + 3));
    out.insert(out.end(), job.comment->begin(), job.comment->begin() + static_cast<long>(n));
    put8(out, 0);
  }

  putMarker(out, 0xE0);
  put16(out, 16);
  for (char c : {'J', 'F', 'I', 'F', '\0'}) put8(out, c);
  put8(out, 1);
  put8(out, 1);
  put8(out, job.densityUnit);
  put16(out, job.xDensity);
  put16(out, job.yDensity);
  put8(out, 0);
  put8(out, 0);

  const auto& tables = *job.quantTables;
  const std::size_t tableCount = job.gray ? std::min<std::size_t>(1, tables.size()) : tables.size();
  std::size_t dqtLength = 2;
  for (std::size_t i = 0; i < tableCount; ++i) dqtLength += tables[i].precision ? 129 : 65;
  putMarker(out, 0xDB);
  put16(out, static_cast<int>(dqtLength));
  for (std::size_t i = 0; i < tableCount; ++i) {
    const auto& t = tables[i];
    put8(out, (t.precision ? 16 : 0) + static_cast<int>(i));
    for (std::int16_t v : t.values) {
      if (t.precision)
        put16(out, static_cast<std::uint16_t>(v));
      else
        put8(out, v);
    }
  }

  auto factors = [](const TJpegEx::Component& c) { return (c.h % 16) * 16 + c.v % 16; };
  putMarker(out, 0xC0);
  put16(out, job.gray ? 11 : 17);
  put8(out, 8);
  put16(out, bitmap.height());
  put16(out, bitmap.width());
  put8(out, job.gray ? 1 : 3);
  put8(out, 1);
  put8(out, factors(comps[0]));
  put8(out, comps[0].quantTable);
  if (!job.gray) {
    put8(out, 2);
    put8(out, factors(comps[1]));
    put8(out, comps[1].quantTable);
    put8(out, 3);
    put8(out, factors(comps[1]));
    put8(out, comps[2].quantTable);
  }

  const std::vector<std::uint8_t> classes = job.gray
                                                ? std::vector<std::uint8_t>{0x00, 0x10}
                                                : std::vector<std::uint8_t>{0x00, 0x01, 0x10, 0x11};
  std::size_t dhtLength = 2;
  for (std::uint8_t id : classes) dhtLength += tableFor(*job.huffman, id).dhtLength();
  putMarker(out, 0xC4);
  put16(out, static_cast<int>(dhtLength));
  for (std::uint8_t id : classes) tableFor(*job.huffman, id).WriteDht(out);

  if (job.restartInterval > 0) {
    putMarker(out, 0xDD);
    put16(out, 4);
    put16(out, job.restartInterval);
  }

  putMarker(out, 0xDA);
  put16(out, job.gray ? 8 : 12);
  put8(out, job.gray ? 1 : 3);
  put8(out, 1);
  put8(out, 0x00);
  if (!job.gray) {
    put8(out, 2);
    put8(out, 0x11);
    put8(out, 3);
    put8(out, 0x11);
  }
  put8(out, 0);
  put8(out, 63);
  put8(out, 0);
}

}  // namespace vexo::jpeg
