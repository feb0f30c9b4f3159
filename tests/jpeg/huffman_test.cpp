// The entropy layer: the standard code tables against the codes of ITU-T T.81 and the canonical
// rule, coefficient coding bit by bit, DHT bodies, and the bit streams against a model that
// keeps one entry per bit.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "jpeg/huffman.h"

namespace vexo::jpeg {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The first `length` bits of a left-aligned code as text.
std::string CodeText(const THuffmanTable::Leaf& leaf) {
  std::string text;
  for (int i = 0; i < leaf.length; ++i) text += (leaf.code >> (15 - i)) & 1 ? '1' : '0';
  return text;
}

// A left-aligned 16-bit word from the start of a bit text (zeros behind).
std::uint16_t Word(const std::string& bits) {
  std::uint16_t w = 0;
  for (std::size_t i = 0; i < bits.size() && i < 16; ++i) {
    if (bits[i] == '1') w = static_cast<std::uint16_t>(w | (0x8000 >> i));
  }
  return w;
}

// Model of the writer: bits padded with ones to whole bytes, FF followed by 00.
Bytes Pack(std::string bits) {
  while (bits.size() % 8 != 0) bits += '1';
  Bytes out;
  for (std::size_t i = 0; i < bits.size(); i += 8) {
    const auto byte = static_cast<std::uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2));
    out.push_back(byte);
    if (byte == 0xFF) out.push_back(0x00);
  }
  return out;
}

std::string Binary(std::uint32_t value, int count) {
  std::string text;
  for (int i = count - 1; i >= 0; --i) text += (value >> i) & 1 ? '1' : '0';
  return text;
}

const THuffmanTables& Standard() {
  static const THuffmanTables tables(true);
  return tables;
}

const THuffmanTable& DcLuminance() {
  return Standard().at(0);
}
const THuffmanTable& DcChrominance() {
  return Standard().at(1);
}
const THuffmanTable& AcLuminance() {
  return Standard().at(2);
}
const THuffmanTable& AcChrominance() {
  return Standard().at(3);
}

// ---- Standard tables ----

TEST(StandardTables, ClassBytesInOrder) {
  ASSERT_EQ(Standard().Count(), 4);
  EXPECT_EQ(Standard().at(0).classId(), 0x00);
  EXPECT_EQ(Standard().at(1).classId(), 0x01);
  EXPECT_EQ(Standard().at(2).classId(), 0x10);
  EXPECT_EQ(Standard().at(3).classId(), 0x11);
  EXPECT_EQ(Standard().Find(0x11), 3);
  EXPECT_EQ(Standard().Find(0x12), -1);
  EXPECT_EQ(Standard().dhtLength(), 29u + 29u + 179u + 179u);
  EXPECT_EQ(THuffmanTables().Count(), 0);
  EXPECT_EQ(THuffmanTables(false).Count(), 0);
}

// Tables K.3 and K.4 of T.81, by magnitude category 0..11.
TEST(StandardTables, DcCodesAreThoseOfT81) {
  const std::vector<std::string> luminance = {"00",     "010",     "011",      "100",
                                              "101",    "110",     "1110",     "11110",
                                              "111110", "1111110", "11111110", "111111110"};
  const std::vector<std::string> chrominance = {
      "00",     "01",      "10",       "110",       "1110",       "11110",
      "111110", "1111110", "11111110", "111111110", "1111111110", "11111111110"};
  for (int size = 0; size <= 11; ++size) {
    const auto* lum = DcLuminance().Find(0, size);
    const auto* chr = DcChrominance().Find(0, size);
    ASSERT_TRUE(lum && chr) << size;
    EXPECT_EQ(CodeText(*lum), luminance[static_cast<std::size_t>(size)]) << size;
    EXPECT_EQ(CodeText(*chr), chrominance[static_cast<std::size_t>(size)]) << size;
  }
  EXPECT_EQ(DcLuminance().Find(0, 12), nullptr);
  EXPECT_EQ(DcLuminance().endOfBlock(), nullptr);
  EXPECT_EQ(DcLuminance().zrl(), nullptr);
}

struct AcCode {
  const char* table;
  int symbol;
  const char* code;
};

// The program's own symbol order, assigned canonically (worked out independently of the code
// under test).
const AcCode kAcCodes[] = {
    {"luminance", 0x01, "00"},
    {"luminance", 0x02, "01"},
    {"luminance", 0x03, "100"},
    {"luminance", 0x00, "1010"},
    {"luminance", 0x04, "1011"},
    {"luminance", 0x05, "1100"},
    {"luminance", 0x0A, "111011"},
    {"luminance", 0x11, "1111000"},
    {"luminance", 0x1A, "111111000"},
    {"luminance", 0x41, "1111111110000110"},
    {"luminance", 0xF0, "1111111110010000"},
    {"luminance", 0x51, "1111111110010001"},
    {"luminance", 0xFA, "1111111111111110"},
    {"chrominance", 0x00, "00"},
    {"chrominance", 0x01, "01"},
    {"chrominance", 0x02, "100"},
    {"chrominance", 0x03, "1010"},
    {"chrominance", 0x05, "11000"},
    {"chrominance", 0x0A, "111001"},
    {"chrominance", 0x11, "111010"},
    {"chrominance", 0x1A, "111110100"},
    {"chrominance", 0x41, "111111111000011"},
    {"chrominance", 0xF0, "1111111010"},
    {"chrominance", 0x51, "1111111110010001"},
    {"chrominance", 0xFA, "1111111111111110"},
};

class AcCodeTest : public ::testing::TestWithParam<AcCode> {};

TEST_P(AcCodeTest, Code) {
  const AcCode& c = GetParam();
  const THuffmanTable& table =
      std::string(c.table) == "luminance" ? AcLuminance() : AcChrominance();
  const int run = c.symbol == 0 ? kEndOfBlock : c.symbol >> 4;
  const auto* leaf = table.Find(run, c.symbol & 15);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(CodeText(*leaf), c.code);
  EXPECT_EQ(leaf->run, run);
  // Decoding finds the same leaf whatever follows the code.
  EXPECT_EQ(table.Match(Word(c.code)), leaf);
  EXPECT_EQ(table.Match(static_cast<std::uint16_t>(Word(c.code) | (0xFFFF >> leaf->length))), leaf);
}

INSTANTIATE_TEST_SUITE_P(Standard, AcCodeTest, ::testing::ValuesIn(kAcCodes), [](const auto& p) {
  return std::string(p.param.table) + "_" + Binary(static_cast<std::uint32_t>(p.param.symbol), 8);
});

TEST(StandardTables, AcTablesHoldTheBaselineSymbols) {
  for (const THuffmanTable* table : {&AcLuminance(), &AcChrominance()}) {
    EXPECT_EQ(table->leaves().size(), 162u);
    ASSERT_NE(table->endOfBlock(), nullptr);
    ASSERT_NE(table->zrl(), nullptr);
    EXPECT_EQ(table->Find(0, 0), table->endOfBlock());  // end of block also sits at [0][0]
    EXPECT_EQ(table->Find(kEndOfBlock, 0), table->endOfBlock());
    EXPECT_EQ(table->Find(15, 0), table->zrl());
    EXPECT_EQ(table->zrl()->run, 15);
    for (int run = 0; run <= 15; ++run) {
      for (int size = 1; size <= 10; ++size) EXPECT_NE(table->Find(run, size), nullptr);
      EXPECT_EQ(table->Find(run, 11), nullptr);
    }
    EXPECT_EQ(table->Find(16, 1), nullptr);
    EXPECT_EQ(table->Find(-1, 1), nullptr);
    EXPECT_EQ(table->Find(17, 1), nullptr);
  }
}

// Every leaf is found from its code with any bits behind it; a 16-bit pattern beyond the last
// code matches nothing.
TEST(StandardTables, MatchFindsEveryLeaf) {
  std::mt19937 rng(3);
  for (int t = 0; t < 4; ++t) {
    const THuffmanTable& table = Standard().at(t);
    for (const auto& leaf : table.leaves()) {
      for (int n = 0; n < 8; ++n) {
        const auto bits = static_cast<std::uint16_t>(leaf.code | ((rng() & 0xFFFF) >> leaf.length));
        const auto* found = table.Match(bits);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found, &leaf) << "table " << t << " code " << CodeText(leaf);
      }
    }
  }
  EXPECT_EQ(AcLuminance().Match(0xFFFF), nullptr);
  EXPECT_EQ(DcLuminance().Match(0xFF80), nullptr);
  EXPECT_EQ(DcChrominance().Match(0xFFE0), nullptr);
}

// ---- Canonical codes and AddCode ----

TEST(CodesFromCounts, Canonical) {
  std::array<std::uint8_t, 16> counts{};
  counts[1] = 2;  // 00 01
  counts[2] = 1;  // 100
  counts[3] = 3;  // 1010 1011 1100
  const auto codes = THuffmanTable::CodesFromCounts(counts);
  const std::vector<std::uint16_t> want = {0x0000, 0x4000, 0x8000, 0xA000, 0xB000, 0xC000};
  EXPECT_EQ(codes, want);
  EXPECT_TRUE(THuffmanTable::CodesFromCounts({}).empty());
}

TEST(CodesFromCounts, OverflowThrows) {
  std::array<std::uint8_t, 16> full{};
  full[0] = 2;  // 0 and 1 use up every code
  EXPECT_EQ(THuffmanTable::CodesFromCounts(full).size(), 2u);
  std::array<std::uint8_t, 16> more = full;
  more[5] = 1;
  EXPECT_THROW(THuffmanTable::CodesFromCounts(more), EJpegEx);
  std::array<std::uint8_t, 16> three{};
  three[0] = 3;
  EXPECT_THROW(THuffmanTable::CodesFromCounts(three), EJpegEx);
  std::array<std::uint8_t, 16> sixteen{};
  sixteen[15] = 255;
  sixteen[7] = 255;  // 255 of 256 eight-bit codes, then the rest as 16-bit codes
  EXPECT_EQ(THuffmanTable::CodesFromCounts(sixteen).size(), 510u);
  sixteen[7] = 0;
  sixteen[14] = 255;
  sixteen[13] = 255;
  sixteen[12] = 255;  // 3 × 255 codes fit below the 15-bit ones; then 255 16-bit ones
  EXPECT_NO_THROW(THuffmanTable::CodesFromCounts(sixteen));
}

struct BadCode {
  const char* name;
  std::uint16_t code;
  int run, length, size;
};

// A table holding 0 and 10; each of these additions must be refused and change nothing.
const BadCode kBadCodes[] = {
    {"SameCodeAgain", 0x8000, 0, 2, 3},    {"ThroughALeaf", 0x4000, 0, 2, 3},
    {"EndsOnInnerNode", 0x8000, 0, 1, 3},  {"LengthZero", 0xC000, 0, 0, 3},
    {"LengthSeventeen", 0xC000, 0, 17, 3}, {"SizeSeventeen", 0xC000, 0, 3, 17},
    {"NegativeSize", 0xC000, 0, 3, -1},    {"RunSeventeen", 0xC000, 17, 3, 1},
    {"NegativeRun", 0xC000, -1, 3, 1},     {"EndOfBlockRunInDcTable", 0xC000, kEndOfBlock, 3, 0},
};

class BadCodeTest : public ::testing::TestWithParam<BadCode> {};

TEST_P(BadCodeTest, Refused) {
  THuffmanTable table(0);
  table.AddCode(0x0000, 0, 1, 1);
  table.AddCode(0x8000, 0, 2, 2);
  const BadCode& c = GetParam();
  EXPECT_THROW(table.AddCode(c.code, c.run, c.length, c.size), EJpegEx);
  ASSERT_EQ(table.leaves().size(), 2u);
  EXPECT_EQ(table.Match(0x0000)->size, 1);
  EXPECT_EQ(table.Match(0x8000)->size, 2);
  EXPECT_EQ(table.Match(0xC000), nullptr);
  table.AddCode(0xC000, 0, 3, 3);  // still open for a valid code
  EXPECT_EQ(table.Match(0xDFFF)->size, 3);
}

INSTANTIATE_TEST_SUITE_P(AddCode, BadCodeTest, ::testing::ValuesIn(kBadCodes),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(AddCode, EndOfBlockAndZrlInAcTable) {
  THuffmanTable table(0x10);
  EXPECT_THROW(table.AddCode(0x0000, kEndOfBlock, 2, 1), EJpegEx);  // end of block has size 0
  table.AddCode(0x0000, kEndOfBlock, 2, 0);
  table.AddCode(0x4000, 15, 2, 0);
  table.AddCode(0x8000, 1, 2, 0);  // 0x10: no baseline symbol, kept anyway
  ASSERT_NE(table.endOfBlock(), nullptr);
  EXPECT_EQ(table.endOfBlock()->run, kEndOfBlock);
  EXPECT_EQ(table.Find(0, 0), table.endOfBlock());
  EXPECT_EQ(table.zrl(), table.Find(15, 0));
  EXPECT_EQ(table.Find(1, 0)->length, 2);
  // A DC table knows no end of block: symbol 0 is the category 0.
  THuffmanTable dc(1);
  dc.AddCode(0x0000, 0, 2, 0);
  EXPECT_EQ(dc.endOfBlock(), nullptr);
  EXPECT_EQ(dc.Find(0, 0)->run, 0);
}

// A symbol given twice decodes from both codes; encoding keeps the first.
TEST(AddCode, RepeatedSymbolEncodesWithTheFirstCode) {
  THuffmanTable table(0);
  table.AddCode(0x8000, 0, 2, 3);  // 10
  table.AddCode(0x0000, 0, 1, 3);  // 0
  EXPECT_EQ(table.Find(0, 3), &table.leaves()[0]);
  EXPECT_EQ(table.Match(0x0000), &table.leaves()[1]);
  EXPECT_EQ(table.Match(0x8000), &table.leaves()[0]);
}

TEST(AddCode, LongCodesBeyondTheFirstBitsLookup) {
  THuffmanTable table(0x10);
  table.AddCode(0x0000, 0, 1, 1);   // 0
  table.AddCode(0xFFFE, 3, 16, 4);  // 1111111111111110
  table.AddCode(0xFF80, 2, 10, 5);  // 1111111110
  table.AddCode(0xFFC0, 1, 11, 6);  // 11111111110
  EXPECT_EQ(table.Match(0xFFFE)->size, 4);
  EXPECT_EQ(table.Match(0xFF80)->size, 5);
  EXPECT_EQ(table.Match(0xFFBF)->size, 5);
  EXPECT_EQ(table.Match(0xFFC0)->size, 6);
  EXPECT_EQ(table.Match(0xFFFF), nullptr);
  EXPECT_EQ(table.Match(0xFFE0), nullptr);
  EXPECT_EQ(table.Match(0xC000), nullptr);
  EXPECT_THROW(table.AddCode(0xFF80, 0, 9, 1), EJpegEx);  // 111111111 leads to longer codes
}

// ---- DHT bodies ----

TEST(Dht, StandardBodies) {
  Bytes body;
  DcLuminance().WriteDht(body);
  const Bytes dcLuminance = {0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0,  0, 0,
                             0,    0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(body, dcLuminance);

  body.clear();
  AcLuminance().WriteDht(body);
  ASSERT_EQ(body.size(), 179u);
  const Bytes head = {0x10, 0,    2,    1,    3,    3,    2,    4,    3,    5,
                      5,    4,    4,    0,    0,    1,    125,  0x01, 0x02, 0x03,
                      0x00, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x11};
  EXPECT_EQ(Bytes(body.begin(), body.begin() + static_cast<long>(head.size())), head);
  EXPECT_EQ(body[17 + 51], 0xF0);  // after 0x00..0x0A and runs 1 to 4
  EXPECT_EQ(body.back(), 0xFA);

  body.clear();
  AcChrominance().WriteDht(body);
  ASSERT_EQ(body.size(), 179u);
  EXPECT_EQ(body[0], 0x11);
  EXPECT_EQ(body[17], 0x00);
  EXPECT_EQ(body[17 + 31], 0xF0);  // after 0x00..0x0A and runs 1 and 2
}

TEST(Dht, RoundTripOfAllFourTablesInOneSegment) {
  Bytes data = {0xAA};  // whatever precedes the body
  for (int t = 0; t < 4; ++t) Standard().at(t).WriteDht(data);
  EXPECT_EQ(data.size(), 1 + Standard().dhtLength());
  data.push_back(0xFF);  // the next marker
  data.push_back(0xDA);

  THuffmanTables tables;
  tables.Add(0x05);  // an earlier table stays in front
  std::size_t pos = 1;
  const std::vector<int> read = tables.ReadDht(data, pos);
  EXPECT_EQ(read, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(pos, data.size() - 2);
  ASSERT_EQ(tables.Count(), 5);
  for (int t = 0; t < 4; ++t) {
    const THuffmanTable& want = Standard().at(t);
    const THuffmanTable& got = tables.at(t + 1);
    EXPECT_EQ(got.classId(), want.classId());
    ASSERT_EQ(got.leaves().size(), want.leaves().size());
    for (std::size_t i = 0; i < want.leaves().size(); ++i) {
      const auto &a = got.leaves()[i], &b = want.leaves()[i];
      EXPECT_EQ(std::tie(a.code, a.run, a.size, a.length),
                std::tie(b.code, b.run, b.size, b.length))
          << "table " << t << " leaf " << i;
    }
  }
  EXPECT_EQ(tables.Find(0x10), 3);
}

struct BadDht {
  const char* name;
  Bytes data;
};

Bytes Counts(std::initializer_list<int> counts) {
  Bytes out;
  for (int c : counts) out.push_back(static_cast<std::uint8_t>(c));
  while (out.size() < 16) out.push_back(0);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const BadDht kBadDhts[] = {
    {"Empty", {}},
    {"NoTables", Concat({{0xFF}, Counts({0, 1}), {0x00, 0xFF}})},  // FF: the next marker
    {"TruncatedCounts", {0x00, 0, 1, 5}},
    {"TruncatedSymbols", Concat({{0x00}, Counts({0, 1, 5}), {0, 1, 2}})},
    {"MoreThan256Symbols", Concat({{0x10},
                                   Counts({0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 2}),
                                   Bytes(257, 0x01),
                                   {0xFF}})},
    {"ThreeCodesOfOneBit", Concat({{0x00}, Counts({3}), {0, 1, 2, 0xFF}})},
    {"CountsOverflowLater", Concat({{0x00}, Counts({1, 2, 1}), {0, 1, 2, 3, 0xFF}})},
    {"NothingBehindTheTable", Concat({{0x00}, Counts({0, 1}), {0}})},
    {"DcSymbolBeyond16", Concat({{0x00}, Counts({0, 1}), {17, 0xFF}})},
    {"FullAtOneBitThenMore", Concat({{0x00}, Counts({2, 1}), {0, 1, 2, 0xFF}})},
    {"SecondTableTruncated", Concat({{0x00}, Counts({0, 1}), {0}, {0x01}, Counts({0, 1})})},
};

class BadDhtTest : public ::testing::TestWithParam<BadDht> {};

TEST_P(BadDhtTest, Throws) {
  THuffmanTables tables;
  std::size_t pos = 0;
  EXPECT_THROW(tables.ReadDht(GetParam().data, pos), EJpegEx);
}

INSTANTIATE_TEST_SUITE_P(ReadDht, BadDhtTest, ::testing::ValuesIn(kBadDhts),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Dht, ReadFromTheMiddleAndOutOfRangeStart) {
  const Bytes data =
      Concat({{0xFF, 0xC4, 0x00, 0x15, 0x11}, Counts({0, 1, 0, 1}), {0x00, 0x10}, {0xFF, 0xD9}});
  THuffmanTables tables;
  std::size_t pos = 4;
  EXPECT_EQ(tables.ReadDht(data, pos), std::vector<int>{0});
  EXPECT_EQ(pos, data.size() - 2);
  // The lenient symbol 0x10 (run 1, size 0) is kept and decodes as such.
  const THuffmanTable& table = tables.at(0);
  ASSERT_NE(table.Find(1, 0), nullptr);
  EXPECT_EQ(CodeText(*table.Find(1, 0)), "0100");
  Bytes bits;
  JpegBitWriter writer(bits);
  EncodeValue(table, writer, 1, 0);
  EncodeValue(table, writer, kEndOfBlock, 0);
  writer.FlushAll();
  JpegBitReader reader(bits);
  int run = 0;
  EXPECT_EQ(DecodeSymbol(table, reader, run), 0);
  EXPECT_EQ(run, 1);
  EXPECT_EQ(DecodeSymbol(table, reader, run), 0);
  EXPECT_EQ(run, kEndOfBlock);

  std::size_t beyond = data.size() + 5;
  EXPECT_THROW(tables.ReadDht(data, beyond), EJpegEx);
}

// ---- Writing ----

struct EncodeCase {
  const char* name;
  int table;  // position in the standard tables
  int run, value;
  std::string bits;
};

const EncodeCase kEncodeCases[] = {
    {"DcZero", 0, 0, 0, "00"},
    {"DcMinusOne", 0, 0, -1,
     "010"
     "0"},
    {"DcFive", 0, 0, 5,
     "100"
     "101"},
    {"DcMinusThree", 0, 0, -3,
     "011"
     "00"},
    {"DcLargest", 0, 0, 2047,
     "111111110"
     "11111111111"},
    {"DcLargestNegative", 0, 0, -2047,
     "111111110"
     "00000000000"},
    {"DcChromaOne", 1, 0, 1,
     "01"
     "1"},
    {"AcOne", 2, 0, 1,
     "00"
     "1"},
    {"AcMinusOne", 2, 0, -1,
     "00"
     "0"},
    {"AcRunOne", 2, 1, 1,
     "1111000"
     "1"},
    {"AcTwentyZerosThenOne", 2, 20, 1,
     "1111111110010000"
     "1111111110000110"
     "1"},
    {"AcSixteenZerosThenOne", 2, 16, 1,
     "1111111110010000"
     "00"
     "1"},
    {"AcThirtyTwoZerosThenMinusTwo", 2, 32, -2,
     "1111111110010000"
     "1111111110010000"
     "01"
     "01"},
    {"AcExplicitZrl", 2, 15, 0, "1111111110010000"},
    {"AcEndOfBlock", 2, kEndOfBlock, 0, "1010"},
    {"AcLargest", 2, 0, 1023,
     "111011"
     "1111111111"},
    {"AcLargestNegative", 2, 0, -1023,
     "111011"
     "0000000000"},
    {"AcChromaEndOfBlock", 3, kEndOfBlock, 0, "00"},
    {"AcChromaTwentyZerosThenOne", 3, 20, 1,
     "1111111010"
     "111111111000011"
     "1"},
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, Bits) {
  const EncodeCase& c = GetParam();
  Bytes out;
  JpegBitWriter writer(out);
  EncodeValue(Standard().at(c.table), writer, c.run, c.value);
  writer.FlushAll();
  EXPECT_EQ(out, Pack(c.bits));
}

INSTANTIATE_TEST_SUITE_P(EncodeValue, EncodeTest, ::testing::ValuesIn(kEncodeCases),
                         [](const auto& p) { return std::string(p.param.name); });

struct EncodeError {
  const char* name;
  int table, run, value;
};

const EncodeError kEncodeErrors[] = {
    {"Magnitude32768", 0, 0, 32768},
    {"MagnitudeMinus32768", 2, 0, -32768},
    {"IntMin", 2, 0, INT_MIN},
    {"DcCategoryNotInTable", 0, 0, 4096},
    {"AcCategoryNotInTable", 2, 0, 1024},
    {"EndOfBlockInDcTable", 0, kEndOfBlock, 0},
    {"RunBeyond15InDcTable", 0, 16, 1},
    {"NegativeRun", 2, -1, 1},
    {"ZeroAfterRun", 2, 3, 0},
};

class EncodeErrorTest : public ::testing::TestWithParam<EncodeError> {};

TEST_P(EncodeErrorTest, Throws) {
  const EncodeError& c = GetParam();
  Bytes out;
  JpegBitWriter writer(out);
  EXPECT_THROW(EncodeValue(Standard().at(c.table), writer, c.run, c.value), EJpegEx);
}

INSTANTIATE_TEST_SUITE_P(EncodeValue, EncodeErrorTest, ::testing::ValuesIn(kEncodeErrors),
                         [](const auto& p) { return std::string(p.param.name); });

struct WriteCase {
  const char* name;
  std::vector<std::pair<std::uint32_t, int>> writes;
  int marker;  // 0 none
  Bytes want;
};

const WriteCase kWriteCases[] = {
    {"Nothing", {}, 0, {}},
    {"WholeByte", {{0xA5, 8}}, 0, {0xA5}},
    {"FFByteIsStuffed", {{0xFF, 8}}, 0, {0xFF, 0x00}},
    {"FFBytesInsideAWord", {{0x12FF34FF, 32}}, 0, {0x12, 0xFF, 0x00, 0x34, 0xFF, 0x00}},
    {"ThreeBitsPaddedWithOnes", {{0b101, 3}}, 0, {0xBF}},
    {"PaddingMakesFF", {{0b111, 3}}, 0, {0xFF, 0x00}},
    {"HighBitsIgnored", {{0xFFFFFF01, 2}}, 0, {0x7F}},
    {"ZeroCount", {{0xFFFFFFFF, 0}, {0x05, 4}}, 0, {0x5F}},
    {"Marker", {{0, 1}}, 0xD0, {0x7F, 0xFF, 0xD0}},
    {"MarkerOnByteBoundary", {{0x3C, 8}}, 0xD9, {0x3C, 0xFF, 0xD9}},
    {"MarkerAlone", {}, 0xD9, {0xFF, 0xD9}},
};

class WriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteTest, Bytes) {
  const WriteCase& c = GetParam();
  Bytes out;
  JpegBitWriter writer(out);
  for (auto [bits, count] : c.writes) writer.WriteBits(bits, count);
  if (c.marker) {
    writer.WriteMarker(static_cast<std::uint8_t>(c.marker));
  } else {
    writer.FlushAll();
  }
  EXPECT_EQ(out, c.want);
}

INSTANTIATE_TEST_SUITE_P(JpegBitWriter, WriteTest, ::testing::ValuesIn(kWriteCases),
                         [](const auto& p) { return std::string(p.param.name); });

// Random writes of 0..32 bits and runs of whole words, rich in one bits so FF bytes are
// frequent, against the model.
TEST(JpegBitWriterTest, MatchesBitModel) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    Bytes out;
    JpegBitWriter writer(out);
    std::string model;
    const int writes = static_cast<int>(rng() % 300);
    for (int n = 0; n < writes; ++n) {
      const int count = static_cast<int>(rng() % 33);
      const std::uint32_t bits = rng() % 3 ? 0xFFFFFFFFu ^ (1u << (rng() % 32)) : rng();
      if (rng() % 8 == 0) {
        // A run of whole words, with or without bits pending before it.
        std::vector<std::uint32_t> words(rng() % 5, bits);
        for (auto& w : words) w ^= rng() % 2 ? 0u : rng();
        writer.WriteWords(words);
        for (const auto w : words) model += Binary(w, 32);
        continue;
      }
      writer.WriteBits(bits, count);
      model += Binary(bits, count);
    }
    writer.FlushAll();
    ASSERT_EQ(out, Pack(model)) << "round " << round;
  }
}

// ---- Reading ----

// Entries a reader gives: bits as 0/1, markers as their code byte.
std::vector<int> BitsOf(std::initializer_list<int> bytes) {
  std::vector<int> out;
  for (int b : bytes) {
    for (int i = 7; i >= 0; --i) out.push_back((b >> i) & 1);
  }
  return out;
}

std::vector<int> Join(std::initializer_list<std::vector<int>> parts) {
  std::vector<int> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct ReadCase {
  const char* name;
  Bytes data;
  std::vector<int> entries;  // then the end of the data
};

const ReadCase kReadCases[] = {
    {"Empty", {}, {}},
    {"StuffedFF", {0xFF, 0x00}, BitsOf({0xFF})},
    {"Marker", {0xA5, 0xFF, 0xD3, 0x0F}, Join({BitsOf({0xA5}), {0xD3}, BitsOf({0x0F})})},
    {"LoneFFAtTheEnd", {0x0F, 0xFF}, Join({BitsOf({0x0F}), {0xD9}})},
    {"FillBytesBeforeAMarker", {0x0F, 0xFF, 0xFF, 0xFF, 0xD9}, Join({BitsOf({0x0F}), {0xD9}})},
    {"FillByteBeforeStuffedFF", {0xFF, 0xFF, 0x00, 0x01}, BitsOf({0xFF, 0x01})},
    {"TwoMarkersInARow", {0xFF, 0xD0, 0xFF, 0xD1}, {0xD0, 0xD1}},
    {"LongRun",
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFF, 0x00, 10, 11},
     BitsOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFF, 10, 11})},
};

class ReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadTest, Entries) {
  const ReadCase& c = GetParam();
  JpegBitReader reader(c.data);
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    ASSERT_EQ(reader.ReadEntry(), c.entries[i]) << "entry " << i;
  }
  EXPECT_EQ(reader.position(), c.data.size());
  EXPECT_THROW(reader.ReadEntry(), EJpegEx);
}

INSTANTIATE_TEST_SUITE_P(JpegBitReader, ReadTest, ::testing::ValuesIn(kReadCases),
                         [](const auto& p) { return std::string(p.param.name); });

// Random streams of data bytes, stuffed FF, markers, fill bytes and a lone closing FF, read in
// random steps of ReadEntry, ReadBits and PendingMarker, against the model.
TEST(JpegBitReaderTest, MatchesEntryModel) {
  std::mt19937 rng(29);
  for (int round = 0; round < 300; ++round) {
    Bytes data;
    std::vector<int> entries;
    std::vector<std::size_t> after;  // byte position behind each entry's byte (or marker)
    const int tokens = static_cast<int>(rng() % 60);
    for (int n = 0; n < tokens; ++n) {
      const int kind = static_cast<int>(rng() % 10);
      if (kind < 6) {
        const auto byte = static_cast<std::uint8_t>(rng() % 255);
        data.push_back(byte);
        for (int i = 7; i >= 0; --i) entries.push_back((byte >> i) & 1);
      } else if (kind < 8) {
        data.insert(data.end(), {0xFF, 0x00});
        for (int i = 0; i < 8; ++i) entries.push_back(1);
      } else {
        if (kind == 9) data.push_back(0xFF);  // fill byte
        data.push_back(0xFF);
        const int code = 0xD0 + static_cast<int>(rng() % 10);
        data.push_back(static_cast<std::uint8_t>(code));
        entries.push_back(code);
      }
    }
    const bool loneFF = rng() % 4 == 0;
    if (loneFF) {
      data.push_back(0xFF);
      entries.push_back(0xD9);
    }

    JpegBitReader reader(data);
    std::size_t i = 0;
    while (i < entries.size()) {
      const int step = static_cast<int>(rng() % 3);
      if (step == 0) {
        ASSERT_EQ(reader.ReadEntry(), entries[i]) << "round " << round << " entry " << i;
        ++i;
      } else if (step == 1) {
        const int n = static_cast<int>(rng() % 17);
        std::size_t bits = 0;
        while (bits < static_cast<std::size_t>(n) && i + bits < entries.size() &&
               entries[i + bits] < 2) {
          ++bits;
        }
        if (n == 0) {
          EXPECT_EQ(reader.ReadBits(0), 0);
        } else if (bits == static_cast<std::size_t>(n)) {
          std::int32_t want = 0;
          for (int k = 0; k < n; ++k) want = want * 2 + entries[i + static_cast<std::size_t>(k)];
          ASSERT_EQ(reader.ReadBits(n), want) << "round " << round << " entry " << i;
          i += bits;
        } else if (i + bits < entries.size()) {  // a marker in the way: the bits before it go
          ASSERT_EQ(reader.ReadBits(n), -1) << "round " << round << " entry " << i;
          i += bits;
          ASSERT_EQ(reader.PendingMarker(), entries[i]);
        } else {
          break;  // the end of the data: checked below
        }
      } else {
        ASSERT_EQ(reader.PendingMarker(), entries[i] >= 2 ? entries[i] : 0);
      }
    }
    EXPECT_THROW(
        {
          while (true) reader.ReadEntry();
        },
        EJpegEx);
  }
}

struct PositionStep {
  int bits;  // bits to read with ReadBits; -1 ReadEntry
  std::int32_t value;
  std::size_t position;
};

// AB FF00 CD FFD0 EF: the position is behind every byte a consumed bit came from.
TEST(JpegBitReaderTest, Position) {
  const Bytes data = {0xAB, 0xFF, 0x00, 0xCD, 0xFF, 0xD0, 0xEF};
  const std::vector<PositionStep> steps = {
      {4, 0xA, 1},  {4, 0xB, 1},   {1, 1, 3},     {7, 0x7F, 3},
      {8, 0xCD, 4}, {-1, 0xD0, 6}, {3, 0b111, 7}, {5, 0b01111, 7},
  };
  JpegBitReader reader(data);
  EXPECT_EQ(reader.position(), 0u);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const auto& s = steps[i];
    const std::int32_t got = s.bits < 0 ? reader.ReadEntry() : reader.ReadBits(s.bits);
    EXPECT_EQ(got, s.value) << "step " << i;
    EXPECT_EQ(reader.position(), s.position) << "step " << i;
  }
  // A marker met but not taken leaves the position on its FF.
  JpegBitReader pending(data, 3);
  EXPECT_EQ(pending.position(), 3u);
  EXPECT_EQ(pending.ReadBits(8), 0xCD);
  EXPECT_EQ(pending.PendingMarker(), 0xD0);
  EXPECT_EQ(pending.position(), 4u);
  EXPECT_EQ(JpegBitReader(data, 99).position(), data.size());
}

// ---- Decoding ----

TEST(DecodeSymbolTest, MarkerInsteadOfASymbol) {
  // DC luminance 5 (100 101), then padding, then RST3, then DC luminance 0 (00).
  Bytes data = Pack("100101");
  data.insert(data.end(), {0xFF, 0xD3});
  const Bytes tail = Pack("00");
  data.insert(data.end(), tail.begin(), tail.end());
  JpegBitReader reader(data);
  int run = 7;
  EXPECT_EQ(DecodeSymbol(DcLuminance(), reader, run), 5);
  EXPECT_EQ(run, 0);
  EXPECT_EQ(DecodeSymbol(DcLuminance(), reader, run), 0xFFD3);
  EXPECT_EQ(run, -1);
  EXPECT_EQ(reader.position(), 3u);  // the marker is consumed
  EXPECT_EQ(DecodeSymbol(DcLuminance(), reader, run), 0);
  EXPECT_EQ(run, 0);
}

TEST(DecodeSymbolTest, MarkerInsideTheValueBits) {
  // AC luminance 0x0A (111011) wants 10 value bits; only two come before the marker.
  Bytes data = Pack("11101101");
  data.insert(data.end(), {0xFF, 0xD0, 0x00});
  JpegBitReader reader(data);
  int run = 0;
  EXPECT_EQ(DecodeSymbol(AcLuminance(), reader, run), 0xFFD0);
  EXPECT_EQ(run, -1);
  EXPECT_EQ(DecodeSymbol(AcLuminance(), reader, run), -1);  // 0x01 (00) and the value bit 0
  EXPECT_EQ(run, 0);
}

TEST(DecodeSymbolTest, MarkerInsideALongCode) {
  // The first 8 bits of the 16-bit ZRL code, then EOI.
  const Bytes data = {0xFF, 0x00, 0xFF, 0xD9};
  JpegBitReader reader(data);
  int run = 0;
  EXPECT_EQ(DecodeSymbol(AcLuminance(), reader, run), 0xFFD9);
  EXPECT_EQ(run, -1);
  EXPECT_EQ(reader.position(), 4u);
}

TEST(DecodeSymbolTest, ZrlEndOfBlockAndExtend) {
  Bytes data;
  JpegBitWriter writer(data);
  EncodeValue(AcLuminance(), writer, 15, 0);  // ZRL
  EncodeValue(AcLuminance(), writer, 2, -5);
  EncodeValue(AcLuminance(), writer, kEndOfBlock, 0);
  writer.FlushAll();
  JpegBitReader reader(data);
  int run = 0;
  EXPECT_EQ(DecodeSymbol(AcLuminance(), reader, run), 0);
  EXPECT_EQ(run, 15);
  EXPECT_EQ(DecodeSymbol(AcLuminance(), reader, run), -5);
  EXPECT_EQ(run, 2);
  EXPECT_EQ(DecodeSymbol(AcLuminance(), reader, run), 0);
  EXPECT_EQ(run, kEndOfBlock);
}

struct DecodeError {
  const char* name;
  Bytes data;
};

const DecodeError kDecodeErrors[] = {
    {"NoData", {}},
    {"NoCodeMatches", {0xFF, 0x00, 0xFF, 0x00, 0x12}},  // 16 one bits: beyond the last code
    {"NoCodeMatchesBeforeAMarker", {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xD0}},
    {"DataEndsInsideACode", {0xFF, 0x00}},
    {"DataEndsInsideTheValue", {0xEC}},  // 111011 then 2 of 10 value bits
};

class DecodeErrorTest : public ::testing::TestWithParam<DecodeError> {};

TEST_P(DecodeErrorTest, Throws) {
  JpegBitReader reader(GetParam().data);
  int run = 0;
  EXPECT_THROW(DecodeSymbol(AcLuminance(), reader, run), EJpegEx);
}

INSTANTIATE_TEST_SUITE_P(DecodeSymbol, DecodeErrorTest, ::testing::ValuesIn(kDecodeErrors),
                         [](const auto& p) { return std::string(p.param.name); });

// Blocks of random coefficients for three components with restart markers, written and read
// back: the decoder sees the same symbols and each restart marker in turn.
TEST(RoundTrip, CoefficientsWithRestartMarkers) {
  std::mt19937 rng(41);
  auto value = [&](int maxSize) {
    const int size = 1 + static_cast<int>(rng() % static_cast<unsigned>(maxSize));
    const int magnitude = (1 << (size - 1)) + static_cast<int>(rng() % (1u << (size - 1)));
    return rng() % 2 ? magnitude : -magnitude;
  };
  struct Symbol {
    int table, run, value;
  };
  for (int restartInterval : {0, 1, 3}) {
    std::vector<std::vector<Symbol>> mcus;
    for (int m = 0; m < 400; ++m) {
      std::vector<Symbol> mcu;
      for (int component = 0; component < 3; ++component) {
        const int dc = component == 0 ? 0 : 1, ac = component == 0 ? 2 : 3;
        mcu.push_back({dc, 0, rng() % 5 == 0 ? 0 : value(11)});
        const int count = static_cast<int>(rng() % 12);
        for (int n = 0; n < count; ++n) {
          const int run =
              rng() % 8 == 0 ? static_cast<int>(rng() % 40) : static_cast<int>(rng() % 4);
          mcu.push_back({ac, run, value(10)});
        }
        if (rng() % 4) mcu.push_back({ac, kEndOfBlock, 0});
      }
      mcus.push_back(std::move(mcu));
    }

    Bytes data = {0x12, 0x34};  // whatever precedes the scan
    JpegBitWriter writer(data);
    for (std::size_t m = 0; m < mcus.size(); ++m) {
      for (const Symbol& s : mcus[m]) EncodeValue(Standard().at(s.table), writer, s.run, s.value);
      if (restartInterval && (m + 1) % restartInterval == 0 && m + 1 < mcus.size()) {
        writer.WriteMarker(static_cast<std::uint8_t>(0xD0 + (m / restartInterval) % 8));
      }
    }
    writer.WriteMarker(0xD9);
    data.insert(data.end(), {0xAB, 0xCD});  // whatever follows EOI

    JpegBitReader reader(data, 2);
    for (std::size_t m = 0; m < mcus.size(); ++m) {
      for (const Symbol& s : mcus[m]) {
        // Runs above 15 arrive as ZRL symbols first.
        int remaining = s.run;
        while (remaining != kEndOfBlock && remaining > 15) {
          int run = 0;
          ASSERT_EQ(DecodeSymbol(Standard().at(s.table), reader, run), 0);
          ASSERT_EQ(run, 15);
          remaining -= 16;
        }
        int run = 0;
        ASSERT_EQ(DecodeSymbol(Standard().at(s.table), reader, run), s.value)
            << "interval " << restartInterval << " MCU " << m;
        ASSERT_EQ(run, remaining);
      }
      if (restartInterval && (m + 1) % restartInterval == 0 && m + 1 < mcus.size()) {
        int entry = 0;
        while ((entry = reader.ReadEntry()) < 2) ASSERT_EQ(entry, 1);  // padding is ones
        ASSERT_EQ(entry, 0xD0 + static_cast<int>((m / restartInterval) % 8));
      }
    }
    int run = 0;
    EXPECT_EQ(DecodeSymbol(Standard().at(0), reader, run), 0xFFD9);
    EXPECT_EQ(run, -1);
    EXPECT_EQ(reader.position(), data.size() - 2);
  }
}

}  // namespace
}  // namespace vexo::jpeg
