// TJpegEx: the program's own JPEG image class. It holds an image as compressed bytes, as a
// decoded 24-bit Bitmap, or both, and converts between them on demand: baseline sequential
// encoding and decoding of its own, progressive frames decoded through libjpeg.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byte_reader.h"
#include "core/graphic.h"
#include "core/stream.h"
#include "jpeg/huffman.h"
#include "jpeg/jpeg_error.h"

namespace vexo {

enum class ProgressStage { Starting, Running, Ending };

class TJpegEx : public Graphic {
 public:
  struct Component {
    std::uint8_t h = 0, v = 0;       // sampling factors; 0 × 0 takes no part
    int quantTable = 0;              // table identifier
    int dcTable = -1, acTable = -1;  // positions in huffmanTables(), -1 unbound
  };
  struct QuantTable {
    std::array<std::int16_t, 64> values{};  // zigzag order
    int precision = 0;                      // 0 8-bit entries, 1 16-bit entries
  };

  TJpegEx();

  // Graphic. Loading from a file or memory takes the whole data, which must start with FF D8 and
  // end with FF D9 ("JpegEx: オープンに失敗しました"), then walks the headers; the bitmap is
  // dropped.
  void loadFromMemory(std::span<const std::uint8_t> data) override;
  // Saving encodes first when there are no compressed data; neither bitmap nor data:
  // "JpegEx: イメージがありません".
  std::vector<std::uint8_t> saveToMemory() const override;
  int width() const override;
  int height() const override;
  bool empty() const override { return !bitmap_ && data_.empty(); }
  // Decodes when needed; with Grayscale set on an image that is not from a gray source, draws
  // the luminance rendition.
  void draw(Bitmap& target, int x, int y) const override;
  // A new 24-bit copy of the bitmap; the compressed data are dropped, gray source cleared.
  void assign(const Bitmap& bitmap) override;
  // The same, taking over a 24-bit bitmap without copying it.
  void assign(Bitmap&& bitmap);
  std::optional<Bitmap> releaseBitmap24() override;

  // One JPEG from the stream's position: FF D8, an APPn segment, segments by length up to SOS,
  // then the entropy-coded data up to FF D9 or the stream's end; the stream is left behind it.
  void loadFromStream(Stream& stream);
  void saveToStream(Stream& stream) const;

  // Resizes the bitmap; without one or with a value below 1: "JpegEx: サイズを変更できません".
  void setWidth(int width);
  void setHeight(int height);

  // Encoder options.
  int Quality() const { return quality_; }
  void setQuality(int quality);  // clamped to 1..100; rebuilds the quantisation tables
  int Sampling() const { return sampling_; }
  void setSampling(int mode);  // 0 2×2/1×1, 1 2×1/1×1, 2 all 1×1; others act as 0
  bool Grayscale() const { return grayscale_; }
  void setGrayscale(bool gray);
  int RestartInterval() const { return restartInterval_; }
  void setRestartInterval(int interval);  // 0..65535
  std::uint8_t DensityUnit = 0;
  std::uint16_t XDensity = 0, YDensity = 0;
  std::string Comment;

  // Encodes the bitmap into new compressed data (nothing without a bitmap).
  void Encode();
  // Decodes the compressed data into a new bitmap: "JpegEx: JPEGイメージがありません" without
  // data, "JpegEx: JPEGイメージが不正です" for damaged data, "JpegEx: 未対応の形式です" for
  // frames it cannot decode.
  void Decode();
  // Walks the header segments of the compressed data up to the first scan (or EOI).
  void WalkHeaders();

  // Progress of encoding and decoding: (stage, percent, message). Called when the percentage
  // changes, not for every block.
  std::function<void(ProgressStage, int, std::string_view)> OnProgress;

  // State, for inspection and tests.
  const std::vector<std::uint8_t>& compressedData() const { return data_; }
  // Hands over the compressed data; the image keeps only its bitmap.
  std::vector<std::uint8_t> takeCompressedData() { return std::exchange(data_, {}); }
  const Bitmap* bitmap() const { return bitmap_ ? &*bitmap_ : nullptr; }
  bool graySource() const { return graySource_; }
  int samplingMode() const { return samplingMode_; }
  const std::array<std::uint8_t, 3>& customFactors() const { return customFactors_; }
  const Component& component(int i) const { return components_.at(static_cast<std::size_t>(i)); }
  const std::vector<QuantTable>& quantTables() const { return quantTables_; }
  const std::optional<jpeg::THuffmanTables>& huffmanTables() const { return huffman_; }

 private:
  // What the header segment just read was.
  enum class Segment { kOther, kFrame, kProgressiveFrame, kScan, kEnd };

  void setBitmap(Bitmap bitmap);
  void buildQuantTables();
  void applySampling();

  // Header walk over data (this image's compressed data, or another image's when a const caller
  // decodes through a scratch object). beginWalk checks SOI and the APPn/COM marker behind it,
  // resets the fields the walk fills and returns the position of that marker; readSegment reads
  // the segment whose marker starts at pos into the fields and moves pos behind it. Damage
  // throws EJpegEx or ByteReader::Overrun.
  std::size_t beginWalk(std::span<const std::uint8_t> data);
  Segment readSegment(std::span<const std::uint8_t> data, std::size_t& pos);
  void walk(std::span<const std::uint8_t> data);
  void readFrameHeader(ByteReader body, bool progressive);
  void readScanHeader(ByteReader body);
  void readQuantTables(ByteReader body);
  void readHuffmanTables(std::span<const std::uint8_t> data, std::size_t begin, std::size_t end);

  // Decodes data into a new bitmap, walking its headers into this object's fields on the way.
  Bitmap decodeData(std::span<const std::uint8_t> data);
  Bitmap decodeProgressive(std::span<const std::uint8_t> data) const;
  void progress(ProgressStage stage, int percent, std::string_view message) const {
    if (OnProgress) OnProgress(stage, percent, message);
  }
  // Decodes into the (mutable) bitmap cache when there are data but no bitmap.
  void ensureDecoded() const;
  // The luminance-only rendition drawn for Grayscale() on an image not from a gray source.
  bool drawsGray() const { return grayscale_ && !graySource_; }

  std::vector<std::uint8_t> data_;
  mutable std::optional<Bitmap> bitmap_;
  int quality_ = 75;
  int sampling_ = 0;
  bool grayscale_ = false;
  bool graySource_ = false;
  int restartInterval_ = 0;
  int samplingMode_ = 0;
  std::array<std::uint8_t, 3> customFactors_{4, 1, 1};
  mutable int width_ = 0, height_ = 0;
  std::array<Component, 3> components_{};
  std::vector<QuantTable> quantTables_;
  std::optional<jpeg::THuffmanTables> huffman_;

  // Filled by the header walk for the decoder.
  int frameMarker_ = 0;      // 0xC0 or 0xC2 once a frame header was read, else 0
  int frameComponents_ = 0;  // 1 or 3
  // Frame identifier of each component record. In a three-component frame with identifiers 1,
  // 2 and 3 each identifier selects its record; any other frame (identifiers 0, 1, 2 or 'R',
  // 'G', 'B', ..., or one component) fills the records in the order of its header. -1: none.
  std::array<int, 3> componentIds_{-1, -1, -1};
  std::array<int, 4> scanRecords_{};  // records of the last scan header, in its order
  int scanComponents_ = 0;
  unsigned quantDefined_ = 0;  // bit n: table n was read from the data
  bool jfif_ = false;          // a JFIF APP0 was seen
  int adobeTransform_ = -1;    // colour transform of an Adobe APP14, -1 when none
};

// Width and height from the first SOF0 or SOF2 of JPEG data without decoding, or nullopt.
std::optional<std::pair<int, int>> ScanJpegSize(std::span<const std::uint8_t> data);

}  // namespace vexo
