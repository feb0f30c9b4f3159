// The baseline decoder of TJpegEx: the planes of one sequential frame, decoded scan by scan
// (Huffman decoding, dequantisation, the 8 × 8 inverse DCT, upsampling by replication), and
// their colour conversion to a Bitmap. TJpegEx walks the header segments and hands the decoder
// the frame when it has read SOF0 and each scan when it has read SOS.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/bitmap.h"
#include "core/limits.h"
#include "jpeg/huffman.h"
#include "jpeg/jpeg_ex.h"

namespace vexo::jpeg {

inline constexpr std::string_view kInitialising = "初期化中";
inline constexpr std::string_view kParsing = "解析中";
inline constexpr std::string_view kDecoding = "デコード中";

// Calls the progress handler for the start and the end, and in between only when the
// percentage of the data passed changes.
class ProgressReporter {
 public:
  ProgressReporter(const std::function<void(ProgressStage, int, std::string_view)>& handler,
                   std::size_t size)
      : handler_(handler), size_(std::max<std::size_t>(size, 1)) {
    if (handler_) handler_(ProgressStage::Starting, 0, kInitialising);
  }
  ~ProgressReporter() {
    if (handler_) handler_(ProgressStage::Ending, 100, "");
  }
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  void running(std::size_t position, std::string_view message) {
    if (!handler_) return;
    const int percent = static_cast<int>(std::min<std::size_t>(position, size_) * 100 / size_);
    if (percent == last_) return;
    last_ = percent;
    handler_(ProgressStage::Running, percent, message);
  }

 private:
  const std::function<void(ProgressStage, int, std::string_view)>& handler_;
  std::size_t size_;
  int last_ = 0;
};

// The frame header as the walk read it.
struct FrameHeader {
  int width = 0, height = 0, components = 0;  // components 1 or 3
  const std::array<TJpegEx::Component, 3>* records = nullptr;
  std::array<int, 3> ids{};  // component identifiers, for telling RGB from YCbCr
  bool jfif = false;         // a JFIF APP0 was seen
  int adobeTransform = -1;   // of an Adobe APP14, -1 when none
};

// A scan header with the tables in force when it was read.
struct ScanHeader {
  int components = 0;
  std::array<int, 4> records{};  // component records, in the order of the header
  const std::array<TJpegEx::Component, 3>* componentRecords = nullptr;
  const THuffmanTables* huffman = nullptr;
  const std::vector<TJpegEx::QuantTable>* quantTables = nullptr;
  unsigned quantDefined = 0;  // bit n: table n was read from the data
  int restartInterval = 0;
};

// The working state of one decode of a baseline frame.
class BaselineDecoder {
 public:
  BaselineDecoder(std::span<const std::uint8_t> data, const DecodeLimits& limits,
                  ProgressReporter& progress)
      : data_(data), limits_(limits), progress_(progress) {}

  // A new frame: its planes, filled with 128.
  void setUpFrame(const FrameHeader& frame);
  // Decodes the scan whose data begin at start; returns the position of the marker behind it.
  std::size_t decodeScan(const ScanHeader& scan, std::size_t start);
  // The planes converted to a 24-bit Bitmap; only after a frame and at least one scan.
  Bitmap convert() const;

 private:
  struct Plane {
    int sx = 1, sy = 1;            // replication: plane cells per sample across and down
    int h = 1, v = 1;              // sampling factors
    int blocksX = 0, blocksY = 0;  // blocks of a non-interleaved scan
    std::uint8_t* base = nullptr;  // padded plane
    bool decoded = false;          // taken by a scan already
    const jpeg::THuffmanTable* dc = nullptr;
    const jpeg::THuffmanTable* ac = nullptr;
    std::array<int, 64> quant{};  // zigzag order
    int predictor = 0;
  };

  // Decodes the MCU with the given number; returns 0, or the code of a marker met inside it.
  int decodeMcu(jpeg::JpegBitReader& reader, std::span<Plane* const> scan, std::uint64_t mcu);
  int decodeBlock(jpeg::JpegBitReader& reader, Plane& p, int bx, int by);
  void store(const Plane& p, int bx, int by, bool dcOnly);
  int flatLevel(int dc);
  std::size_t nextMarker(std::size_t from) const;

  std::span<const std::uint8_t> data_;
  const DecodeLimits& limits_;
  ProgressReporter& progress_;

  int width_ = 0, height_ = 0, components_ = 0;
  int mcusX_ = 0, mcusY_ = 0;
  std::size_t paddedWidth_ = 0, paddedHeight_ = 0;
  std::vector<std::uint8_t> planes_;
  std::array<Plane, 3> plane_{};
  alignas(32) std::array<std::int32_t, 64> coefficients_{};
  alignas(32) std::array<std::uint8_t, 64> samples_{};
  // Sample level of a block whose only non-zero coefficient is the DC, by DC value: the
  // inverse DCT's own result, computed on first use (-2 not yet known, -1 not flat).
  std::vector<std::int16_t> flat_;
  bool rgb_ = false;
};

}  // namespace vexo::jpeg
