// The entry model of TExifInfo, its errors and the group of the eight orientations.
#include <bit>
#include <cstring>
#include <string>

#include "exif/exif.h"
#include "input/file_stream.h"

namespace vexo {

std::string_view ExifErrorMessage(int code) {
  switch (code) {
    case kExifFileNotFound:
      return "ファイルが見つかりません";
    case kExifNotExif:
      return "Exif、またはDCF形式ではありません";
    case kExifUnknownUserComment:
      return "ユーザコメントは不明な形式です";
    case kExifNotAscii:
      return "ASCII文字以外は書き込みできません";
    case kExifInvalidStream:
      return "不正なストリーム";
    case kExifInvalidIndex:
      return "不正なインデックス";
    case kExifTagNotFound:
      return "タグが見つかりません";
    case kExifUnknownDate:
      return "日時は不明です";
    default:
      return "不明なエラーです";
  }
}

EExifError::EExifError(int code) : EExifError(code, ExifErrorMessage(code)) {}

EExifError::EExifError(int code, std::string_view text)
    : Error("TExifInfo: " + std::string(text)), code_(code) {}

EExifError EExifError::NotAnImage() {
  return EExifError(0, "有効な画像ファイルではありません");
}

// ---- entries ----

namespace {

std::uint64_t readOrdered(const std::uint8_t* p, int n, bool bigEndian) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint64_t{p[bigEndian ? i : n - 1 - i]} << (8 * (n - 1 - i));
  return v;
}

void writeOrdered(std::uint8_t* p, std::uint64_t v, int n, bool bigEndian) {
  for (int i = 0; i < n; ++i)
    p[bigEndian ? n - 1 - i : i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Value i of an n-byte type, or throws EExifError(-6) when the entry holds fewer values.
std::uint64_t rawValue(const TEntryItem& e, std::size_t i, int n) {
  if (n == 0 || (i + 1) * static_cast<std::size_t>(n) > e.data.size())
    throw EExifError(kExifInvalidIndex);
  return readOrdered(e.data.data() + i * static_cast<std::size_t>(n), n, e.bigEndian);
}

}  // namespace

std::uint32_t TEntryItem::dataSize() const {
  return static_cast<std::uint32_t>(data.size()) + (type == kExifAscii ? 1 : 0);
}

std::uint32_t TEntryItem::writtenCount() const {
  if (type == kExifAscii || type == kExifUndefined) return dataSize();
  const int n = TypeSize(type);
  return n == 0 ? 0 : static_cast<std::uint32_t>(data.size() / static_cast<std::size_t>(n));
}

std::int64_t TEntryItem::integer(std::size_t i) const {
  switch (type) {
    case kExifByte:
    case kExifUndefined:
      return static_cast<std::int64_t>(rawValue(*this, i, 1));
    case kExifSByte:
      return static_cast<std::int8_t>(rawValue(*this, i, 1));
    case kExifShort:
      return static_cast<std::int64_t>(rawValue(*this, i, 2));
    case kExifSShort:
      return static_cast<std::int16_t>(rawValue(*this, i, 2));
    case kExifLong:
      return static_cast<std::int64_t>(rawValue(*this, i, 4));
    case kExifSLong:
      return static_cast<std::int32_t>(rawValue(*this, i, 4));
    default:
      throw EExifError(kExifInvalidIndex);
  }
}

TExifRational TEntryItem::rational(std::size_t i) const {
  if (type != kExifRational && type != kExifSRational) throw EExifError(kExifInvalidIndex);
  const std::uint64_t num = rawValue(*this, 2 * i, 4), den = rawValue(*this, 2 * i + 1, 4);
  if (type == kExifRational)
    return {static_cast<std::int64_t>(num), static_cast<std::int64_t>(den)};
  return {static_cast<std::int32_t>(num), static_cast<std::int32_t>(den)};
}

double TEntryItem::real(std::size_t i) const {
  if (type == kExifFloat)
    return std::bit_cast<float>(static_cast<std::uint32_t>(rawValue(*this, i, 4)));
  if (type == kExifDouble) return std::bit_cast<double>(rawValue(*this, i, 8));
  throw EExifError(kExifInvalidIndex);
}

std::string_view TEntryItem::text() const {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

void TEntryItem::setLong(std::uint32_t value) {
  type = kExifLong;
  data.assign(4, 0);
  writeOrdered(data.data(), value, 4, bigEndian);
}

void TEntryItem::setShort(std::size_t i, std::uint16_t value) {
  rawValue(*this, i, 2);  // range check
  writeOrdered(data.data() + 2 * i, value, 2, bigEndian);
}

TEntryItem* TEntryItems::find(std::uint16_t tag, ExifDirectory kind) {
  for (auto& e : items_)
    if (e.tag == tag && e.kind == kind) return &e;
  return nullptr;
}

const TEntryItem* TEntryItems::find(std::uint16_t tag, ExifDirectory kind) const {
  return const_cast<TEntryItems*>(this)->find(tag, kind);
}

void TEntryItems::remove(std::uint16_t tag, ExifDirectory kind) {
  std::erase_if(items_, [&](const TEntryItem& e) { return e.tag == tag && e.kind == kind; });
}

bool TEntryItems::has(ExifDirectory kind) const {
  for (const auto& e : items_)
    if (e.kind == kind) return true;
  return false;
}

std::uint64_t TEntryItems::blockSize() const {
  std::uint64_t size = 0;
  bool present[4] = {};
  for (const auto& e : items_) {
    size += e.size();
    present[static_cast<int>(e.kind)] = true;
  }
  for (bool p : present) size += p ? 6 : 0;
  return size;
}

// ---- orientations ----

namespace {

// The matrices of Exif orientations 1 to 8 (index 0 unused).
constexpr std::array<std::array<int, 4>, 9> kOrientations = {{
    {1, 0, 0, 1},
    {1, 0, 0, 1},    // 1 as stored
    {-1, 0, 0, 1},   // 2 mirrored
    {-1, 0, 0, -1},  // 3 half turn
    {1, 0, 0, -1},   // 4 flipped
    {0, 1, 1, 0},    // 5 transposed
    {0, -1, 1, 0},   // 6 quarter turn clockwise
    {0, -1, -1, 0},  // 7 transversed
    {0, 1, -1, 0},   // 8 quarter turn anticlockwise
}};

}  // namespace

Orientation Orientation::FromExif(int value) {
  if (value < 1 || value > 8) return {};
  const auto& m = kOrientations[static_cast<std::size_t>(value)];
  return {m[0], m[1], m[2], m[3]};
}

int Orientation::exif() const {
  for (int v = 1; v <= 8; ++v)
    if (kOrientations[static_cast<std::size_t>(v)] == m_) return v;
  return 1;  // unreachable: the eight matrices form a group
}

Orientation Orientation::then(Orientation next) const {
  const auto& a = next.m_;
  const auto& b = m_;
  return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
          a[2] * b[1] + a[3] * b[3]};
}

Orientation Orientation::inverse() const {
  return {m_[0], m_[2], m_[1], m_[3]};  // orthogonal: the inverse is the transpose
}

void TExifInfo::ApplyEdit(Orientation edit) {
  TEntryItem* e = main_.find(kTagOrientation, ExifDirectory::kImage);
  if (!e || e->type != kExifShort || e->data.size() < 2) return;
  const auto value = e->integer(0);
  if (value < 1 || value > 8) return;
  const Orientation conjugated =
      edit.inverse().then(Orientation::FromExif(static_cast<int>(value))).then(edit);
  e->setShort(0, static_cast<std::uint16_t>(conjugated.exif()));
}

}  // namespace vexo
