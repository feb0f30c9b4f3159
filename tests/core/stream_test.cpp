// Byte-order readers and writers on memory streams, and MemoryStream's own behaviour.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/stream.h"
#include "input/file_stream.h"

namespace vexo {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint16_t kII = kIntelOrder;
constexpr std::uint16_t kMM = kMotorolaOrder;
constexpr std::uint16_t kOther = 0x0000;  // neither marker

TEST(ByteOrderTest, ReadWordAndLong) {
  struct Row {
    Bytes bytes;
    std::uint16_t marker;
    std::uint32_t expected;
    bool isLong;
  };
  const Row rows[] = {
      {{0x12, 0x34}, kII, 0x3412, false},
      {{0x12, 0x34}, kMM, 0x1234, false},
      {{0x12, 0x34}, kOther, 0x1234, false},  // anything but "II" is big-endian
      {{0xFF, 0x80}, kII, 0x80FF, false},
      {{1, 2, 3, 4}, kII, 1 + 2 * 256 + 3 * 65536 + 4 * 16777216u, true},
      {{1, 2, 3, 4}, kMM, 4 + 3 * 256 + 2 * 65536 + 1 * 16777216u, true},
      {{1, 2, 3, 4}, kOther, 0x01020304, true},
      {{0xFF, 0xFF, 0xFF, 0xFE}, kMM, 0xFFFFFFFE, true},
  };
  for (const Row& r : rows) {
    MemoryStream s(r.bytes);
    std::uint32_t got = r.isLong ? ReadLong(s, r.marker) : ReadWord(s, r.marker);
    EXPECT_EQ(got, r.expected) << "marker " << std::hex << r.marker;
    EXPECT_EQ(s.position(), static_cast<std::int64_t>(r.bytes.size()));
  }
}

TEST(ByteOrderTest, ReadSingleAndDouble) {
  struct Row {
    Bytes bytes;
    std::uint16_t marker;
    double expected;
    bool isDouble;
  };
  const Row rows[] = {
      {{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, kII, 1.0, true},
      {{0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, kMM, 1.0, true},
      {{0, 0, 0, 0, 0, 0, 0, 0xC0}, kII, -2.0, true},
      {{0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18}, kMM, 3.141592653589793, true},
      {{0, 0, 0x80, 0x3F}, kII, 1.0, false},
      {{0x3F, 0x80, 0, 0}, kMM, 1.0, false},
      {{0xBF, 0x00, 0, 0}, kOther, -0.5, false},
  };
  for (const Row& r : rows) {
    MemoryStream s(r.bytes);
    double got = r.isDouble ? ReadDouble(s, r.marker) : ReadSingle(s, r.marker);
    EXPECT_EQ(got, r.expected);
  }
}

TEST(ByteOrderTest, WritersPutBytesInMarkerOrder) {
  struct Row {
    std::uint16_t marker;
    Bytes longBytes;  // WriteLong(0x01020304)
    Bytes wordBytes;  // WriteWord(0x0102)
  };
  const Row rows[] = {
      {kMM, {1, 2, 3, 4}, {1, 2}},
      {kII, {4, 3, 2, 1}, {2, 1}},
      // The two writers treat an unknown marker differently: WriteLong lowest byte first,
      // WriteWord high byte first.
      {kOther, {4, 3, 2, 1}, {1, 2}},
  };
  for (const Row& r : rows) {
    MemoryStream l, w;
    WriteLong(l, 0x01020304, r.marker);
    WriteWord(w, 0x0102, r.marker);
    EXPECT_EQ(l.bytes(), r.longBytes) << std::hex << r.marker;
    EXPECT_EQ(w.bytes(), r.wordBytes) << std::hex << r.marker;
  }
}

TEST(ByteOrderTest, WriteThenReadRoundTrips) {
  const std::uint32_t values[] = {0, 1, 0x12345678, 0x80000000, 0xFFFFFFFF, 0x00FF00FF};
  for (std::uint16_t marker : {kII, kMM}) {
    MemoryStream s;
    for (std::uint32_t v : values) {
      WriteLong(s, v, marker);
      WriteWord(s, static_cast<std::uint16_t>(v), marker);
    }
    s.setPosition(0);
    for (std::uint32_t v : values) {
      EXPECT_EQ(ReadLong(s, marker), v);
      EXPECT_EQ(ReadWord(s, marker), static_cast<std::uint16_t>(v));
    }
    EXPECT_EQ(s.position(), s.size());
  }
}

TEST(ByteOrderTest, ShortReadThrowsTheStreamReadError) {
  using Reader = void (*)(Stream&);
  struct Row {
    const char* name;
    Reader read;
    std::size_t need;
  };
  const Row rows[] = {
      {"ReadWord", [](Stream& s) { ReadWord(s, kII); }, 2},
      {"ReadLong", [](Stream& s) { ReadLong(s, kMM); }, 4},
      {"ReadSingle", [](Stream& s) { ReadSingle(s, kII); }, 4},
      {"ReadDouble", [](Stream& s) { ReadDouble(s, kMM); }, 8},
  };
  for (const Row& r : rows) {
    for (std::size_t have = 0; have < r.need; ++have) {
      MemoryStream s(Bytes(have, 0xAB));
      EXPECT_THROW(r.read(s), StreamReadError) << r.name << " with " << have << " bytes";
    }
    MemoryStream exact(Bytes(r.need, 0xAB));
    EXPECT_NO_THROW(r.read(exact)) << r.name;
  }
}

TEST(ByteOrderTest, TypeSizeTable) {
  const int expected[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  for (int t = 0; t <= 12; ++t) EXPECT_EQ(TypeSize(t), expected[t]) << "type " << t;
  for (int t : {-1, 13, 16, 65535, -65536}) EXPECT_EQ(TypeSize(t), 0) << "type " << t;
}

TEST(ByteOrderTest, InRangeIsInclusive) {
  EXPECT_TRUE(InRange(1, 1, 3));
  EXPECT_TRUE(InRange(3, 1, 3));
  EXPECT_FALSE(InRange(0, 1, 3));
  EXPECT_FALSE(InRange(4, 1, 3));
  EXPECT_FALSE(InRange(2, 3, 1));  // empty range
}

TEST(MemoryStreamTest, SeekReadWriteAndSize) {
  MemoryStream s;
  const Bytes abc{'a', 'b', 'c'};
  s.write(abc);
  EXPECT_EQ(s.size(), 3);
  EXPECT_EQ(s.seek(-1, SeekOrigin::kEnd), 2);
  EXPECT_EQ(s.seek(-1, SeekOrigin::kCurrent), 1);
  std::uint8_t two[2];
  EXPECT_EQ(s.read(two), 2u);
  EXPECT_EQ(two[0], 'b');
  EXPECT_EQ(s.read(two), 0u);  // at the end

  // A write past the end fills the gap with zeros.
  s.seek(5, SeekOrigin::kBegin);
  s.write(abc);
  EXPECT_EQ(s.bytes(), (Bytes{'a', 'b', 'c', 0, 0, 'a', 'b', 'c'}));
  // Reads past the end give nothing, readBuffer throws.
  s.seek(100, SeekOrigin::kBegin);
  EXPECT_EQ(s.read(two), 0u);
  EXPECT_THROW(s.readBuffer(two), StreamReadError);

  EXPECT_THROW(s.seek(-1, SeekOrigin::kBegin), StreamError);
  EXPECT_THROW(s.seek(-9, SeekOrigin::kEnd), StreamError);
  EXPECT_THROW(s.seek(INT64_MAX, SeekOrigin::kEnd), StreamError);  // overflow
}

TEST(MemoryStreamTest, ReadBufferLeavesPositionBehindWhatWasRead) {
  MemoryStream s(Bytes{1, 2, 3});
  std::uint8_t four[4];
  EXPECT_THROW(s.readBuffer(four), StreamReadError);
  EXPECT_EQ(s.position(), 3);
}

TEST(MemoryStreamTest, GrowthStopsAtTheLimit) {
  MemoryStream s(16);
  const Bytes eight(8, 7);
  s.write(eight);
  s.write(eight);
  EXPECT_THROW(s.write(Bytes{1}), StreamWriteError);
  EXPECT_EQ(s.size(), 16);
  // A hostile far position cannot make it allocate.
  s.seek(INT64_MAX - 1, SeekOrigin::kBegin);
  EXPECT_THROW(s.write(eight), StreamWriteError);
  EXPECT_THROW(s.setSize(17), StreamWriteError);
}

TEST(MemoryStreamTest, CopyFromAndTakeBytes) {
  MemoryStream src(Bytes{1, 2, 3, 4, 5});
  src.seek(1, SeekOrigin::kBegin);
  MemoryStream dst;
  dst.copyFrom(src, 3);
  EXPECT_EQ(dst.bytes(), (Bytes{2, 3, 4}));
  EXPECT_THROW(dst.copyFrom(src, 2), StreamReadError);  // only one byte left
  Bytes taken = dst.takeBytes();
  EXPECT_EQ(taken, (Bytes{2, 3, 4}));  // the failed copy wrote nothing
  EXPECT_EQ(dst.size(), 0);
  EXPECT_EQ(dst.position(), 0);
}

}  // namespace
}  // namespace vexo
