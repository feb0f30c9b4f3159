// The header walk of TJpegEx: the segments from SOI up to the first scan (or the next one, for
// the decoder), read into the frame, scan, table and JFIF/Adobe fields; and ScanJpegSize.
#include <algorithm>
#include <cstring>

#include "jpeg/jpeg_ex.h"
#include "jpeg/markers.h"

namespace vexo {
namespace {

// More Huffman tables than any sequential file defines; a stream of DHT segments beyond this is
// refused rather than collected.
constexpr int kMaxHuffmanTables = 64;

}  // namespace

void TJpegEx::WalkHeaders() {
  if (data_.empty()) throw EJpegEx(kJpegNoData);
  walk(data_);
}

void TJpegEx::walk(std::span<const std::uint8_t> data) {
  try {
    std::size_t pos = beginWalk(data);
    for (;;) {
      const Segment s = readSegment(data, pos);
      if (s == Segment::kScan || s == Segment::kEnd || s == Segment::kProgressiveFrame) return;
    }
  } catch (const ByteReader::Overrun&) {
    throw EJpegEx(kJpegInvalid);
  }
}

std::size_t TJpegEx::beginWalk(std::span<const std::uint8_t> data) {
  if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF || data[3] < 0xE0 ||
      data[3] > 0xFE)
    throw EJpegEx(kJpegInvalid);
  width_ = height_ = 0;
  restartInterval_ = 0;
  if (huffman_)
    huffman_->Clear();
  else
    huffman_.emplace();
  frameMarker_ = 0;
  frameComponents_ = 0;
  componentIds_ = {-1, -1, -1};
  scanComponents_ = 0;
  quantDefined_ = 0;
  jfif_ = false;
  adobeTransform_ = -1;
  return 2;
}

TJpegEx::Segment TJpegEx::readSegment(std::span<const std::uint8_t> data, std::size_t& pos) {
  ByteReader r(data);
  r.seek(pos);
  if (r.u8() != 0xFF) throw EJpegEx(kJpegInvalid);
  int marker = r.u8();
  while (marker == 0xFF) marker = r.u8();  // fill bytes before the marker
  if (marker == 0xD9) {
    pos = r.pos();
    return Segment::kEnd;
  }
  if (jpeg::IsStandaloneMarker(marker)) {
    pos = r.pos();
    return Segment::kOther;
  }
  if (marker == 0x00 || marker == 0xD8) throw EJpegEx(kJpegInvalid);
  const std::size_t length = r.u16be();
  if (length < 2) throw EJpegEx(kJpegInvalid);
  const std::size_t begin = r.pos();
  ByteReader body = r.sub(length - 2);
  pos = r.pos();

  if (jpeg::IsOtherFrameMarker(marker)) throw EJpegEx(kJpegUnsupported);
  switch (marker) {
    case 0xC0:
    case 0xC2:
      readFrameHeader(body, marker == 0xC2);
      return marker == 0xC2 ? Segment::kProgressiveFrame : Segment::kFrame;
    case 0xC4:
      readHuffmanTables(data, begin, pos);
      break;
    case 0xDB:
      readQuantTables(body);
      break;
    case 0xDD:
      if (length != 4) throw EJpegEx(kJpegInvalid);
      restartInterval_ = body.u16be();
      break;
    case 0xDA:
      readScanHeader(body);
      return Segment::kScan;
    case 0xE0:
      // Identifier and version are passed over; a segment too short for the densities is not
      // a JFIF header and leaves them as they are.
      if (body.size() >= 12) {
        jfif_ = jfif_ || std::memcmp(body.bytes(5).data(), "JFIF", 5) == 0;
        body.skip(2);
        const std::uint8_t units = body.u8();
        DensityUnit = units > 2 ? 0 : units;
        XDensity = body.u16be();
        YDensity = body.u16be();
      }
      break;
    case 0xEE:
      // Adobe's colour transform tells YCbCr (1) from RGB (0) data.
      if (body.size() >= 12 && std::memcmp(body.data().data(), "Adobe", 5) == 0)
        adobeTransform_ = body.data()[11];
      break;
    case 0xFE: {
      const auto text = body.data();
      const auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
      Comment.assign(text.begin(), end);
      break;
    }
    default:
      break;
  }
  return Segment::kOther;
}

void TJpegEx::readFrameHeader(ByteReader body, bool progressive) {
  if (frameMarker_ != 0) throw EJpegEx(kJpegInvalid);  // a second frame
  if (body.u8() != 8) throw EJpegEx(kJpegUnsupported);
  height_ = body.u16be();
  width_ = body.u16be();
  const int count = body.u8();
  if (count == 4) throw EJpegEx(kJpegUnsupported);
  if (count == 0) throw EJpegEx(kJpegInvalid);
  if (count != 1 && count != 3) throw EJpegEx(kJpegUnsupported);
  if (body.remaining() != static_cast<std::size_t>(3 * count)) throw EJpegEx(kJpegInvalid);

  std::array<int, 3> ids{}, factors{}, tables{};
  for (int i = 0; i < count; ++i) {
    ids[i] = body.u8();
    factors[i] = body.u8();
    tables[i] = body.u8();
    if (tables[i] > 3) throw EJpegEx(kJpegInvalid);
    for (int j = 0; j < i; ++j)
      if (ids[j] == ids[i]) throw EJpegEx(kJpegInvalid);
  }
  // Identifiers 1, 2, 3 of a colour frame name their records; anything else goes by order.
  bool byId = count == 3;
  for (int i = 0; i < count; ++i) byId = byId && ids[i] >= 1 && ids[i] <= 3;

  components_.fill(Component{});
  componentIds_ = {-1, -1, -1};
  for (int i = 0; i < count; ++i) {
    const int record = byId ? ids[i] - 1 : i;
    components_[record] = {static_cast<std::uint8_t>(factors[i] >> 4),
                           static_cast<std::uint8_t>(factors[i] & 15), tables[i], -1, -1};
    componentIds_[record] = ids[i];
  }
  frameComponents_ = count;
  frameMarker_ = progressive ? 0xC2 : 0xC0;

  // Sampling mode: 0 for 2×2 luminance over 1×1 chroma, 1 for 2×1, 2 for equal factors or no
  // chroma, 3 (custom, with the blocks per MCU of each component kept) for anything else.
  const int a = components_[0].h * components_[0].v;
  const int b = components_[1].h * components_[1].v;
  const int c = components_[2].h * components_[2].v;
  int mode = 3;
  int e = -1;
  if (b == c && a != 0 && 4 % a == 0) {
    e = b * (4 / a);
    mode = e == 0 ? 2 : e == 1 ? 0 : e == 2 ? 1 : e == 4 ? 2 : 3;
  }
  graySource_ = e == 0 || count == 1;
  samplingMode_ = mode;
  if (mode == 3)
    customFactors_ = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                      static_cast<std::uint8_t>(c)};
}

void TJpegEx::readScanHeader(ByteReader body) {
  if (frameMarker_ == 0) throw EJpegEx(kJpegInvalid);  // a scan before its frame
  const int count = body.u8();
  if (count < 1 || count > frameComponents_ ||
      body.remaining() != static_cast<std::size_t>(2 * count + 3))
    throw EJpegEx(kJpegInvalid);
  // The most recent definition of a table counts; later DHT segments may redefine one.
  auto table = [this](int classId) {
    for (int i = huffman_->Count() - 1; i >= 0; --i)
      if (huffman_->at(i).classId() == classId) return i;
    return -1;
  };
  for (int i = 0; i < count; ++i) {
    const int id = body.u8();
    const int selectors = body.u8();
    const auto* found = std::find(componentIds_.begin(), componentIds_.end(), id);
    if (found == componentIds_.end()) throw EJpegEx(kJpegInvalid);
    const int record = static_cast<int>(found - componentIds_.begin());
    for (int j = 0; j < i; ++j)
      if (scanRecords_[j] == record) throw EJpegEx(kJpegInvalid);
    scanRecords_[i] = record;
    components_[record].dcTable = table(selectors >> 4);
    components_[record].acTable = table(0x10 + (selectors & 15));
  }
  scanComponents_ = count;
  // Spectral selection and successive approximation mean nothing to a sequential scan.
}

void TJpegEx::readQuantTables(ByteReader body) {
  while (!body.atEnd()) {
    const int head = body.u8();
    const int precision = head >> 4, id = head & 15;
    if (precision > 1 || id > 3) throw EJpegEx(kJpegInvalid);
    QuantTable table;
    table.precision = precision;
    for (auto& v : table.values)
      v = static_cast<std::int16_t>(precision ? body.u16be() : body.u8());
    if (quantTables_.size() <= static_cast<std::size_t>(id)) quantTables_.resize(id + 1);
    quantTables_[id] = table;
    quantDefined_ |= 1u << id;
  }
}

void TJpegEx::readHuffmanTables(std::span<const std::uint8_t> data, std::size_t begin,
                                std::size_t end) {
  if (begin == end) return;
  // The reader stops at the 0xFF of the next marker; it sees no further than that byte.
  std::size_t pos = begin;
  huffman_->ReadDht(data.first(std::min(end + 1, data.size())), pos);
  if (pos != end || huffman_->Count() > kMaxHuffmanTables) throw EJpegEx(kJpegInvalid);
}

std::optional<std::pair<int, int>> ScanJpegSize(std::span<const std::uint8_t> data) {
  ByteReader r(data);
  try {
    if (r.u16be() != 0xFFD8) return std::nullopt;
    for (;;) {
      if (r.u8() != 0xFF) return std::nullopt;
      int marker = r.u8();
      while (marker == 0xFF) marker = r.u8();
      if (marker == 0x00 || marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return std::nullopt;
      if (jpeg::IsStandaloneMarker(marker)) continue;
      const std::size_t length = r.u16be();
      if (length < 2) return std::nullopt;
      if (marker == 0xC0 || marker == 0xC2) {
        r.u8();  // precision
        const int height = r.u16be();
        const int width = r.u16be();
        return std::pair{width, height};
      }
      r.skip(length - 2);
    }
  } catch (const ByteReader::Overrun&) {
    return std::nullopt;
  }
}

}  // namespace vexo
