// Writing the held collections as a new APP1 segment, and putting it into a JPEG.
#include <algorithm>
#include <array>
#include <optional>

#include "core/stream.h"
#include "exif/exif_internal.h"
#include "input/file_stream.h"

namespace vexo {
namespace {

constexpr std::uint64_t kMaxSegmentLength = 65535;

constexpr std::uint16_t kTagCompression = 0x0103;
constexpr std::uint16_t kTagStripOffsets = 0x0111;
// The tags of IFD1 that describe a thumbnail stored as uncompressed strips: its size, samples,
// colour model and the strips themselves.
constexpr std::uint16_t kStripImageTags[] = {0x0100, 0x0101, 0x0102, 0x0106,
                                             0x0111, 0x0115, 0x0116, 0x0117};

int kindIndex(ExifDirectory kind) {
  return static_cast<int>(kind);
}

// The directory each pointer entry leads to.
struct Pointer {
  std::uint16_t tag;
  ExifDirectory in, to;
};
// The interoperability pointer first: dropping it may leave the Exif directory empty.
constexpr std::array<Pointer, 3> kPointers = {{
    {kTagInteropPointer, ExifDirectory::kExif, ExifDirectory::kInterop},
    {kTagExifPointer, ExifDirectory::kImage, ExifDirectory::kExif},
    {kTagGpsPointer, ExifDirectory::kImage, ExifDirectory::kGps},
}};

// A pointer to a directory that has no entries would point at nothing: it is dropped. The other
// pointers, and the thumbnail's offset, become one LONG each before the layout, so that their
// sizes are the ones written.
void preparePointers(TEntryItems& items) {
  for (const auto& p : kPointers) {
    if (!items.has(p.to)) items.remove(p.tag, p.in);
    for (auto& e : items)
      if (e.tag == p.tag && e.kind == p.in) e.setLong(0);
  }
  for (auto& e : items)
    if (e.tag == kTagThumbnailOffset && e.kind == ExifDirectory::kImage) e.setLong(0);
}

TEntryItem newLong(std::uint16_t tag, bool bigEndian, std::uint32_t value) {
  TEntryItem e;
  e.tag = tag;
  e.count = 1;
  e.bigEndian = bigEndian;
  e.setLong(value);
  return e;
}

// Adds an entry to IFD1 where it keeps the ascending tag order that TIFF asks for: in front of
// the first IFD1 entry with a greater tag, or at the end.
void insertInOrder(TEntryItems& items, TEntryItem entry) {
  std::size_t at = items.size();
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i].kind == ExifDirectory::kImage && items[i].tag > entry.tag) {
      at = i;
      break;
    }
  items.insert(at, std::move(entry));
}

// The thumbnail collection for a new JPEG thumbnail of length bytes: its length entry set or
// added, its offset entry added when missing. The entries of a source thumbnail stored as strips
// describe an image that is no longer there: they are dropped and the compression says JPEG.
TEntryItems thumbnailCollection(TEntryItems items, std::uint32_t length, bool bigEndian) {
  TEntryItem* compression = items.find(kTagCompression, ExifDirectory::kImage);
  if (compression && (compression->type != kExifShort || compression->data.size() < 2))
    compression = nullptr;
  if (items.find(kTagStripOffsets, ExifDirectory::kImage) ||
      (compression && compression->integer(0) != 6)) {
    if (compression) compression->setShort(0, 6);
    for (std::uint16_t tag : kStripImageTags) items.remove(tag, ExifDirectory::kImage);
  }
  if (TEntryItem* e = items.find(kTagThumbnailLength, ExifDirectory::kImage))
    e->setLong(length);
  else
    insertInOrder(items, newLong(kTagThumbnailLength, bigEndian, length));
  if (!items.find(kTagThumbnailOffset, ExifDirectory::kImage))
    insertInOrder(items, newLong(kTagThumbnailOffset, bigEndian, 0));
  preparePointers(items);
  return items;
}

// Offsets of a collection laid out from start (relative to the TIFF base).
struct Layout {
  std::array<std::uint32_t, 4> directory{};
  std::uint32_t end = 0;  // end of the last data area: where a following directory begins
};

// Gives every entry its entry offset and, when its data pass 4 bytes, its data offset: the
// directories of kinds 0 to 3 in turn, each followed by its data. Then the pointers receive the
// offsets of their directories and the thumbnail's offset the end of the collection.
Layout layOut(TEntryItems& items, std::uint32_t start) {
  Layout layout;
  std::uint32_t o = start + 2;
  for (int k = 0; k < 4; ++k) {
    std::uint32_t n = 0;
    for (const auto& e : items) n += kindIndex(e.kind) == k;
    if (n == 0) continue;
    layout.directory[static_cast<std::size_t>(k)] = o - 2;
    std::uint32_t data = o + 12 * n + 4;
    for (auto& e : items) {
      if (kindIndex(e.kind) != k) continue;
      e.entryOffset = o;
      o += 12;
      e.dataOffset = e.dataSize() > 4 ? data : 0;
      if (e.dataSize() > 4) data += e.dataSize();
    }
    o = data + 2;
  }
  layout.end = o - 2;
  for (auto& e : items) {
    if (e.kind == ExifDirectory::kImage && e.tag == kTagThumbnailOffset) e.setLong(layout.end);
    for (const auto& p : kPointers)
      if (e.tag == p.tag && e.kind == p.in)
        e.setLong(layout.directory[static_cast<std::size_t>(kindIndex(p.to))]);
  }
  return layout;
}

void writeValue(Stream& out, const TEntryItem& e) {
  out.write(e.data);
  if (e.type == kExifAscii) out.write(std::array<std::uint8_t, 1>{0});
}

// Writes the directories of a laid-out collection; IFD0 points on to next (0: none).
void writeCollection(Stream& out, const TEntryItems& items, std::uint32_t next,
                     std::uint16_t marker) {
  static constexpr std::array<std::uint8_t, 4> kZeros{};
  for (int k = 0; k < 4; ++k) {
    std::uint16_t n = 0;
    for (const auto& e : items) n += kindIndex(e.kind) == k;
    if (n == 0) continue;
    WriteWord(out, n, marker);
    for (const auto& e : items) {
      if (kindIndex(e.kind) != k) continue;
      WriteWord(out, e.tag, marker);
      WriteWord(out, e.type, marker);
      WriteLong(out, e.writtenCount(), marker);
      if (e.dataSize() > 4) {
        WriteLong(out, e.dataOffset, marker);
      } else {
        writeValue(out, e);
        out.write(std::span(kZeros).first(4 - e.dataSize()));
      }
    }
    WriteLong(out, k == 0 ? next : 0, marker);
    for (const auto& e : items)
      if (kindIndex(e.kind) == k && e.dataSize() > 4) writeValue(out, e);
  }
}

}  // namespace

std::optional<std::vector<std::uint8_t>> TExifInfo::Segment(
    std::span<const std::uint8_t> thumbnail) const {
  TEntryItems image = main_;
  preparePointers(image);
  if (image.empty()) return std::vector<std::uint8_t>();
  const bool withThumbnail = !thumbnail.empty();
  TEntryItems thumb;
  if (withThumbnail) {
    if (thumbnail.size() > kMaxSegmentLength) return std::nullopt;
    thumb =
        thumbnailCollection(thumbnail_, static_cast<std::uint32_t>(thumbnail.size()), bigEndian_);
  }
  const std::uint64_t length =
      16 + image.blockSize() + (withThumbnail ? thumb.blockSize() + thumbnail.size() : 0);
  if (length > kMaxSegmentLength) return std::nullopt;

  const std::uint16_t marker = ByteOrder();
  MemoryStream out;
  out.write(std::array<std::uint8_t, 2>{0xFF, 0xE1});
  WriteWord(out, static_cast<std::uint16_t>(length), kMotorolaOrder);
  out.write(exif::kExifId);
  image.TiffBase = thumb.TiffBase = out.position();
  WriteWord(out, marker, kMotorolaOrder);  // "II" or "MM": the same bytes either way
  WriteWord(out, 42, marker);
  WriteLong(out, 8, marker);
  const Layout layout = layOut(image, 8);
  writeCollection(out, image, withThumbnail ? layout.end : 0, marker);
  if (withThumbnail) {
    layOut(thumb, layout.end);
    writeCollection(out, thumb, 0, marker);
    out.write(thumbnail);
  }
  return out.takeBytes();
}

std::vector<std::uint8_t> TExifInfo::WriteInto(std::span<const std::uint8_t> jpeg,
                                               bool thumbnail) const {
  const exif::SegmentSearch old = exif::FindExifSegment(jpeg);
  // An old block is replaced when it lies whole in the data.
  const bool replacing = old.result == exif::SegmentSearch::kFound && old.complete;
  if (!replacing && (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8))
    throw EExifError::NotAnImage();

  std::optional<std::vector<std::uint8_t>> segment;
  if (!main_.empty()) {
    const std::vector<std::uint8_t> thumb =
        thumbnail ? MakeExifThumbnail(jpeg) : std::vector<std::uint8_t>();
    segment = Segment(thumb);
    if (!segment && !thumb.empty()) segment = Segment({});
    if (!segment && OnWarning) OnWarning("Exif情報が65535バイトを超えるため保存されませんでした");
  }

  // SOI, the segments before an old Exif APP1, the new one, and the rest without the old one.
  const std::size_t oldBegin = replacing ? old.segments.front().position : 2;
  const std::size_t oldEnd =
      replacing ? old.segments.back().position + 2 + old.segments.back().length : 2;
  const auto head = jpeg.first(oldBegin);
  const auto rest = jpeg.subspan(oldEnd);
  std::vector<std::uint8_t> out;
  out.reserve(jpeg.size() + (segment ? segment->size() : 0));
  out.insert(out.end(), head.begin(), head.end());
  if (segment) out.insert(out.end(), segment->begin(), segment->end());
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

}  // namespace vexo
