// TExifInfo: carries the Exif block of a source JPEG into the JPEG that a conversion writes. The
// block is read into two collections of entries (the main image: IFD0 with its Exif, GPS and
// interoperability directories; the thumbnail: IFD1 with its own), and written again as a new
// APP1 segment behind SOI, in the source's byte order, optionally with a new thumbnail made from
// the output. Values are carried as read; only the offsets that tie the directories together are
// recomputed, and the Orientation tag follows the conversion's own edits.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace vexo {

// Error codes of TExifInfo. The codes -3, -4, -6, -7 and -8 belong to operations this program
// does not have; their messages are kept so that every code has its text.
enum ExifErrorCode : int {
  kExifFileNotFound = -1,
  kExifNotExif = -2,
  kExifUnknownUserComment = -3,
  kExifNotAscii = -4,
  kExifInvalidStream = -5,
  kExifInvalidIndex = -6,
  kExifTagNotFound = -7,
  kExifUnknownDate = -8,
};

// The text of an error code ("不明なエラーです" for codes outside the table).
std::string_view ExifErrorMessage(int code);

// "TExifInfo: " and the text of the code. The writer's refusal of data that is not a JPEG
// carries code 0 and the text "有効な画像ファイルではありません".
class EExifError : public Error {
 public:
  explicit EExifError(int code);
  static EExifError NotAnImage();
  int code() const { return code_; }

 private:
  EExifError(int code, std::string_view text);
  int code_;
};

struct TExifRational {
  std::int64_t numerator = 0, denominator = 0;  // 32-bit values, signed or unsigned by type
};

// The directory an entry belongs to.
enum class ExifDirectory : std::uint8_t { kImage = 0, kExif = 1, kGps = 2, kInterop = 3 };

inline constexpr std::uint16_t kTagExifPointer = 0x8769;
inline constexpr std::uint16_t kTagGpsPointer = 0x8825;
inline constexpr std::uint16_t kTagInteropPointer = 0xA005;
inline constexpr std::uint16_t kTagThumbnailOffset = 0x0201;  // JPEG interchange format
inline constexpr std::uint16_t kTagThumbnailLength = 0x0202;  // its length
inline constexpr std::uint16_t kTagOrientation = 0x0112;

// TIFF types 1 to 12.
enum ExifType : std::uint8_t {
  kExifByte = 1,
  kExifAscii = 2,
  kExifShort = 3,
  kExifLong = 4,
  kExifRational = 5,
  kExifSByte = 6,
  kExifUndefined = 7,
  kExifSShort = 8,
  kExifSLong = 9,
  kExifSRational = 10,
  kExifFloat = 11,
  kExifDouble = 12,
};

// One directory entry. Its values are held as the bytes they take in the block, in the block's
// byte order (which is also the order they are written in); an ASCII value holds its text up to
// the first NUL.
struct TEntryItem {
  std::uint16_t tag = 0;
  std::uint8_t type = 0;
  std::uint32_t count = 0;  // as read; the count written is recomputed from the values
  ExifDirectory kind = ExifDirectory::kImage;
  std::uint32_t valueOffset = 0;  // the value field as read: an offset when the data pass 4 bytes
  std::uint32_t entryOffset = 0, dataOffset = 0;  // set by the layout of a write
  bool bigEndian = false;
  std::vector<std::uint8_t> data;

  // Bytes the values take in the block: ASCII the text and its NUL, the others their data.
  std::uint32_t dataSize() const;
  // The count written: ASCII text length + 1, UNDEFINED the block size, else the values held.
  std::uint32_t writtenCount() const;
  // Bytes in its directory: the 12-byte entry, plus the data when they pass 4 bytes.
  std::uint32_t size() const { return 12 + (dataSize() > 4 ? dataSize() : 0); }

  // Value i of an integer type (BYTE, SHORT, LONG and their signed forms).
  std::int64_t integer(std::size_t i) const;
  TExifRational rational(std::size_t i) const;  // RATIONAL, SRATIONAL
  double real(std::size_t i) const;             // FLOAT, DOUBLE
  std::string_view text() const;                // ASCII
  // Makes the entry one LONG value (the offsets a write fills in).
  void setLong(std::uint32_t value);
  // Replaces value i of a SHORT entry.
  void setShort(std::size_t i, std::uint16_t value);
};

// An ordered collection of entries of one image (main or thumbnail), with the TIFF base its
// offsets count from.
class TEntryItems {
 public:
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  TEntryItem& operator[](std::size_t i) { return items_[i]; }
  const TEntryItem& operator[](std::size_t i) const { return items_[i]; }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

  void add(TEntryItem item) { items_.push_back(std::move(item)); }
  void insert(std::size_t at, TEntryItem item) {
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
  }
  void clear() { items_.clear(); }
  // The first entry with the tag in the directory kind, or nullptr.
  TEntryItem* find(std::uint16_t tag, ExifDirectory kind);
  const TEntryItem* find(std::uint16_t tag, ExifDirectory kind) const;
  void remove(std::uint16_t tag, ExifDirectory kind);  // every such entry
  bool has(ExifDirectory kind) const;                  // any entry of the kind

  // Bytes the collection takes in a block: for each kind with entries, 6 + its entries' sizes.
  std::uint64_t blockSize() const;

  std::int64_t TiffBase = 0;

 private:
  std::vector<TEntryItem> items_;
};

// One of the eight orientations of an image, as a transform of its pixels (Exif's Orientation
// values: 1 as stored, 2 mirrored left to right, 3 half turn, 4 flipped top to bottom,
// 5 transposed, 6 quarter turn clockwise, 7 transversed, 8 quarter turn anticlockwise). The value
// of the tag names the transform a viewer applies to the stored pixels.
class Orientation {
 public:
  constexpr Orientation() = default;  // as stored
  // Exif value 1 to 8; any other value gives the identity.
  static Orientation FromExif(int value);
  int exif() const;
  // This transform followed by next.
  Orientation then(Orientation next) const;
  Orientation inverse() const;
  bool operator==(const Orientation&) const = default;

 private:
  constexpr Orientation(int a, int b, int c, int d) : m_{{a, b, c, d}} {}
  std::array<int, 4> m_{{1, 0, 0, 1}};  // (x, y) -> (m0 x + m1 y, m2 x + m3 y), y downwards
};

class TExifInfo {
 public:
  // Called for each error of a read with (sender, code, raise); clearing raise suppresses it.
  std::function<void(TExifInfo&, int, bool&)> OnError;
  // Called after the file name changed and after a successful read.
  std::function<void(TExifInfo&)> OnUpdate;
  // Called when a write leaves the block out because it cannot fit in an APP1 segment.
  std::function<void(std::string_view)> OnWarning;

  // Whether the file is a JPEG whose header segments (up to the first scan) hold an APP1 that
  // starts with "Exif\0\0". Never raises.
  static bool HasExif(const std::string& fileName);

  const std::string& ImageFileName() const { return fileName_; }
  // Stores the name and empties both collections; a non-empty name is then read: a missing file
  // gives -1, no Exif APP1 -2, a block that cannot be read -5. A directory chain that loops or
  // leaves the block ends the read without an error.
  void setImageFileName(const std::string& name);
  // The same for a JPEG in memory; the name is left empty.
  void readFrom(std::span<const std::uint8_t> jpeg);

  std::uint16_t ByteOrder() const { return bigEndian_ ? 0x4D4D : 0x4949; }
  std::int64_t App1Position() const { return app1_; }  // offset of FF E1 in the source, or -1
  TEntryItems& Main() { return main_; }
  TEntryItems& Thumbnail() { return thumbnail_; }
  const TEntryItems& Main() const { return main_; }
  const TEntryItems& Thumbnail() const { return thumbnail_; }

  // Adapts IFD0's Orientation to an edit of the pixels, so that a viewer shows the edit of what
  // it showed before: the value becomes edit · orientation · edit⁻¹.
  void ApplyEdit(Orientation edit);

  // The JPEG with the held block as an APP1 segment behind SOI, replacing an Exif APP1 that it
  // holds; with thumbnail, the block gets a new thumbnail of at most 160 × 120 pixels made from
  // the JPEG. A thumbnail that cannot be made, or that would not fit in the segment, is left
  // out; a block that cannot fit even without it is left out with a warning; with nothing held
  // the JPEG comes back unchanged. Data that does not start with SOI raises NotAnImage.
  std::vector<std::uint8_t> WriteInto(std::span<const std::uint8_t> jpeg, bool thumbnail) const;
  // The APP1 segment (marker included) with the thumbnail bytes, if any: empty when nothing is
  // held, nullopt when it would pass 65535 bytes.
  std::optional<std::vector<std::uint8_t>> Segment(std::span<const std::uint8_t> thumbnail) const;

 private:
  void clear();
  void error(int code);
  void read(std::span<const std::uint8_t> tiff);

  std::string fileName_;
  std::int64_t app1_ = -1;
  bool bigEndian_ = false;
  TEntryItems main_, thumbnail_;
};

// A JPEG thumbnail of the JPEG data, at most 160 × 120 and never enlarged: decoded through
// libjpeg (at the smallest DCT scale that still covers the size), stretched, and compressed
// through libjpeg at quality 90. Empty when it cannot be made.
std::vector<std::uint8_t> MakeExifThumbnail(std::span<const std::uint8_t> jpeg);

// Width and height of the thumbnail of an image of width × height.
std::array<int, 2> ExifThumbnailSize(int width, int height);

}  // namespace vexo
