// The entropy layer of the JPEG codec: Huffman code tables, the four standard tables the encoder
// writes, DHT segment bodies, and the bit streams between the coefficient coder and the bytes.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "jpeg/jpeg_error.h"

namespace vexo::jpeg {

// The run that stands for end of block in a table's leaves and in EncodeValue.
inline constexpr int kEndOfBlock = 99;

// One code table. Class/identifier byte: 0 and 1 DC tables, 16 and 17 AC tables (or whatever a
// DHT segment gave). Leaves keep the order of the DHT segment's symbols, which is the order
// they are written back in. A DC leaf has run 0 and size = symbol; an AC leaf has run = high
// nibble and size = low nibble, except end of block (0x00), kept with run kEndOfBlock.
class THuffmanTable {
 public:
  struct Leaf {
    std::uint16_t code = 0;  // left-aligned to 16 bits
    std::uint8_t run = 0, size = 0, length = 0;
  };

  explicit THuffmanTable(std::uint8_t classId = 0);

  std::uint8_t classId() const { return classId_; }
  bool isAc() const { return classId_ > 1; }

  // Adds the leaf for the first `length` bits (1..16) of the left-aligned code. In an AC table a
  // leaf of size 0 with run 0 or kEndOfBlock becomes the end-of-block leaf, one with run 15 the
  // ZRL leaf. Throws EJpegEx(kJpegInvalid) when the code runs into or through an existing leaf
  // or ends on an inner node, when run or size is out of range for the lookup (above 16), and
  // beyond 32767 leaves.
  void AddCode(std::uint16_t code, int run, int length, int size);

  // Canonical codes of the counts of codes of length 1..16: the code starts at 0, doubles before
  // each length and grows by one after each code; each left-aligned. Throws EJpegEx(kJpegInvalid)
  // when the counts overflow a length (a code would need more bits than its length).
  static std::vector<std::uint16_t> CodesFromCounts(const std::array<std::uint8_t, 16>& counts);

  const std::vector<Leaf>& leaves() const { return leaves_; }
  // The leaf for a run (0..16, or kEndOfBlock) and size (0..16), or null when the table has none.
  const Leaf* Find(int run, int size) const;
  const Leaf* endOfBlock() const;
  const Leaf* zrl() const;

  // Appends the DHT body of this table: class/identifier byte, 16 counts, symbols in leaf order.
  void WriteDht(std::vector<std::uint8_t>& out) const;
  // 17 + the number of codes.
  std::size_t dhtLength() const { return 17 + leaves_.size(); }

  // Decoding: the leaf a code of the given left-aligned 16 bits starts with, and its length;
  // null when no leaf matches. Built for a lookup of the first bits, not a walk per bit.
  const Leaf* Match(std::uint16_t bits16) const;

 private:
  // Decoding looks up the first kFastBits bits of a code in fast_, and the other kSecondBits of
  // a longer one in a second-level table.
  static constexpr int kFastBits = 9, kSecondBits = 16 - kFastBits;
  // Leaf indexes are 16-bit in the decoding tables; a DHT table has at most 256 codes anyway.
  static constexpr std::size_t kMaxLeaves = 32767;

  std::uint8_t classId_;
  std::vector<Leaf> leaves_;
  int endOfBlock_ = -1, zrl_ = -1;
  std::array<std::array<std::int32_t, 17>, 17> encode_;  // leaf index by [run][size], -1 none
  // The code tree: per node the child for bit 0 and bit 1; 0 none (the root, node 0, is nobody's
  // child), above 0 an inner node, below 0 the leaf -(child + 1).
  std::vector<std::array<std::int32_t, 2>> tree_;
  // Decoding by the first kFastBits bits: a leaf index (code no longer than that), -1 no code,
  // or -(t + 2) for second-level table t in second_, indexed by the next kSecondBits bits, which
  // holds leaf indexes or -1. Kept up to date by AddCode, so a const table is safe to share
  // between threads.
  std::vector<std::int16_t> fast_;
  std::vector<std::int16_t> second_;
};

// The tables of one image, in the order they were added.
class THuffmanTables {
 public:
  THuffmanTables() = default;
  // With standard = true: the four standard tables 0, 1, 16, 17 in that order.
  explicit THuffmanTables(bool standard);

  // Appends a table for the class/identifier byte and returns its position.
  int Add(std::uint8_t classId);
  // Position of the first table with the byte, or -1.
  int Find(std::uint8_t classId) const;
  int Count() const { return static_cast<int>(tables_.size()); }
  THuffmanTable& at(int i) { return tables_.at(static_cast<std::size_t>(i)); }
  const THuffmanTable& at(int i) const { return tables_.at(static_cast<std::size_t>(i)); }
  void Clear() { tables_.clear(); }
  // Sum of the tables' DHT lengths.
  std::size_t dhtLength() const;

  // Reads a DHT body starting at data[pos] (behind the length field), table after table, until
  // the byte after a table is 0xFF; pos is left on that 0xFF. Returns the positions of the tables
  // read, in order. Throws EJpegEx(kJpegInvalid) on truncated or malformed data.
  std::vector<int> ReadDht(std::span<const std::uint8_t> data, std::size_t& pos);

 private:
  std::vector<THuffmanTable> tables_;
};

// Bits to bytes: bits are appended most significant first; every 0xFF byte is followed by 0x00.
// A word-sized accumulator stands in for a buffer of single bits.
class JpegBitWriter {
 public:
  explicit JpegBitWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  // Appends the low `count` bits (0..32) of bits.
  void WriteBits(std::uint32_t bits, int count);
  // Appends whole 32-bit words, most significant bit first: the same as WriteBits(word, 32) for
  // each, in one append to the output when no bits are pending.
  void WriteWords(std::span<const std::uint32_t> words);
  // Pads with 1 bits to a whole byte and writes out everything (at restart points and the end).
  void FlushAll();
  // FlushAll, then the two marker bytes FF code.
  void WriteMarker(std::uint8_t code);

 private:
  // Appends the four bytes of word, each 0xFF followed by 0x00.
  __attribute__((noinline)) void emitWord(std::uint32_t word);

  std::vector<std::uint8_t>& out_;
  std::uint64_t acc_ = 0;
  int count_ = 0;
};

// Writes one coefficient: run kEndOfBlock writes the end-of-block code; otherwise ZRL codes while
// run exceeds 15, then the code of (run, size category of value) and the low size bits of value
// (of value - 1 when negative). Throws EJpegEx(kJpegInvalid) when the table has no code for it.
void EncodeValue(const THuffmanTable& table, JpegBitWriter& writer, int run, int value);

// Bytes to bits over an entropy-coded segment: FF 00 reads as the byte FF, FF followed by any
// other byte is a marker that stops the bits (the decoder sees it in sequence), FF as the last
// byte reads as the marker D9, and the end of the data fails. An FF followed by another FF is a
// fill byte in front of a marker and is passed over.
class JpegBitReader {
 public:
  explicit JpegBitReader(std::span<const std::uint8_t> data, std::size_t start = 0);

  // The next entry: a bit (0 or 1), or the code of a marker (2 or more). Reading past a marker
  // returns it once and continues with the bytes after it. Throws EJpegEx(kJpegInvalid) at the
  // end of the data.
  int ReadEntry();
  // n bits (0..16) as an unsigned value. A marker in the way: the bits before it are dropped,
  // -1 is returned and the marker is left to be read. Throws at the end of the data.
  std::int32_t ReadBits(int n);
  // The marker code waiting at the current position (all bits before it consumed), or 0.
  int PendingMarker();
  // Byte position in the data behind everything consumed: behind the last byte a consumed bit
  // came from, or behind a consumed marker. With a marker waiting and no bits before it, the
  // position of the marker's FF.
  std::size_t position() const;

 private:
  friend int DecodeSymbol(const THuffmanTable& table, JpegBitReader& reader, int& run);
  // Loads bytes into acc_ until it holds more than 56 bits, a marker is met or the data ends.
  void fill();
  // Drops the first n (0..min(count_, 63)) bits of acc_.
  void consume(int n);
  // Consumes every accumulated bit and the pending marker; returns 0xFF00 + the marker code.
  int takeMarker();

  std::span<const std::uint8_t> data_;
  std::size_t pos_;              // next byte to load
  std::uint64_t acc_ = 0;        // bits left-aligned, zeros behind the valid ones
  int count_ = 0;                // valid bits in acc_
  int marker_ = 0;               // marker met behind the accumulated bits, 0 none
  std::size_t markerStart_ = 0;  // byte index of that marker's FF
  std::size_t loadedEnd_;        // byte index behind the last byte loaded into acc_ or consumed
};

// Decodes one symbol and receives its value. Returns the value (T.81 EXTEND rule) and sets run
// (kEndOfBlock for end of block, 15 with value 0 for ZRL). When a marker comes before the code
// and its value bits are complete, the bits before it are dropped, the marker is consumed (reading
// continues behind it), run is set to -1 and 0xFF00 + its code is returned; tell the two cases
// apart by run, as a 16-bit value could equal such a result. Throws EJpegEx(kJpegInvalid) for a
// code no leaf matches and at the end of the data.
int DecodeSymbol(const THuffmanTable& table, JpegBitReader& reader, int& run);

}  // namespace vexo::jpeg
