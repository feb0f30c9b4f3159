// TPNGObject: a PNG image held as an ordered list of chunk objects, with the pixel store that
// its header chunk owns. It reads PNG files (every colour type and depth, Adam7, tRNS, gAMA) and
// writes them streaming over zlib with a choice of row filters.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bitmap.h"
#include "core/graphic.h"

namespace vexo {

// Why a PNG image could not be read, built or changed; PngErrorText gives the message.
enum class PngErrc {
  kInvalidFileHeader,
  kUnexpectedEnd,
  kIHDRNotFirst,
  kUnknownCriticalChunk,
  kInvalidCRC,
  kInvalidIHDR,
  kSizeExceeds,
  kUnknownCompression,
  kUnknownInterlace,
  kInvalidPalette,
  kMissingMultipleIDAT,
  kZLIBError,
  kNoImageData,
  kInvalidSpec,
  kCannotChangeTransparent,
  kHeaderNotPresent,
  kExistentCriticalChunk,
  kInvalidImage,
  kNoSuchPaletteEntry,
};
inline constexpr int kPngErrcCount = static_cast<int>(PngErrc::kNoSuchPaletteEntry) + 1;

std::string_view PngErrorText(PngErrc code);

// The base of the PNG exceptions. The chunk-list refusals and the palette lookup raise it
// directly; every other failure raises the class of its code (EPngErrorOf<code>).
class EPngError : public Error {
 public:
  explicit EPngError(PngErrc code, std::string_view detail = {});
  PngErrc code() const { return code_; }

 private:
  PngErrc code_;
};

template <PngErrc Code>
class EPngErrorOf : public EPngError {
 public:
  explicit EPngErrorOf(std::string_view detail = {}) : EPngError(Code, detail) {}
};

using EPNGInvalidFileHeader = EPngErrorOf<PngErrc::kInvalidFileHeader>;
using EPngUnexpectedEnd = EPngErrorOf<PngErrc::kUnexpectedEnd>;
using EPNGIHDRNotFirst = EPngErrorOf<PngErrc::kIHDRNotFirst>;
using EPNGUnknownCriticalChunk = EPngErrorOf<PngErrc::kUnknownCriticalChunk>;
using EPngInvalidCRC = EPngErrorOf<PngErrc::kInvalidCRC>;
using EPngInvalidIHDR = EPngErrorOf<PngErrc::kInvalidIHDR>;
using EPNGSizeExceeds = EPngErrorOf<PngErrc::kSizeExceeds>;
using EPNGUnknownCompression = EPngErrorOf<PngErrc::kUnknownCompression>;
using EPNGUnknownInterlace = EPngErrorOf<PngErrc::kUnknownInterlace>;
using EPNGInvalidPalette = EPngErrorOf<PngErrc::kInvalidPalette>;
using EPNGMissingMultipleIDAT = EPngErrorOf<PngErrc::kMissingMultipleIDAT>;
// Its message ends with the description of the zlib status, such as "data error (-3)".
using EPNGZLIBError = EPngErrorOf<PngErrc::kZLIBError>;
using EPNGNoImageData = EPngErrorOf<PngErrc::kNoImageData>;
using EPNGInvalidSpec = EPngErrorOf<PngErrc::kInvalidSpec>;
using EPNGCannotChangeTransparent = EPngErrorOf<PngErrc::kCannotChangeTransparent>;
using EPNGHeaderNotPresent = EPngErrorOf<PngErrc::kHeaderNotPresent>;

// Throws the exception class of code.
[[noreturn]] void RaisePngError(PngErrc code, std::string_view detail = {});

// The description of a zlib status code in EPNGZLIBError's message.
std::string_view ZlibStatusText(int status);

// The PNG CRC-32 of bytes, continuing from crc (0 to start).
std::uint32_t PngCrc(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// Row filter types, and the bits that name them in a filter set.
enum class PngFilter : std::uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };
using PngFilterSet = std::uint8_t;
constexpr PngFilterSet FilterBit(PngFilter f) {
  return PngFilterSet(1u << unsigned(f));
}
inline constexpr PngFilterSet kAllFilters = 0x1F;

enum class PngInterlace { None, Adam7 };

// Colour types.
inline constexpr int kColorGrayscale = 0, kColorRGB = 2, kColorPalette = 3,
                     kColorGrayscaleAlpha = 4, kColorRGBAlpha = 6;

// Bytes of one row of width pixels of a colour type and bit depth, and the filter distance
// (bytes of one pixel, at least 1).
std::uint64_t PngRowBytes(int colorType, int bitDepth, std::uint64_t width);
int PngPixelBytes(int colorType, int bitDepth);

class TPNGObject;

// A chunk: its four-letter type and data. Plain TChunk objects hold the chunks that no class is
// registered for; the classes below hold what their chunk means.
class TChunk {
 public:
  explicit TChunk(std::string_view type);
  virtual ~TChunk() = default;
  TChunk(const TChunk&) = default;
  TChunk& operator=(const TChunk&) = default;

  std::string_view Name() const { return {type_.data(), 4}; }
  // The data as read from the file (kept for writing back chunks that are not rebuilt).
  std::vector<std::uint8_t> data;

  virtual std::unique_ptr<TChunk> Clone() const { return std::make_unique<TChunk>(*this); }

 private:
  std::array<char, 4> type_;
};

// Header fields and the pixel store.
//
// The store is a bottom-up Bitmap of 1, 4 or 8 bits per pixel with the colour table as its
// palette for colour types 0, 3 and 4 (2-bit samples are stored as 4 bits, 16-bit gray as the
// high byte), and of 24 bits (blue, green, red) for types 2 and 6. Types 4 and 6 keep one alpha
// byte per pixel, top row first; 16-bit images keep the low bytes of their samples in a second
// buffer laid out like the store's pixels.
class TChunkIHDR : public TChunk {
 public:
  TChunkIHDR() : TChunk("IHDR") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkIHDR>(*this); }

  std::uint32_t Width = 0, Height = 0;
  std::uint8_t BitDepth = 0, ColorType = 0, CompressionMethod = 0, FilterMethod = 0,
               InterlaceMethod = 0;

  Bitmap Store;
  std::vector<std::uint8_t> Alpha;
  std::vector<std::uint8_t> Low;

  // Bits per pixel of the store.
  int StoreBits() const;
  // Allocates the store for the header fields, cleared to 0 (the gray ramp or halftone palette
  // for the indexed types), after checking it against the memory limit.
  void PrepareStore(const DecodeLimits& limits, const std::array<std::uint8_t, 256>& gamma);
};

class TChunkPLTE : public TChunk {
 public:
  TChunkPLTE() : TChunk("PLTE") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkPLTE>(*this); }
  // Entries written; 0 means as many as the store's palette holds.
  int Count = 0;
};

class TChunktRNS : public TChunk {
 public:
  TChunktRNS() : TChunk("tRNS") { Values.fill(255); }
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunktRNS>(*this); }
  std::array<std::uint8_t, 256> Values{};
  std::size_t Size = 0;   // bytes of Values that the chunk holds
  bool KeyColor = false;  // a single transparent colour rather than alpha per entry
};

class TChunkIDAT : public TChunk {
 public:
  TChunkIDAT() : TChunk("IDAT") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkIDAT>(*this); }
};

class TChunkIEND : public TChunk {
 public:
  TChunkIEND() : TChunk("IEND") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkIEND>(*this); }
};

class TChunktEXt : public TChunk {
 public:
  TChunktEXt() : TChunk("tEXt") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunktEXt>(*this); }
  std::string Keyword, Text;

 protected:
  explicit TChunktEXt(std::string_view type) : TChunk(type) {}
};

class TChunkzTXt : public TChunktEXt {
 public:
  TChunkzTXt() : TChunktEXt("zTXt") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkzTXt>(*this); }
};

// Text in UTF-8, compressed: what AddCompressedText writes for text that is not plain ASCII,
// since zTXt text is Latin-1 to every other reader.
class TChunkiTXt : public TChunktEXt {
 public:
  TChunkiTXt() : TChunktEXt("iTXt") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkiTXt>(*this); }
};

class TChunkgAMA : public TChunk {
 public:
  TChunkgAMA() : TChunk("gAMA") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkgAMA>(*this); }
  std::uint32_t Gamma = 0;  // hundred-thousandths
};

class TChunkpHYs : public TChunk {
 public:
  TChunkpHYs() : TChunk("pHYs") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunkpHYs>(*this); }
  std::uint32_t PPUnitX = 0, PPUnitY = 0;
  std::uint8_t UnitType = 0;
};

class TChunktIME : public TChunk {
 public:
  TChunktIME() : TChunk("tIME") {}
  std::unique_ptr<TChunk> Clone() const override { return std::make_unique<TChunktIME>(*this); }
  std::uint16_t Year = 0;
  std::uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

// The owned, ordered chunks of an image. Add keeps PNG order: IHDR first, IEND last, PLTE, gAMA
// and pHYs right after IHDR, tRNS after PLTE (or before the IDAT, or after IHDR), every other
// chunk right before IEND.
class TPNGList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TChunk& Item(int i) const { return *items_.at(static_cast<std::size_t>(i)); }
  // The first chunk of that type, or null.
  TChunk* Find(std::string_view type) const;
  template <class T>
  T* Find() const {
    for (const auto& c : items_)
      if (auto* t = dynamic_cast<T*>(c.get())) return t;
    return nullptr;
  }

  // Inserts a chunk at its PNG place. Critical chunks (IHDR, PLTE, IDAT, IEND) only while
  // allowCritical is set, a second gAMA, tRNS or pHYs never ("existent critical chunk"); any chunk
  // into a list without IHDR and IEND is refused ("invalid image").
  TChunk& Add(std::unique_ptr<TChunk> chunk, bool allowCritical = false);
  // Appends at the end, without the rules: the reader keeps file order.
  TChunk& Append(std::unique_ptr<TChunk> chunk);
  void Remove(const TChunk& chunk);
  void Clear() { items_.clear(); }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<TChunk>> items_;
};

class TPNGObject : public Graphic {
 public:
  TPNGObject();
  TPNGObject(const TPNGObject& other);
  TPNGObject& operator=(const TPNGObject& other);
  TPNGObject(TPNGObject&&) noexcept = default;
  TPNGObject& operator=(TPNGObject&&) noexcept = default;
  ~TPNGObject() override;

  // Graphic. Loading reads the whole file into the chunk list and the pixel store; a failure
  // raises the class of its code (the image then holds what was read).
  void loadFromMemory(std::span<const std::uint8_t> data) override;
  std::vector<std::uint8_t> saveToMemory() const override;
  // Streams the file through an atomic file.
  void saveToFile(const std::string& path) const override;
  // Writes the file to sink, one call per chunk (IDAT chunks as they fill).
  void SaveTo(const std::function<void(std::span<const std::uint8_t>)>& sink) const;
  int width() const override;
  int height() const override;
  // Draws at (x, y) onto a 24-bit target: a key colour leaves the target where it matches, alpha
  // is blended as (source × a + (255 − a) × target + 255) >> 8.
  void draw(Bitmap& target, int x, int y) const override;
  void assign(const Bitmap& bitmap) override { AssignBitmap(bitmap); }
  // The store itself when the image is opaque 8-bit RGB.
  std::optional<Bitmap> releaseBitmap24() override;

  // A blank image of a colour type and bit depth, cleared to 0: IHDR, PLTE (palette images,
  // 2^depth entries), IDAT, IEND. EPNGInvalidSpec for combinations PNG does not define.
  void InitBlank(int colorType, int bitDepth, int width, int height);
  // Replaces the image by a bitmap: 1, 4 and 8 bits as palette images of that depth with a
  // 2^bits-entry PLTE, deeper bitmaps as 8-bit RGB; a transparent bitmap gets its tRNS. An empty
  // bitmap clears the image.
  void AssignBitmap(const Bitmap& bitmap);
  void AssignBitmap(Bitmap&& bitmap);
  void Clear();

  // Adds a zTXt chunk; text with bytes beyond ASCII (UTF-8) goes into a compressed iTXt.
  void AddCompressedText(std::string_view keyword, std::string_view text);
  // Makes colour (automatic: the bottom-left pixel) the transparent key colour: for gray images
  // its gray level, for RGB the colour, for palette images the first entry of that colour (no
  // tRNS when none has it). EPNGCannotChangeTransparent on images with an alpha channel.
  void SetTransparency(ColorValue color);
  // An 8-bit grayscale image of the same size and writer parameters: each pixel the nearest
  // level of the colour drawn (the rounded mean of red, green and blue); pixels of a key colour,
  // or transparent ones, stay 0.
  TPNGObject GrayscaleCopy() const;
  // The image as a Bitmap: 1 bit for depth 1, 4 bits for 2 and 4, 8 bits for 8-bit palettes, 24
  // bits otherwise and whenever there is alpha (drawn over white). A key colour marks the bitmap
  // transparent with that colour.
  Bitmap ToBitmap() const;
  // The colour of a palette entry; "There is no such palette entry." past the palette.
  PaletteEntry PaletteColor(int index) const;

  // Writer parameters.
  int DeflateLevel() const { return deflateLevel_; }
  void setDeflateLevel(int level);  // clamped to 0..9
  PngFilterSet RowFilters = FilterBit(PngFilter::Sub);
  PngInterlace InterlaceMode = PngInterlace::None;
  std::size_t MaxIdatData() const { return maxIdatData_; }
  void setMaxIdatData(std::size_t size);  // below 65535 stores 65535

  const TPNGList& Chunks() const { return chunks_; }
  TPNGList& Chunks() { return chunks_; }
  // The header, or EPNGHeaderNotPresent.
  TChunkIHDR& Header();
  const TChunkIHDR& Header() const;
  // The reading and writing gamma tables (identity unless a gAMA chunk was read).
  const std::array<std::uint8_t, 256>& GammaTable() const { return gamma_; }
  const std::array<std::uint8_t, 256>& InverseGammaTable() const { return inverseGamma_; }

  // The transparent key colour (0x00BBGGRR), when the image has one.
  std::optional<std::uint32_t> TransparentColor() const;

 private:
  friend class PngReader;
  friend class PngWriter;

  void resetGamma();
  void setGamma(std::uint32_t gamma);
  void assignStore(Bitmap store, bool transparent, ColorValue transparentColor);

  TPNGList chunks_;
  std::array<std::uint8_t, 256> gamma_{}, inverseGamma_{};
  int deflateLevel_ = 7;
  std::size_t maxIdatData_ = 65535;
};

}  // namespace vexo
