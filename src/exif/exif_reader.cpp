// Finding the Exif APP1 of a JPEG and reading its TIFF structure into the two collections.
#include <algorithm>
#include <cstring>
#include <optional>

#include "core/byte_reader.h"
#include "exif/exif_internal.h"
#include "input/file_stream.h"

namespace vexo {
namespace exif {

namespace {

// The length of the Exif APP1 segment whose marker's FF is at pos, 0 when the bytes there are
// not one, -1 when the data end first.
std::int64_t exifSegmentAt(std::span<const std::uint8_t> data, std::size_t pos) {
  if (pos + 10 > data.size()) return -1;
  if (data[pos] != 0xFF || data[pos + 1] != 0xE1) return 0;
  const std::size_t length = std::size_t{data[pos + 2]} << 8 | data[pos + 3];
  if (length < 8 || std::memcmp(data.data() + pos + 4, kExifId, sizeof kExifId) != 0) return 0;
  return static_cast<std::int64_t>(length);
}

}  // namespace

SegmentSearch FindExifSegment(std::span<const std::uint8_t> data) {
  SegmentSearch search, more;
  more.result = SegmentSearch::kMore;
  if (data.size() < 2) return more;
  if (data[0] != 0xFF || data[1] != 0xD8) return search;
  std::size_t pos = 2;
  for (;;) {
    if (pos >= data.size()) return more;
    if (data[pos] != 0xFF) return search;  // not a marker: the header is over
    std::size_t m = pos + 1;
    while (m < data.size() && data[m] == 0xFF) ++m;  // fill bytes
    if (m >= data.size()) return more;
    const std::uint8_t marker = data[m];
    if (marker == 0xDA || marker == 0xD9 || marker == 0x00) return search;
    if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {  // no length
      pos = m + 1;
      continue;
    }
    if (m + 3 > data.size()) return more;
    const std::size_t length = std::size_t{data[m + 1]} << 8 | data[m + 2];
    if (length < 2) return search;
    if (marker == 0xE1) {
      const std::int64_t exif = exifSegmentAt(data, m - 1);
      if (exif < 0) return more;
      if (exif > 0) break;
    }
    pos = m + 1 + length;
  }
  // The first Exif segment begins at pos (behind any fill bytes); continuations follow it.
  search.result = SegmentSearch::kFound;
  while (pos + 1 < data.size() && data[pos + 1] == 0xFF) ++pos;
  std::int64_t length;
  while ((length = exifSegmentAt(data, pos)) > 0) {
    search.segments.push_back({pos, static_cast<std::size_t>(length)});
    pos += 2 + static_cast<std::size_t>(length);
  }
  search.complete = length == 0;
  return search;
}

std::vector<std::uint8_t> TiffData(std::span<const std::uint8_t> data, const SegmentSearch& found) {
  std::vector<std::uint8_t> tiff;
  for (const auto& s : found.segments) {
    const std::size_t begin = s.position + 4 + sizeof kExifId;
    const std::size_t end = std::min(data.size(), s.position + 2 + s.length);
    if (begin < end)
      tiff.insert(tiff.end(), data.begin() + static_cast<std::ptrdiff_t>(begin),
                  data.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return tiff;
}

namespace {

// The head of a file, read in growing pieces until the search has an answer.
struct FileHead {
  std::vector<std::uint8_t> bytes;
  SegmentSearch found;
};

std::optional<FileHead> readHead(const std::string& fileName) {
  TRkWideFileStream file(fileName, kOpenRead | kShareDenyWrite);
  FileHead head;
  const std::uint64_t limit = DecodeLimits::defaults().maxImageBytes;
  for (std::size_t want = 64 * 1024;; want *= 4) {
    if (want > limit) return std::nullopt;
    const std::size_t have = head.bytes.size();
    head.bytes.resize(want);
    const std::size_t got =
        file.read(std::span<std::uint8_t>(head.bytes).subspan(have, want - have));
    head.bytes.resize(have + got);
    const bool atEnd = have + got < want;
    head.found = FindExifSegment(head.bytes);
    switch (head.found.result) {
      case SegmentSearch::kFound:
        // In a cut file the block is read as far as it goes.
        if (head.found.complete || atEnd) return head;
        break;
      case SegmentSearch::kNone:
        return std::nullopt;
      case SegmentSearch::kMore:
        if (atEnd) return std::nullopt;
        break;
    }
  }
}

// A block whose entries would hold more than the reader allows.
struct BadBlock {};

class BlockReader {
 public:
  BlockReader(std::span<const std::uint8_t> tiff, bool bigEndian)
      : tiff_(tiff), bigEndian_(bigEndian) {}

  // Reads the directory at offset into items as kind; returns the offset of the next directory,
  // 0 when there is none or the chain ends (an offset already read, outside the block, or a
  // directory cut off by the end of the block).
  std::uint32_t directory(TEntryItems& items, ExifDirectory kind, std::uint32_t offset) {
    if (offset == 0 || tiff_.size() < 2 || offset > tiff_.size() - 2) return 0;
    if (std::find(visited_.begin(), visited_.end(), offset) != visited_.end()) return 0;
    visited_.push_back(offset);
    ByteReader r(tiff_);
    r.seek(offset);
    const unsigned n = u16(r);
    // A table that runs past the block is cut off: its entries are taken while they fit and
    // make sense, and the first that does not ends it.
    const bool whole = std::uint64_t{offset} + 2 + 12ull * n + 4 <= tiff_.size();
    for (unsigned i = 0; i < n; ++i) {
      if (r.remaining() < 12) return 0;
      TEntryItem e;
      e.tag = u16(r);
      const unsigned type = u16(r);
      e.count = u32(r);
      const auto field = r.bytes(4);
      e.valueOffset = order(field);
      e.kind = kind;
      e.bigEndian = bigEndian_;
      // An entry of an unknown type has no size, and one whose data pass the end of the block
      // has them elsewhere: neither can be located, so the entry is dropped (and ends a table
      // that was cut off, whose later entries are not entries at all).
      const int unit = type >= 1 && type <= 12 ? TypeSize(static_cast<int>(type)) : 0;
      const std::uint64_t size = std::uint64_t{e.count} * static_cast<unsigned>(unit);
      const bool located =
          unit != 0 &&
          (size <= 4 || (e.valueOffset <= tiff_.size() && size <= tiff_.size() - e.valueOffset));
      if (!located) {
        if (!whole) return 0;
        continue;
      }
      e.type = static_cast<std::uint8_t>(type);
      auto value = size <= 4 ? field.first(static_cast<std::size_t>(size))
                             : tiff_.subspan(e.valueOffset, static_cast<std::size_t>(size));
      if (e.type == kExifAscii) {
        const auto nul = std::find(value.begin(), value.end(), std::uint8_t{0});
        value = value.first(static_cast<std::size_t>(nul - value.begin()));
      }
      held_ += value.size() + 12;
      if (held_ > DecodeLimits::defaults().maxExifHeldBytes) throw BadBlock{};
      e.data.assign(value.begin(), value.end());
      items.add(std::move(e));
    }
    return whole ? u32(r) : 0;
  }

  // Follows a pointer entry of the collection (type LONG, first value not 0) to its directory.
  void follow(TEntryItems& items, std::uint16_t tag, ExifDirectory from, ExifDirectory to) {
    const TEntryItem* p = items.find(tag, from);
    if (!p || p->type != kExifLong || p->data.size() < 4) return;
    const auto offset = static_cast<std::uint32_t>(p->integer(0));
    if (offset != 0) directory(items, to, offset);
  }

  std::uint16_t u16(ByteReader& r) const { return bigEndian_ ? r.u16be() : r.u16le(); }
  std::uint32_t u32(ByteReader& r) const { return bigEndian_ ? r.u32be() : r.u32le(); }

 private:
  // Entries share data in the source but not in the held collections: a hostile block of
  // entries that all point at the same 60 KB would otherwise take gigabytes. The held bytes are
  // bounded by DecodeLimits::maxExifHeldBytes.

  std::uint32_t order(std::span<const std::uint8_t> four) const {
    ByteReader r(four);
    return u32(r);
  }

  std::span<const std::uint8_t> tiff_;
  bool bigEndian_;
  std::vector<std::uint32_t> visited_;
  std::uint64_t held_ = 0;
};

}  // namespace
}  // namespace exif

bool TExifInfo::HasExif(const std::string& fileName) {
  try {
    return exif::readHead(fileName).has_value();
  } catch (const std::exception&) {
    return false;
  }
}

void TExifInfo::clear() {
  main_.clear();
  thumbnail_.clear();
  app1_ = -1;
  bigEndian_ = false;
}

void TExifInfo::error(int code) {
  bool raise = true;
  if (OnError) OnError(*this, code, raise);
  if (raise) throw EExifError(code);
}

void TExifInfo::setImageFileName(const std::string& name) {
  fileName_ = name;
  clear();
  if (OnUpdate) OnUpdate(*this);
  if (name.empty()) return;
  if (!FileExists(name)) return error(kExifFileNotFound);
  std::optional<exif::FileHead> head;
  try {
    head = exif::readHead(name);
  } catch (const std::exception&) {
  }
  if (!head) return error(kExifNotExif);
  app1_ = static_cast<std::int64_t>(head->found.segments.front().position);
  read(exif::TiffData(head->bytes, head->found));
}

void TExifInfo::readFrom(std::span<const std::uint8_t> jpeg) {
  fileName_.clear();
  clear();
  const exif::SegmentSearch found = exif::FindExifSegment(jpeg);
  if (found.result != exif::SegmentSearch::kFound) return error(kExifNotExif);
  app1_ = static_cast<std::int64_t>(found.segments.front().position);
  read(exif::TiffData(jpeg, found));
}

void TExifInfo::read(std::span<const std::uint8_t> tiff) {
  const std::int64_t base = app1_ + 2 + 2 + 6;
  main_.TiffBase = thumbnail_.TiffBase = base;
  try {
    // A header cut before the offset of IFD0 leaves nothing to read.
    if (tiff.size() < 8) {
      if (OnUpdate) OnUpdate(*this);
      return;
    }
    bigEndian_ = !(tiff[0] == 0x49 && tiff[1] == 0x49);  // anything but "II" reads as "MM"
    exif::BlockReader reader(tiff, bigEndian_);
    ByteReader header(tiff);
    header.skip(4);
    const std::uint32_t ifd0 = reader.u32(header);
    const std::uint32_t ifd1 = reader.directory(main_, ExifDirectory::kImage, ifd0);
    reader.follow(main_, kTagExifPointer, ExifDirectory::kImage, ExifDirectory::kExif);
    reader.follow(main_, kTagGpsPointer, ExifDirectory::kImage, ExifDirectory::kGps);
    reader.follow(main_, kTagInteropPointer, ExifDirectory::kExif, ExifDirectory::kInterop);
    if (ifd1 != 0) {
      reader.directory(thumbnail_, ExifDirectory::kImage, ifd1);
      reader.follow(thumbnail_, kTagExifPointer, ExifDirectory::kImage, ExifDirectory::kExif);
      reader.follow(thumbnail_, kTagInteropPointer, ExifDirectory::kExif, ExifDirectory::kInterop);
    }
  } catch (const exif::BadBlock&) {
    return error(kExifInvalidStream);
  } catch (const ByteReader::Overrun&) {
    return error(kExifInvalidStream);
  }
  if (OnUpdate) OnUpdate(*this);
}

}  // namespace vexo
