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
#include "jpeg/markers.h"

namespace vexo {
namespace {

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
    } while (jpeg::IsStandaloneMarker(marker & 0xFF) || marker == 0xFFD8);
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
  return DecodeJpegWithLibjpeg(data, limits(), 1, OnWarning);
}

}  // namespace vexo
