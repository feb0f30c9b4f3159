// Huffman code tables, DHT bodies and the bit streams of the JPEG codec.
#include "jpeg/huffman.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vexo::jpeg {
namespace {

[[noreturn]] void Invalid() {
  throw EJpegEx(kJpegInvalid);
}

// Code counts for lengths 1..16 and symbols of the four tables the encoder writes.
constexpr std::array<std::uint8_t, 16> kDcLuminanceCounts = {0, 1, 5, 1, 1, 1, 1, 1,
                                                             1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 16> kDcChrominanceCounts = {0, 3, 1, 1, 1, 1, 1, 1,
                                                               1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 16> kAcLuminanceCounts = {0, 2, 1, 3, 3, 2, 4, 3,
                                                             5, 5, 4, 4, 0, 0, 1, 125};
constexpr std::array<std::uint8_t, 16> kAcChrominanceCounts = {0, 2, 1, 2, 4, 4, 3, 4,
                                                               7, 5, 4, 4, 0, 1, 2, 119};

std::vector<std::uint8_t> DcSymbols() {
  std::vector<std::uint8_t> symbols;
  for (int s = 0; s <= 11; ++s) symbols.push_back(static_cast<std::uint8_t>(s));
  return symbols;
}

// Appends r1..rA for each run in [first, last].
void AppendRuns(std::vector<std::uint8_t>& symbols, int first, int last) {
  for (int run = first; run <= last; ++run) {
    for (int size = 1; size <= 10; ++size)
      symbols.push_back(static_cast<std::uint8_t>(run * 16 + size));
  }
}

// AC luminance: 01 02 03, end of block, 04..0A, runs 1..4, ZRL, runs 5..15.
std::vector<std::uint8_t> AcLuminanceSymbols() {
  std::vector<std::uint8_t> symbols = {0x01, 0x02, 0x03, 0x00};
  for (int size = 4; size <= 10; ++size) symbols.push_back(static_cast<std::uint8_t>(size));
  AppendRuns(symbols, 1, 4);
  symbols.push_back(0xF0);
  AppendRuns(symbols, 5, 15);
  return symbols;
}

// AC chrominance: end of block, 01..0A, runs 1 and 2, ZRL, runs 3..15.
std::vector<std::uint8_t> AcChrominanceSymbols() {
  std::vector<std::uint8_t> symbols = {0x00};
  AppendRuns(symbols, 0, 0);
  AppendRuns(symbols, 1, 2);
  symbols.push_back(0xF0);
  AppendRuns(symbols, 3, 15);
  return symbols;
}

// Adds the canonical codes of the counts to the table, one per symbol in order.
void AddSymbols(THuffmanTable& table, const std::array<std::uint8_t, 16>& counts,
                std::span<const std::uint8_t> symbols) {
  const std::vector<std::uint16_t> codes = THuffmanTable::CodesFromCounts(counts);
  std::size_t i = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int n = 0; n < counts[static_cast<std::size_t>(length - 1)]; ++n, ++i) {
      const std::uint8_t symbol = symbols[i];
      if (table.isAc()) {
        table.AddCode(codes[i], symbol >> 4, length, symbol & 15);
      } else {
        table.AddCode(codes[i], 0, length, symbol);
      }
    }
  }
}

}  // namespace

// ---- THuffmanTable ----

THuffmanTable::THuffmanTable(std::uint8_t classId)
    : classId_(classId), tree_(1, {0, 0}), fast_(std::size_t{1} << kFastBits, -1) {
  for (auto& row : encode_) row.fill(-1);
}

void THuffmanTable::AddCode(std::uint16_t code, int run, int length, int size) {
  if (length < 1 || length > 16 || size < 0 || size > 16) Invalid();
  const bool endOfBlock = isAc() && size == 0 && (run == 0 || run == kEndOfBlock);
  if (run == kEndOfBlock ? !endOfBlock : (run < 0 || run > 16)) Invalid();
  if (leaves_.size() >= kMaxLeaves) Invalid();

  const std::uint32_t bits = code >> (16 - length);  // the code, right-aligned
  auto bitAt = [&](int depth) { return (bits >> (length - 1 - depth)) & 1; };

  // Check first, so a refused code leaves the table as it was: the path must not pass through a
  // leaf, and its last node must be free (neither a leaf nor an inner node).
  std::int32_t node = 0;
  for (int depth = 0; depth < length; ++depth) {
    const std::int32_t child = tree_[static_cast<std::size_t>(node)][bitAt(depth)];
    if (depth == length - 1 ? child != 0 : child < 0) Invalid();
    if (child == 0) break;
    node = child;
  }

  const auto leafIndex = static_cast<std::int32_t>(leaves_.size());
  node = 0;
  for (int depth = 0; depth < length - 1; ++depth) {
    auto& slot = tree_[static_cast<std::size_t>(node)][bitAt(depth)];
    if (slot == 0) {
      slot = static_cast<std::int32_t>(tree_.size());
      node = slot;  // read before the push_back below moves the nodes
      tree_.push_back({0, 0});
    } else {
      node = slot;
    }
  }
  tree_[static_cast<std::size_t>(node)][bitAt(length - 1)] = -(leafIndex + 1);

  const auto index16 = static_cast<std::int16_t>(leafIndex);
  if (length <= kFastBits) {
    const std::uint32_t first = bits << (kFastBits - length);
    std::fill_n(fast_.begin() + first, std::size_t{1} << (kFastBits - length), index16);
  } else {
    std::int16_t& slot = fast_[bits >> (length - kFastBits)];
    if (slot == -1) {  // the first code below these first bits: a new second-level table
      slot = static_cast<std::int16_t>(-2 - static_cast<int>(second_.size() >> kSecondBits));
      second_.resize(second_.size() + (std::size_t{1} << kSecondBits), -1);
    }
    const std::uint32_t rest = bits & ((1u << (length - kFastBits)) - 1);
    const std::size_t first =
        (static_cast<std::size_t>(-2 - slot) << kSecondBits) + (rest << (16 - length));
    std::fill_n(second_.begin() + static_cast<std::ptrdiff_t>(first),
                std::size_t{1} << (16 - length), index16);
  }

  Leaf leaf;
  leaf.code = static_cast<std::uint16_t>(bits << (16 - length));
  leaf.run = static_cast<std::uint8_t>(endOfBlock ? kEndOfBlock : run);
  leaf.size = static_cast<std::uint8_t>(size);
  leaf.length = static_cast<std::uint8_t>(length);
  leaves_.push_back(leaf);

  // The encoding lookup keeps the first leaf of a symbol; end of block sits at [0][0].
  if (endOfBlock && endOfBlock_ < 0) endOfBlock_ = leafIndex;
  if (isAc() && size == 0 && run == 15 && zrl_ < 0) zrl_ = leafIndex;
  auto& lookup =
      encode_[static_cast<std::size_t>(endOfBlock ? 0 : run)][static_cast<std::size_t>(size)];
  if (lookup < 0) lookup = leafIndex;
}

std::vector<std::uint16_t> THuffmanTable::CodesFromCounts(
    const std::array<std::uint8_t, 16>& counts) {
  std::vector<std::uint16_t> codes;
  std::uint32_t code = 0;
  for (int length = 1; length <= 16; ++length) {
    code <<= 1;
    for (int n = 0; n < counts[static_cast<std::size_t>(length - 1)]; ++n) {
      if (code >= (1u << length)) Invalid();
      codes.push_back(static_cast<std::uint16_t>(code << (16 - length)));
      ++code;
    }
  }
  return codes;
}

const THuffmanTable::Leaf* THuffmanTable::Find(int run, int size) const {
  if (run == kEndOfBlock && size == 0) return endOfBlock();
  if (run < 0 || run > 16 || size < 0 || size > 16) return nullptr;
  const std::int32_t i = encode_[static_cast<std::size_t>(run)][static_cast<std::size_t>(size)];
  return i < 0 ? nullptr : &leaves_[static_cast<std::size_t>(i)];
}

const THuffmanTable::Leaf* THuffmanTable::endOfBlock() const {
  return endOfBlock_ < 0 ? nullptr : &leaves_[static_cast<std::size_t>(endOfBlock_)];
}

const THuffmanTable::Leaf* THuffmanTable::zrl() const {
  return zrl_ < 0 ? nullptr : &leaves_[static_cast<std::size_t>(zrl_)];
}

void THuffmanTable::WriteDht(std::vector<std::uint8_t>& out) const {
  // Checked before anything is written: a count or a symbol must fit its byte.
  std::array<int, 17> counts{};
  for (const Leaf& leaf : leaves_) {
    if (++counts[leaf.length] > 255) Invalid();
    if (isAc() && leaf.run != kEndOfBlock && (leaf.run > 15 || leaf.size > 15)) Invalid();
  }
  out.push_back(classId_);
  for (int length = 1; length <= 16; ++length) {
    out.push_back(static_cast<std::uint8_t>(counts[static_cast<std::size_t>(length)]));
  }
  for (const Leaf& leaf : leaves_) {
    if (!isAc()) {
      out.push_back(leaf.size);
    } else {
      out.push_back(leaf.run == kEndOfBlock ? 0
                                            : static_cast<std::uint8_t>(leaf.run * 16 + leaf.size));
    }
  }
}

const THuffmanTable::Leaf* THuffmanTable::Match(std::uint16_t bits16) const {
  std::int32_t entry = fast_[bits16 >> kSecondBits];
  if (entry < -1) {
    entry = second_[(static_cast<std::size_t>(-2 - entry) << kSecondBits) +
                    (bits16 & ((1u << kSecondBits) - 1))];
  }
  return entry < 0 ? nullptr : &leaves_[static_cast<std::size_t>(entry)];
}

// ---- THuffmanTables ----

THuffmanTables::THuffmanTables(bool standard) {
  if (!standard) return;
  const std::vector<std::uint8_t> dc = DcSymbols();
  AddSymbols(at(Add(0x00)), kDcLuminanceCounts, dc);
  AddSymbols(at(Add(0x01)), kDcChrominanceCounts, dc);
  AddSymbols(at(Add(0x10)), kAcLuminanceCounts, AcLuminanceSymbols());
  AddSymbols(at(Add(0x11)), kAcChrominanceCounts, AcChrominanceSymbols());
}

int THuffmanTables::Add(std::uint8_t classId) {
  tables_.emplace_back(classId);
  return Count() - 1;
}

int THuffmanTables::Find(std::uint8_t classId) const {
  for (int i = 0; i < Count(); ++i) {
    if (at(i).classId() == classId) return i;
  }
  return -1;
}

std::size_t THuffmanTables::dhtLength() const {
  std::size_t length = 0;
  for (const THuffmanTable& table : tables_) length += table.dhtLength();
  return length;
}

std::vector<int> THuffmanTables::ReadDht(std::span<const std::uint8_t> data, std::size_t& pos) {
  auto require = [&](std::size_t n) {
    if (pos > data.size() || data.size() - pos < n) Invalid();
  };
  require(1);
  if (data[pos] == 0xFF) Invalid();  // a segment without tables

  std::vector<int> read;
  for (;;) {
    require(17);
    THuffmanTable table(data[pos]);
    std::array<std::uint8_t, 16> counts{};
    std::size_t total = 0;
    for (std::size_t i = 0; i < 16; ++i) {
      counts[i] = data[pos + 1 + i];
      total += counts[i];
    }
    if (total > 256) Invalid();
    require(17 + total);
    AddSymbols(table, counts, data.subspan(pos + 17, total));
    pos += 17 + total;
    tables_.push_back(std::move(table));
    read.push_back(Count() - 1);

    require(1);  // the next table's byte or the FF of the next marker
    if (data[pos] == 0xFF) return read;
  }
}

// ---- JpegBitWriter ----

namespace {

// True when one of the four bytes of w is 0xFF.
inline bool HasFFByte(std::uint32_t w) {
  const std::uint32_t x = ~w;
  return ((x - 0x01010101u) & ~x & 0x80808080u) != 0;
}

inline void PutByte(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  out.push_back(byte);
  if (byte == 0xFF) out.push_back(0x00);
}

}  // namespace

void JpegBitWriter::WriteBits(std::uint32_t bits, int count) {
  // count_ stays below 32 between calls, so acc_ never has to hold more than 63 new bits.
  acc_ = (acc_ << count) | (bits & ((std::uint64_t{1} << count) - 1));
  count_ += count;
  if (count_ >= 32) {
    count_ -= 32;
    emitWord(static_cast<std::uint32_t>(acc_ >> count_));
  }
}

namespace {

// Stores the four bytes of word at p, most significant first, each 0xFF followed by 0x00, and
// moves p behind them.
inline void storeStuffed(std::uint8_t*& p, std::uint32_t word) {
  if (!HasFFByte(word)) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
        static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
    std::memcpy(p, bytes, 4);
    p += 4;
    return;
  }
  for (int shift = 24; shift >= 0; shift -= 8) {
    *p = static_cast<std::uint8_t>(word >> shift);
    if (*p++ == 0xFF) *p++ = 0x00;
  }
}

}  // namespace

void JpegBitWriter::emitWord(std::uint32_t word) {
  std::uint8_t bytes[8];
  std::uint8_t* p = bytes;
  storeStuffed(p, word);
  out_.insert(out_.end(), bytes, p);
}

void JpegBitWriter::WriteWords(std::span<const std::uint32_t> words) {
  if (count_ != 0) {
    for (const std::uint32_t word : words) WriteBits(word, 32);
    return;
  }
  const std::size_t start = out_.size();
  out_.resize(start + 8 * words.size());
  std::uint8_t* p = out_.data() + start;
  for (const std::uint32_t word : words) storeStuffed(p, word);
  out_.resize(static_cast<std::size_t>(p - out_.data()));
}

void JpegBitWriter::FlushAll() {
  const int pad = (8 - count_ % 8) % 8;
  WriteBits((1u << pad) - 1, pad);
  for (; count_ > 0; count_ -= 8) PutByte(out_, static_cast<std::uint8_t>(acc_ >> (count_ - 8)));
  acc_ = 0;
}

void JpegBitWriter::WriteMarker(std::uint8_t code) {
  FlushAll();
  out_.push_back(0xFF);
  out_.push_back(code);
}

// Flattened: Find and WriteBits are inlined, as this runs for every coefficient.
__attribute__((flatten)) void EncodeValue(const THuffmanTable& table, JpegBitWriter& writer,
                                          int run, int value) {
  auto write = [&](const THuffmanTable::Leaf* leaf) {
    if (!leaf) Invalid();
    writer.WriteBits(leaf->code >> (16 - leaf->length), leaf->length);
  };
  if (run == kEndOfBlock) {
    write(table.endOfBlock());
    return;
  }
  if (run < 0) Invalid();
  for (; run > 15; run -= 16) write(table.zrl());

  const std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  if (magnitude >= 0x8000) Invalid();
  const int size = std::bit_width(magnitude);
  const THuffmanTable::Leaf* leaf = table.Find(run, size);
  if (!leaf) Invalid();
  // Negative values carry the low bits of value - 1 (the one's complement of the magnitude).
  const std::uint32_t low =
      static_cast<std::uint32_t>(value < 0 ? value - 1 : value) & ((1u << size) - 1);
  const std::uint32_t code = leaf->code >> (16 - leaf->length);
  writer.WriteBits((code << size) | low, leaf->length + size);
}

// ---- JpegBitReader ----

JpegBitReader::JpegBitReader(std::span<const std::uint8_t> data, std::size_t start)
    : data_(data), pos_(std::min(start, data.size())), loadedEnd_(pos_) {}

void JpegBitReader::fill() {
  const std::size_t end = data_.size();
  // Fast path: as many whole bytes as fit, read as one big-endian word, up to the first FF.
  if (count_ <= 56 && marker_ == 0 && end - pos_ >= 8) {
    std::uint64_t word;
    std::memcpy(&word, data_.data() + pos_, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    // Flags bytes that are FF (and may flag bytes in front of one): the bytes before the first
    // flag are plain data.
    const std::uint64_t x = ~word;
    const std::uint64_t ff = (x - 0x0101010101010101u) & ~x & 0x8080808080808080u;
    const int clean = ff == 0 ? 8 : std::countl_zero(ff) / 8;
    const int take = std::min((64 - count_) / 8, clean);
    if (take > 0) {
      const std::uint64_t mask = take == 8 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (take * 8));
      acc_ |= (word & mask) >> count_;
      count_ += take * 8;
      loadedEnd_ = pos_ += static_cast<std::size_t>(take);
    }
  }
  while (count_ <= 56 && marker_ == 0 && pos_ < end) {
    const std::uint8_t byte = data_[pos_];
    if (byte != 0xFF) {
      acc_ |= std::uint64_t{byte} << (56 - count_);
      count_ += 8;
      loadedEnd_ = ++pos_;
    } else if (pos_ + 1 == end) {  // a lone FF closing the data stands for EOI
      marker_ = 0xD9;
      markerStart_ = pos_++;
    } else if (const std::uint8_t next = data_[pos_ + 1]; next == 0x00) {
      acc_ |= std::uint64_t{0xFF} << (56 - count_);
      count_ += 8;
      loadedEnd_ = pos_ += 2;
    } else if (next == 0xFF) {  // a fill byte in front of a marker
      ++pos_;
    } else {
      marker_ = next;
      markerStart_ = pos_;
      pos_ += 2;
    }
  }
}

void JpegBitReader::consume(int n) {
  acc_ <<= n;
  count_ -= n;
}

int JpegBitReader::takeMarker() {
  const int code = marker_;
  acc_ = 0;
  count_ = 0;
  marker_ = 0;
  loadedEnd_ = pos_;
  return 0xFF00 | code;
}

int JpegBitReader::ReadEntry() {
  if (count_ == 0 && marker_ == 0) fill();
  if (count_ > 0) {
    const int bit = static_cast<int>(acc_ >> 63);
    consume(1);
    return bit;
  }
  if (marker_ != 0) return takeMarker() & 0xFF;
  Invalid();
}

std::int32_t JpegBitReader::ReadBits(int n) {
  if (n <= 0) return 0;
  if (count_ < n && marker_ == 0) fill();
  if (count_ < n) {
    if (marker_ == 0) Invalid();
    acc_ = 0;
    count_ = 0;
    return -1;
  }
  const auto value = static_cast<std::int32_t>(acc_ >> (64 - n));
  consume(n);
  return value;
}

int JpegBitReader::PendingMarker() {
  if (count_ == 0 && marker_ == 0) fill();
  return count_ == 0 ? marker_ : 0;
}

std::size_t JpegBitReader::position() const {
  if (count_ == 0 && marker_ != 0) return markerStart_;
  // acc_ holds the rest of a partly consumed byte (count_ % 8 bits), then whole bytes not yet
  // touched: the last ones loaded, each from one data byte or from an FF 00 pair. Walking back
  // over them is unambiguous, as an FF among loaded bytes always leads a pair.
  std::size_t p = loadedEnd_;
  for (int n = count_ / 8; n > 0; --n) {
    p -= p >= 2 && data_[p - 1] == 0x00 && data_[p - 2] == 0xFF ? 2 : 1;
  }
  return p;
}

__attribute__((flatten)) int DecodeSymbol(const THuffmanTable& table, JpegBitReader& reader,
                                          int& run) {
  if (reader.count_ < 16 && reader.marker_ == 0) reader.fill();
  // Bits past a pending marker read as zeros here, but a code is only taken when it ends
  // within the bits before the marker.
  const THuffmanTable::Leaf* leaf = table.Match(static_cast<std::uint16_t>(reader.acc_ >> 48));
  if (!leaf || leaf->length > reader.count_) {
    if (reader.count_ >= 16 || reader.marker_ == 0) Invalid();
    run = -1;
    return reader.takeMarker();
  }
  reader.consume(leaf->length);
  run = leaf->run;
  const int size = leaf->size;
  if (size == 0) return 0;

  if (reader.count_ < size && reader.marker_ == 0) reader.fill();
  if (reader.count_ < size) {
    if (reader.marker_ == 0) Invalid();
    run = -1;
    return reader.takeMarker();
  }
  int value = static_cast<int>(reader.acc_ >> (64 - size));
  reader.consume(size);
  if (value < (1 << (size - 1))) value -= (1 << size) - 1;
  return value;
}

}  // namespace vexo::jpeg
