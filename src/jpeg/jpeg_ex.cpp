// TJpegEx as a Graphic: loading from memory and streams, the header walk shared with the
// decoder, the size scan, saving, assignment, drawing and resizing. Encoding is in encoder.cpp,
// decoding in decoder.cpp.
#include "jpeg/jpeg_ex.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

#include "imaging/color_depth.h"
#include "imaging/edits.h"
#include "input/jpeg_reader.h"
#include "jpeg/decoder.h"

namespace vexo {
namespace {

// More Huffman tables than any sequential file defines; a stream of DHT segments beyond this is
// refused rather than collected.
constexpr int kMaxHuffmanTables = 64;

bool isStandalone(int marker) {
  return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

// Frames of the coding processes this codec does not decode: extended and lossless Huffman, the
// differential ones and every arithmetic-coded one (C4 DHT, C8 JPG and CC DAC are not frames).
bool isOtherFrame(int marker) {
  return marker >= 0xC1 && marker <= 0xCF && marker != 0xC2 && marker != 0xC4 && marker != 0xC8 &&
         marker != 0xCC;
}

// The luminance of a blue, green, red pixel, as the encoder computes Y. Decoding Y with
// Cb = Cr = 128 gives red = green = blue = Y, so this is the whole gray rendition.
std::uint8_t luminance(const std::uint8_t* bgr) {
  return static_cast<std::uint8_t>((29900u * bgr[2] + 58700u * bgr[1] + 11400u * bgr[0] + 50000u) /
                                   100000u);
}

void grayRow(const std::uint8_t* source, std::uint8_t* target, int count) {
  for (int x = 0; x < count; ++x, source += 3, target += 3)
    target[0] = target[1] = target[2] = luminance(source);
}

// Reads one JPEG from a stream while copying every byte it consumes. The stream is read in
// blocks; finish() puts its position right behind the last byte consumed (before take()).
class StreamCopier {
 public:
  StreamCopier(Stream& stream, std::uint64_t limit)
      : stream_(stream), start_(stream.position()), limit_(limit) {}

  // The next byte, or -1 at the end of the stream.
  int get() {
    if (pos_ == end_ && !refill()) return -1;
    const std::uint8_t b = buffer_[pos_++];
    append(&b, 1);
    return b;
  }
  // A big-endian word, or -1 at the end of the stream.
  int word() {
    const int a = get();
    if (a < 0) return -1;
    const int b = get();
    return b < 0 ? -1 : a << 8 | b;
  }
  // Copies n bytes; false when the stream ends first.
  bool skip(std::size_t n) {
    while (n > 0) {
      if (pos_ == end_ && !refill()) return false;
      const std::size_t take = std::min(n, end_ - pos_);
      append(buffer_.data() + pos_, take);
      pos_ += take;
      n -= take;
    }
    return true;
  }
  // Copies bytes up to and including the next 0xFF; false when the stream ends first.
  bool copyThroughFF() {
    for (;;) {
      if (pos_ == end_ && !refill()) return false;
      const auto* from = buffer_.data() + pos_;
      const auto* ff = static_cast<const std::uint8_t*>(std::memchr(from, 0xFF, end_ - pos_));
      const std::size_t take = ff ? static_cast<std::size_t>(ff - from) + 1 : end_ - pos_;
      append(from, take);
      pos_ += take;
      if (ff) return true;
    }
  }
  std::vector<std::uint8_t> take() { return std::move(out_); }
  void finish() { stream_.setPosition(start_ + static_cast<std::int64_t>(out_.size())); }

 private:
  bool refill() {
    buffer_.resize(64 * 1024);
    end_ = stream_.read(buffer_);
    pos_ = 0;
    return end_ > 0;
  }
  void append(const std::uint8_t* bytes, std::size_t n) {
    if (out_.size() + n > limit_) throw EJpegEx(kJpegOpenFailed);
    out_.insert(out_.end(), bytes, bytes + n);
  }

  Stream& stream_;
  std::int64_t start_;
  std::uint64_t limit_;
  std::vector<std::uint8_t> buffer_;
  std::size_t pos_ = 0, end_ = 0;
  std::vector<std::uint8_t> out_;
};

// Copies one JPEG: SOI, an APPn segment, segments by their lengths up to SOS, the scan header,
// then the entropy-coded data byte by byte: FF 00 and FF D0..FF D8 are data, FF D9 ends it, any
// other marker's segment is copied by its length (the tables and scan headers between the scans
// of a progressive file). The end of the stream ends the copy as well.
void copyJpeg(StreamCopier& in) {
  if (in.word() != 0xFFD8) throw EJpegEx(kJpegOpenFailed);
  int marker = in.word();
  if (marker < 0xFFE0 || marker > 0xFFEF) throw EJpegEx(kJpegOpenFailed);
  for (;;) {  // marker holds a marker with a length
    const int length = in.word();
    if (length < 2 || !in.skip(static_cast<std::size_t>(length - 2))) return;
    if (marker == 0xFFDA) break;
    do {
      marker = in.word();
      while (marker == 0xFFFF) {  // fill bytes
        const int next = in.get();
        if (next < 0) return;
        marker = 0xFF00 | next;
      }
      if (marker < 0xFF00 || marker == 0xFFD9) return;  // not a marker, or EOI: done
    } while (isStandalone(marker & 0xFF) || marker == 0xFFD8);
  }
  for (;;) {
    if (!in.copyThroughFF()) return;
    int code = in.get();
    while (code == 0xFF) code = in.get();
    if (code < 0 || code == 0xD9) return;
    if (code == 0x00 || (code >= 0xD0 && code <= 0xD8)) continue;
    const int length = in.word();
    if (length < 2 || !in.skip(static_cast<std::size_t>(length - 2))) return;
  }
}

}  // namespace

TJpegEx::TJpegEx() {
  components_[0] = {2, 2, 0, -1, -1};
  components_[1] = {1, 1, 1, -1, -1};
  components_[2] = {1, 1, 1, -1, -1};
  buildQuantTables();
  applySampling();
}

// ---- Loading ----------------------------------------------------------------------------------

void TJpegEx::loadFromMemory(std::span<const std::uint8_t> data) {
  bitmap_.reset();
  data_.clear();
  width_ = height_ = 0;
  const std::size_t n = data.size();
  if (n < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[n - 2] != 0xFF || data[n - 1] != 0xD9)
    throw EJpegEx(kJpegOpenFailed);
  data_.assign(data.begin(), data.end());
  WalkHeaders();
}

void TJpegEx::loadFromStream(Stream& stream) {
  bitmap_.reset();
  data_.clear();
  width_ = height_ = 0;
  StreamCopier in(stream, limits().maxImageBytes);
  try {
    copyJpeg(in);
  } catch (...) {
    in.finish();
    data_ = in.take();
    throw;
  }
  in.finish();
  data_ = in.take();
  WalkHeaders();
}

// ---- Header walk ------------------------------------------------------------------------------

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
  if (isStandalone(marker)) {
    pos = r.pos();
    return Segment::kOther;
  }
  if (marker == 0x00 || marker == 0xD8) throw EJpegEx(kJpegInvalid);
  const std::size_t length = r.u16be();
  if (length < 2) throw EJpegEx(kJpegInvalid);
  const std::size_t begin = r.pos();
  ByteReader body = r.sub(length - 2);
  pos = r.pos();

  if (isOtherFrame(marker)) throw EJpegEx(kJpegUnsupported);
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
      if (isStandalone(marker)) continue;
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

// ---- Size, saving, assignment -----------------------------------------------------------------

int TJpegEx::width() const {
  if (bitmap_) return bitmap_->width();
  if (width_ == 0 && !data_.empty())
    if (const auto size = ScanJpegSize(data_)) std::tie(width_, height_) = *size;
  return width_;
}

int TJpegEx::height() const {
  if (bitmap_) return bitmap_->height();
  if (height_ == 0 && !data_.empty())
    if (const auto size = ScanJpegSize(data_)) std::tie(width_, height_) = *size;
  return height_;
}

std::vector<std::uint8_t> TJpegEx::saveToMemory() const {
  if (!data_.empty()) return data_;
  if (!bitmap_) throw EJpegEx(kJpegNoImage);
  // Encoding changes the object; a const save encodes a copy.
  TJpegEx copy(*this);
  copy.Encode();
  if (copy.data_.empty()) throw EJpegEx(kJpegNoImage);
  return std::move(copy.data_);
}

void TJpegEx::saveToStream(Stream& stream) const {
  if (!data_.empty())
    stream.write(data_);
  else
    stream.write(saveToMemory());
}

void TJpegEx::setBitmap(Bitmap bitmap) {
  data_.clear();
  width_ = bitmap.width();
  height_ = bitmap.height();
  bitmap_ = std::move(bitmap);
  graySource_ = false;
}

void TJpegEx::assign(const Bitmap& bitmap) {
  if (bitmap.empty()) {
    data_.clear();
    bitmap_.reset();
    width_ = height_ = 0;
    graySource_ = false;
    return;
  }
  setBitmap(ConvertToBitmap24(bitmap));
}

void TJpegEx::assign(Bitmap&& bitmap) {
  if (bitmap.bits() != 24 || bitmap.empty()) return assign(static_cast<const Bitmap&>(bitmap));
  setBitmap(std::move(bitmap));
}

void TJpegEx::setWidth(int width) {
  if (!bitmap_ || width < 1) throw EJpegEx(kJpegCannotResize);
  bitmap_ = ResizeBitmap(*bitmap_, width, bitmap_->height());
  data_.clear();
  width_ = width;
}

void TJpegEx::setHeight(int height) {
  if (!bitmap_ || height < 1) throw EJpegEx(kJpegCannotResize);
  bitmap_ = ResizeBitmap(*bitmap_, bitmap_->width(), height);
  data_.clear();
  height_ = height;
}

// ---- Drawing ----------------------------------------------------------------------------------

void TJpegEx::ensureDecoded() const {
  if (bitmap_ || data_.empty()) return;
  // Decoding walks the headers into the fields of the object it runs on; a const caller lets a
  // scratch object take them (they are the ones this object's load already read).
  TJpegEx scratch;
  scratch.setLimits(limits());
  scratch.OnProgress = OnProgress;
  bitmap_ = scratch.decodeData(data_);
  width_ = bitmap_->width();
  height_ = bitmap_->height();
}

void TJpegEx::draw(Bitmap& target, int x, int y) const {
  ensureDecoded();
  if (!bitmap_) return;
  const Bitmap& source = *bitmap_;
  if (!drawsGray()) {
    drawBitmap24(source, target, x, y);
    return;
  }
  if (target.bits() != 24) throw Error("drawBitmap24 needs 24-bit bitmaps");
  const int x0 = std::max(0, x), x1 = std::min(target.width(), x + source.width());
  const int y0 = std::max(0, y), y1 = std::min(target.height(), y + source.height());
  for (int ty = y0; ty < y1 && x0 < x1; ++ty)
    grayRow(source.row(ty - y) + 3 * (x0 - x), target.row(ty) + 3 * x0, x1 - x0);
}

std::optional<Bitmap> TJpegEx::releaseBitmap24() {
  if (!bitmap_) {
    if (data_.empty()) return std::nullopt;
    Decode();
  }
  if (drawsGray())
    for (int y = 0; y < bitmap_->height(); ++y)
      grayRow(bitmap_->row(y), bitmap_->row(y), bitmap_->width());
  Bitmap out = std::move(*bitmap_);
  bitmap_.reset();
  data_.clear();
  width_ = height_ = 0;
  return out;
}

// ---- decoding: the walk of the header segments, feeding the baseline decoder ----

void TJpegEx::Decode() {
  if (data_.empty()) throw EJpegEx(kJpegNoData);
  bitmap_.reset();
  bitmap_ = decodeData(data_);
  width_ = bitmap_->width();
  height_ = bitmap_->height();
}

Bitmap TJpegEx::decodeData(std::span<const std::uint8_t> data) {
  if (data.empty()) throw EJpegEx(kJpegNoData);
  jpeg::ProgressReporter progress(OnProgress, data.size());
  try {
    jpeg::BaselineDecoder decoder(data, limits(), progress);
    std::size_t pos = beginWalk(data);
    bool scanned = false;
    while (pos < data.size()) {
      progress.running(pos, jpeg::kParsing);
      const Segment segment = readSegment(data, pos);
      if (segment == Segment::kEnd) break;
      if (segment == Segment::kProgressiveFrame) return decodeProgressive(data);
      if (segment == Segment::kFrame)
        decoder.setUpFrame({width_, height_, frameComponents_, &components_, componentIds_, jfif_,
                            adobeTransform_});
      if (segment == Segment::kScan) {
        pos = decoder.decodeScan({scanComponents_, scanRecords_, &components_, &*huffman_,
                                  &quantTables_, quantDefined_, restartInterval_},
                                 pos);
        scanned = true;
      }
    }
    if (!scanned) throw EJpegEx(kJpegInvalid);
    return decoder.convert();
  } catch (const EJpegEx&) {
    throw;
  } catch (const ImageSizeError&) {
    throw;
  } catch (const Error&) {  // the end of the data, libjpeg's errors
    throw EJpegEx(kJpegInvalid);
  } catch (const std::bad_alloc&) {
    throw EJpegEx(kJpegInvalid);
  }
}

Bitmap TJpegEx::decodeProgressive(std::span<const std::uint8_t> data) const {
  return DecodeJpegWithLibjpeg(data, limits());
}

}  // namespace vexo
