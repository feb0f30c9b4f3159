// The baseline encoder of TJpegEx: its options, its quantisation tables, and the run of one
// encode, written as SOI, the header segments (marker_writer.cpp), the entropy-coded segment and
// EOI. The stages: colour conversion with point-sampled chroma into the strips of one MCU row
// (color_convert*.cpp, downsample.cpp), the 8 × 8 forward DCT (dct.cpp), quantisation
// (quantize*.h) and Huffman coding (entropy_encode*.cpp); simd.cpp picks the instruction set.
#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/bitmap.h"
#include "jpeg/color_convert.h"
#include "jpeg/entropy_encode.h"
#include "jpeg/jpeg_ex.h"
#include "jpeg/marker_writer.h"

namespace vexo {

namespace {

// Base quantisation table in natural (row by row) order; both tables start from it.
constexpr std::uint8_t kBaseQuant[64] = {8,  6,  5,  8,  12, 20, 26, 31,  //
                                         6,  6,  7,  10, 13, 29, 30, 28,  //
                                         7,  7,  8,  12, 20, 29, 35, 28,  //
                                         7,  9,  11, 15, 26, 44, 40, 31,  //
                                         9,  11, 19, 28, 34, 55, 52, 39,  //
                                         12, 18, 28, 32, 41, 52, 57, 46,  //
                                         25, 32, 39, 44, 52, 61, 60, 51,  //
                                         36, 46, 48, 49, 56, 50, 52, 50};

constexpr std::int64_t kMaxJpegSide = 65535;  // SOF0 holds 16-bit sizes

}  // namespace

namespace jpeg {

// Headers and entropy-coded data of the image into out (which starts empty), closed with EOI
// also when a step fails. MissingCode passes through unclosed unless this is the last attempt:
// the caller starts again with other tables.
void encodeImage(const EncodeJob& job, std::vector<std::uint8_t>& out) {
  const auto& comps = *job.components;
  Scan scan;
  scan.bitmap = job.bitmap;
  scan.width = job.bitmap->width();
  scan.height = job.bitmap->height();
  scan.gray = job.gray;
  // Luminance H1 × V1 and, in colour, chroma 1 × 1 with H1 and V1 in 1..2: the factors the
  // sampling options give. Each chroma sample is then the pixel at (x × H1, y × V1).
  scan.h1 = comps[0].h;
  scan.v1 = comps[0].v;
  if (scan.h1 < 1 || scan.h1 > 2 || scan.v1 < 1 || scan.v1 > 2 ||
      (!job.gray && (comps[1].h != 1 || comps[1].v != 1 || comps[2].h != 1 || comps[2].v != 1)))
    throw std::logic_error("JpegEx: unexpected sampling factors");

  out.push_back(0xFF);
  out.push_back(0xD8);
  jpeg::JpegBitWriter writer(out);
  scan.writer = &writer;
  scan.report = &job.report;
  try {
    writeHeaders(job, out);

    const CodeTable dcLum = makeCodeTable(tableFor(*job.huffman, 0x00), false);
    const CodeTable acLum = makeCodeTable(tableFor(*job.huffman, 0x10), true);
    CodeTable dcChroma, acChroma;
    if (!job.gray) {
      dcChroma = makeCodeTable(tableFor(*job.huffman, 0x01), false);
      acChroma = makeCodeTable(tableFor(*job.huffman, 0x11), true);
    }
    std::array<Quantizer, 3> quantizers;
    const int componentCount = job.gray ? 1 : 3;
    for (int i = 0; i < componentCount; ++i) {
      const auto n = static_cast<std::size_t>(i);
      const auto tableId = static_cast<std::size_t>(comps[n].quantTable);
      if (tableId >= job.quantTables->size())
        throw std::logic_error("JpegEx: missing quantisation table");
      quantizers[n] = makeQuantizer((*job.quantTables)[tableId]);
      scan.coders[n].quant = &quantizers[n];
      scan.coders[n].dc = i == 0 ? &dcLum : &dcChroma;
      scan.coders[n].ac = i == 0 ? &acLum : &acChroma;
    }

    const int mcuWidth = 8 * scan.h1, mcuHeight = 8 * scan.v1;
    scan.mcusAcross = (scan.width + mcuWidth - 1) / mcuWidth;
    scan.mcusDown = (scan.height + mcuHeight - 1) / mcuHeight;
    scan.mcuCount = std::int64_t{scan.mcusAcross} * scan.mcusDown;
    scan.paddedWidth = static_cast<std::size_t>(scan.mcusAcross) * mcuWidth;
    scan.chromaWidth = static_cast<std::size_t>(scan.mcusAcross) * 8;
    scan.restartInterval = job.restartInterval;

    // One MCU row: the luminance strip (MCU height rows of the padded width) and the chroma
    // strips (8 rows of one sample per H1 pixels), 128 wherever no pixel lies.
    checkImageSize(static_cast<std::int64_t>(scan.paddedWidth), mcuHeight, 8, *job.limits);
    scan.lum.resize(scan.paddedWidth * static_cast<std::size_t>(mcuHeight));
    if (!job.gray) {
      scan.cb.resize(scan.chromaWidth * 8);
      scan.cr.resize(scan.chromaWidth * 8);
    }

    // The one choice of the instruction-set level for the whole image.
    auto codeRow = CodeMcuRowPortable;
#ifdef VEXO_ENCODER_X86
    if (ActiveLevel() == kAvx2) codeRow = CodeMcuRowAvx2;
    if (ActiveLevel() == kAvx512) codeRow = CodeMcuRowAvx512;
#endif
    const ConvertFn convert = BestConvert();
    for (int my = 0; my < scan.mcusDown; ++my) {
      FillStrips(scan, my, convert);
      codeRow(scan);
    }
    drainBits(scan.bits, scan.words.data(), writer);
    writer.WriteMarker(0xD9);
  } catch (const MissingCode&) {
    if (!job.lastAttempt) throw;
    try {
      drainBits(scan.bits, scan.words.data(), writer);
      writer.WriteMarker(0xD9);
    } catch (...) {
    }
    throw EJpegEx(kJpegInvalid);
  } catch (...) {
    // Close what was written so far; a second failure here must not hide the first.
    try {
      drainBits(scan.bits, scan.words.data(), writer);
      writer.WriteMarker(0xD9);
    } catch (...) {
    }
    throw;
  }
}

}  // namespace jpeg

void TJpegEx::setQuality(int quality) {
  quality_ = std::clamp(quality, 1, 100);
  buildQuantTables();
}

void TJpegEx::setSampling(int mode) {
  sampling_ = mode >= 0 && mode <= 2 ? mode : 0;
  samplingMode_ = sampling_;
  applySampling();
}

void TJpegEx::setGrayscale(bool gray) {
  grayscale_ = gray;
  applySampling();
}

void TJpegEx::setRestartInterval(int interval) {
  restartInterval_ = std::clamp(interval, 0, 65535);
}

void TJpegEx::buildQuantTables() {
  // factor = 50 / q below 50, else (100 - q) / 50; entries rounded half to even, then 1..255.
  const int q = std::max(quality_ & 0x7F, 1);
  const double factor = q < 50 ? 50.0 / q : (100 - q) / 50.0;
  QuantTable table;
  for (int k = 0; k < 64; ++k) {
    const double x = kBaseQuant[jpeg::kZigzag[k]] * factor;
    double r = static_cast<double>(static_cast<std::int64_t>(x));  // x >= 0: floor
    const double fraction = x - r;
    if (fraction > 0.5 || (fraction == 0.5 && static_cast<std::int64_t>(r) % 2 != 0)) r += 1;
    table.values[static_cast<std::size_t>(k)] =
        static_cast<std::int16_t>(std::clamp(static_cast<int>(r), 1, 255));
  }
  table.precision = 0;
  quantTables_.assign(2, table);
}

void TJpegEx::applySampling() {
  std::uint8_t h1 = 2, v1 = 2, hc = 1, vc = 1;
  if (sampling_ == 1) v1 = 1;
  if (sampling_ == 2) h1 = v1 = 1;
  if (grayscale_) {
    h1 = v1 = 1;
    hc = vc = 0;
  }
  components_[0].h = h1;
  components_[0].v = v1;
  components_[0].quantTable = 0;
  for (std::size_t i = 1; i < 3; ++i) {
    components_[i].h = hc;
    components_[i].v = vc;
    components_[i].quantTable = 1;
  }
}

void TJpegEx::Encode() {
  if (!bitmap_) return;
  progress(ProgressStage::Starting, 0, "初期化中");
  try {
    const Bitmap& bitmap = *bitmap_;
    if (bitmap.bits() != 24) throw ImageSizeError("unsupported pixel depth");
    if (bitmap.width() > kMaxJpegSide || bitmap.height() > kMaxJpegSide)
      throw ImageSizeError("image is too large for JPEG (65535 pixels at most)");

    // The encoder always writes the factors of the Sampling and Grayscale options (a loaded
    // file's factors are not reused) and the tables of the current Quality.
    applySampling();
    buildQuantTables();
    if (!huffman_) huffman_.emplace(true);

    jpeg::EncodeJob job;
    job.bitmap = &bitmap;
    job.components = &components_;
    job.quantTables = &quantTables_;
    job.gray = grayscale_;
    job.restartInterval = restartInterval_;
    job.densityUnit = DensityUnit;
    job.xDensity = XDensity;
    job.yDensity = YDensity;
    job.comment = &Comment;
    job.limits = &limits();
    int lastPercent = -1;
    job.report = [this, &lastPercent](int percent) {
      // Only forward: a second attempt (below) does not repeat percentages already reported.
      if (percent > lastPercent) {
        lastPercent = percent;
        progress(ProgressStage::Running, percent, "エンコード中");
      }
    };

    auto bind = [this] {
      const auto& h = *huffman_;
      components_[0].dcTable = h.Find(0x00);
      components_[0].acTable = h.Find(0x10);
      for (std::size_t i = 1; i < 3; ++i) {
        components_[i].dcTable = h.Find(0x01);
        components_[i].acTable = h.Find(0x11);
      }
    };

    data_.clear();
    bind();
    job.huffman = &*huffman_;
    try {
      jpeg::encodeImage(job, data_);
    } catch (const jpeg::MissingCode&) {
      // The image's own tables (those of a decoded file) lack a code these data need; such
      // a stream could not be written, so it is written with the standard tables instead.
      huffman_.emplace(true);
      bind();
      job.huffman = &*huffman_;
      data_.clear();
      job.lastAttempt = true;
      jpeg::encodeImage(job, data_);
    }
    width_ = bitmap.width();
    height_ = bitmap.height();
  } catch (...) {
    progress(ProgressStage::Ending, 100, "");
    throw;
  }
  progress(ProgressStage::Ending, 100, "");
}

}  // namespace vexo
