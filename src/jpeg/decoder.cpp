// The JPEG decoder: baseline sequential frames by the codec's own code (Huffman decoding,
// dequantisation, the 8 × 8 inverse DCT, upsampling by replication, YCbCr to RGB), progressive
// frames through libjpeg.
//
// Every component of the frame gets a plane of the padded frame size, filled with 128; each
// decoded block is written into its plane enlarged by the component's replication factors, so
// chroma is upsampled as it is stored and the colour conversion reads three equal planes.
// Besides the single interleaved scan of a usual file, a frame may be coded in several scans
// (each with some of the components); a scan of one component is non-interleaved and codes its
// blocks one by one over the component's own size, as in ITU-T T.81 A.2.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "core/bitmap.h"
#include "core/byte_reader.h"
#include "input/jpeg_reader.h"
#include "jpeg/dct.h"
#include "jpeg/decoder.h"
#include "jpeg/huffman.h"
#include "jpeg/jpeg_ex.h"
#include "jpeg/ycc_to_rgb.h"

namespace vexo::jpeg {
namespace {

// Dequantised coefficients and DC predictors are kept in the range of the 16-bit coefficients of
// 8-bit JPEG; only damaged data reach the limit, and it keeps the arithmetic far from overflow.
constexpr int kCoefficientLimit = 32767;

int limitCoefficient(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, -kCoefficientLimit, kCoefficientLimit));
}

}  // namespace

void BaselineDecoder::setUpFrame(const FrameHeader& frame) {
  width_ = frame.width;
  height_ = frame.height;
  components_ = frame.components;
  if (width_ == 0) throw EJpegEx(kJpegInvalid);
  if (height_ == 0) throw EJpegEx(kJpegUnsupported);  // height given by a DNL segment
  const auto& records = *frame.records;
  const int h1 = records[0].h, v1 = records[0].v;
  for (int i = 0; i < components_; ++i) {
    const int h = records[i].h, v = records[i].v;
    if (h < 1 || h > 4 || v < 1 || v > 4 || h1 % h != 0 || v1 % v != 0)
      throw EJpegEx(kJpegUnsupported);
  }
  const int mcuWidth = 8 * h1, mcuHeight = 8 * v1;
  mcusX_ = (width_ + mcuWidth - 1) / mcuWidth;
  mcusY_ = (height_ + mcuHeight - 1) / mcuHeight;
  paddedWidth_ = static_cast<std::size_t>(mcusX_) * mcuWidth;
  paddedHeight_ = static_cast<std::size_t>(mcusY_) * mcuHeight;

  // The planes and the bitmap exist together; both count against the limit.
  const std::uint64_t planeBytes =
      checkImageSize(static_cast<std::int64_t>(paddedWidth_),
                     static_cast<std::int64_t>(paddedHeight_), 8 * components_, limits_);
  DecodeLimits rest = limits_;
  rest.maxImageBytes -= planeBytes;
  checkImageSize(width_, height_, 24, rest);

  const std::size_t planeSize = paddedWidth_ * paddedHeight_;
  planes_.assign(planeSize * static_cast<std::size_t>(components_), 128);
  for (int i = 0; i < components_; ++i) {
    Plane& p = plane_[i];
    p.h = records[i].h;
    p.v = records[i].v;
    p.sx = h1 / p.h;
    p.sy = v1 / p.v;
    // The component's own size is ceil(width × h / h1) (T.81 A.1.1); a non-interleaved scan
    // covers it with whole blocks.
    const int componentWidth = (width_ * p.h + h1 - 1) / h1;
    const int componentHeight = (height_ * p.v + v1 - 1) / v1;
    p.blocksX = (componentWidth + 7) / 8;
    p.blocksY = (componentHeight + 7) / 8;
    p.base = planes_.data() + planeSize * static_cast<std::size_t>(i);
    p.decoded = false;
  }
  flat_.assign(2 * kCoefficientLimit + 1, -2);

  // Three components are YCbCr unless the data say RGB, as libjpeg reads them: a JFIF header
  // means YCbCr, else an Adobe header's transform 0 means RGB, else identifiers 'R', 'G', 'B'.
  const auto& ids = frame.ids;
  rgb_ = components_ == 3 && !frame.jfif &&
         (frame.adobeTransform >= 0 ? frame.adobeTransform == 0
                                    : ids[0] == 'R' && ids[1] == 'G' && ids[2] == 'B');
}

std::size_t BaselineDecoder::decodeScan(const ScanHeader& header, std::size_t start) {
  if (planes_.empty()) throw EJpegEx(kJpegInvalid);  // a scan of a frame never set up
  const int count = header.components;
  std::array<Plane*, 4> scan{};
  for (int i = 0; i < count; ++i) {
    const int record = header.records[i];
    Plane& p = plane_[record];
    const TJpegEx::Component& c = (*header.componentRecords)[record];
    // In a sequential frame every component is coded by exactly one scan.
    if (p.decoded) throw EJpegEx(kJpegInvalid);
    p.decoded = true;
    if (c.dcTable < 0 || c.acTable < 0) throw EJpegEx(kJpegInvalid);
    p.dc = &header.huffman->at(c.dcTable);
    p.ac = &header.huffman->at(c.acTable);
    if (!(header.quantDefined & (1u << c.quantTable))) throw EJpegEx(kJpegInvalid);
    const auto& table = (*header.quantTables)[c.quantTable].values;
    for (int k = 0; k < 64; ++k) p.quant[k] = static_cast<std::uint16_t>(table[k]);
    p.predictor = 0;
    scan[i] = &p;
  }
  const std::span<Plane* const> planes(scan.data(), count);
  // A scan of one component is non-interleaved: its MCU is a single block.
  const std::uint64_t total = count == 1 ? std::uint64_t(scan[0]->blocksX) * scan[0]->blocksY
                                         : std::uint64_t(mcusX_) * mcusY_;
  const std::uint64_t interval = header.restartInterval;

  jpeg::JpegBitReader reader(data_, start);
  std::uint64_t mcu = 0, sinceRestart = 0, intervals = 0;
  int expected = 0;  // number of the next restart marker
  while (mcu < total) {
    progress_.running(reader.position(), kDecoding);
    int marker = decodeMcu(reader, planes, mcu);
    if (marker == 0) {
      ++mcu;
      if (interval == 0 || ++sinceRestart < interval || mcu == total) continue;
      // A restart point: the padding bits before the marker are passed over.
      do marker = reader.ReadEntry();
      while (marker < 2);
    }
    // A restart marker, at its place or inside an MCU of damaged data. The rest of that MCU
    // and the MCUs of intervals whose markers are missing keep the plane's 128, which is what
    // a block of zero coefficients decodes to; decoding resumes where the marker's number says.
    // Any other marker (EOI, or one that cannot be part of the scan) ends the scan.
    if (marker < 0xD0 || marker > 0xD7 || interval == 0) break;
    const int number = marker - 0xD0;
    intervals += 1 + static_cast<unsigned>((number - expected) & 7);
    expected = (number + 1) & 7;
    mcu = intervals * interval;
    sinceRestart = 0;
    for (Plane* p : planes) p->predictor = 0;
  }
  return nextMarker(start);
}

int BaselineDecoder::decodeMcu(jpeg::JpegBitReader& reader, std::span<Plane* const> scan,
                               std::uint64_t mcu) {
  if (scan.size() == 1) {
    Plane& p = *scan[0];
    return decodeBlock(reader, p, static_cast<int>(mcu % p.blocksX),
                       static_cast<int>(mcu / p.blocksX));
  }
  const int mx = static_cast<int>(mcu % mcusX_), my = static_cast<int>(mcu / mcusX_);
  for (Plane* p : scan) {
    for (int by = 0; by < p->v; ++by) {
      for (int bx = 0; bx < p->h; ++bx) {
        // A marker ends the MCU: the blocks after it stay as the plane was filled.
        if (const int marker = decodeBlock(reader, *p, mx * p->h + bx, my * p->v + by))
          return marker;
      }
    }
  }
  return 0;
}

// Decodes one block and stores it; returns 0, or the code of a marker met inside it, in which
// case the coefficients decoded before the marker are stored.
int BaselineDecoder::decodeBlock(jpeg::JpegBitReader& reader, Plane& p, int bx, int by) {
  int run = 0;
  const int diff = jpeg::DecodeSymbol(*p.dc, reader, run);
  if (run < 0) return diff & 0xFF;
  std::int32_t* coef = coefficients_.data();
  std::memset(coef, 0, sizeof coefficients_);
  p.predictor = limitCoefficient(std::int64_t{p.predictor} + diff);
  coef[0] = limitCoefficient(std::int64_t{p.predictor} * p.quant[0]);
  bool dcOnly = true;
  int marker = 0;
  for (int k = 1; k < 64;) {
    const int value = jpeg::DecodeSymbol(*p.ac, reader, run);
    if (run < 0) {
      marker = value & 0xFF;
      break;
    }
    if (run == jpeg::kEndOfBlock) break;
    k += run;
    if (k > 63) break;
    if (value != 0) {
      coef[jpeg::kZigzag[k]] = limitCoefficient(std::int64_t{value} * p.quant[k]);
      dcOnly = false;
    }
    ++k;
  }
  store(p, bx, by, dcOnly);
  return marker;
}

int BaselineDecoder::flatLevel(int dc) {
  std::int16_t& level = flat_[static_cast<std::size_t>(dc + kCoefficientLimit)];
  if (level == -2) {
    alignas(32) std::array<std::int32_t, 64> block{};
    block[0] = dc;
    jpeg::InverseDct(block.data(), samples_.data());
    const bool flat =
        std::all_of(samples_.begin(), samples_.end(), [&](auto s) { return s == samples_[0]; });
    level = flat ? samples_[0] : -1;
  }
  return level;
}

void BaselineDecoder::store(const Plane& p, int bx, int by, bool dcOnly) {
  const int cellWidth = 8 * p.sx, cellHeight = 8 * p.sy;
  std::uint8_t* origin = p.base + static_cast<std::size_t>(by) * cellHeight * paddedWidth_ +
                         static_cast<std::size_t>(bx) * cellWidth;
  if (dcOnly) {
    if (const int level = flatLevel(coefficients_[0]); level >= 0) {
      for (int i = 0; i < cellHeight; ++i, origin += paddedWidth_)
        std::memset(origin, level, static_cast<std::size_t>(cellWidth));
      return;
    }
  }
  jpeg::InverseDct(coefficients_.data(), samples_.data());
  const std::uint8_t* s = samples_.data();
  for (int i = 0; i < 8; ++i, s += 8) {
    std::uint8_t* row = origin;
    if (p.sx == 1) {
      std::memcpy(row, s, 8);
    } else if (p.sx == 2) {
      for (int j = 0; j < 8; ++j) row[2 * j] = row[2 * j + 1] = s[j];
    } else {
      for (int j = 0; j < 8; ++j) std::memset(row + j * p.sx, s[j], static_cast<std::size_t>(p.sx));
    }
    origin += paddedWidth_;
    for (int r = 1; r < p.sy; ++r, origin += paddedWidth_)
      std::memcpy(origin, row, static_cast<std::size_t>(cellWidth));
  }
}

// Where the next marker segment starts behind a scan's data: the first FF that is followed by
// neither 00 (a stuffed data byte), a restart marker nor another FF (a fill byte).
std::size_t BaselineDecoder::nextMarker(std::size_t from) const {
  const std::size_t n = data_.size();
  for (std::size_t i = from; i + 1 < n; ++i) {
    const auto* ff = static_cast<const std::uint8_t*>(std::memchr(data_.data() + i, 0xFF, n - i));
    if (!ff) break;
    i = static_cast<std::size_t>(ff - data_.data());
    if (i + 1 >= n) break;
    const int code = data_[i + 1];
    if (code != 0x00 && code != 0xFF && (code < 0xD0 || code > 0xD7)) return i;
  }
  return n;
}

Bitmap BaselineDecoder::convert() const {
  Bitmap bitmap(width_, height_, 24, limits_);
  const std::uint8_t* y = plane_[0].base;
  for (int row = 0; row < height_; ++row, y += paddedWidth_) {
    std::uint8_t* out = bitmap.row(row);
    if (components_ == 1) {
      for (int x = 0; x < width_; ++x, out += 3) out[0] = out[1] = out[2] = y[x];
      continue;
    }
    const std::size_t offset = static_cast<std::size_t>(row) * paddedWidth_;
    const std::uint8_t* cb = plane_[1].base + offset;
    const std::uint8_t* cr = plane_[2].base + offset;
    if (rgb_) {
      for (int x = 0; x < width_; ++x, out += 3) {
        out[0] = cr[x];
        out[1] = cb[x];
        out[2] = y[x];
      }
    } else {
      ConvertYccRow(y, cb, cr, out, width_);
    }
  }
  return bitmap;
}

}  // namespace vexo::jpeg
