// The Exif reader and writer on blocks built here from commented descriptions: where the block
// is found, what a damaged block yields, the exact bytes of a small block, the round trip of
// every directory in both byte orders, the limits of the segment, and a mutation sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "exif/exif.h"
#include "jpeg/jpeg_ex.h"
#include "support/exif_block.h"
#include "support/reference.h"

namespace vexo {
namespace {

using test::Bytes;
using test::exifJpeg;
using test::exifPayload;
using test::jpegWith;
using test::segment;
using test::Tiff;

// A real JPEG of w × h from our encoder (no APP1).
Bytes encodedJpeg(int w, int h) {
  Bitmap bitmap(w, h, 24);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) bitmap.row(y)[3 * x] = static_cast<std::uint8_t>(x * 7 + y);
  TJpegEx jpeg;
  jpeg.assign(std::move(bitmap));
  jpeg.Encode();
  return jpeg.compressedData();
}

std::vector<std::uint16_t> tagsOf(const TEntryItems& items) {
  std::vector<std::uint16_t> tags;
  for (const auto& e : items) tags.push_back(e.tag);
  return tags;
}

// The entries whose values a write keeps: all but the offsets it recomputes.
std::vector<const TEntryItem*> carried(const TEntryItems& items) {
  std::vector<const TEntryItem*> out;
  for (const auto& e : items) {
    const bool offset =
        (e.kind == ExifDirectory::kImage &&
         (e.tag == kTagExifPointer || e.tag == kTagGpsPointer || e.tag == kTagThumbnailOffset)) ||
        (e.kind == ExifDirectory::kExif && e.tag == kTagInteropPointer);
    if (!offset) out.push_back(&e);
  }
  return out;
}

// A written block read back holds the same entries, in the same order, with the same values.
void expectSameEntries(const TEntryItems& written, const TEntryItems& read) {
  const auto a = carried(written), b = carried(read);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(b[i]->tag, a[i]->tag);
    EXPECT_EQ(b[i]->type, a[i]->type);
    EXPECT_EQ(b[i]->kind, a[i]->kind);
    EXPECT_EQ(b[i]->data, a[i]->data) << std::hex << a[i]->tag;
  }
}

// ---- finding the block ----

struct SearchCase {
  const char* name;
  Bytes jpeg;
  std::int64_t position;  // of FF E1, -1: no Exif
};

const Bytes kBlock = Tiff(false).u16(1).inPlace(0x0112, 3, 1, "\x06").u32(0).bytes();

class ExifSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(ExifSearch, FindsTheFirstExifApp1BeforeTheScan) {
  TExifInfo info;
  const auto& c = GetParam();
  if (c.position < 0) {
    try {
      info.readFrom(c.jpeg);
      FAIL() << "no error";
    } catch (const EExifError& e) {
      EXPECT_EQ(e.code(), kExifNotExif);
    }
    return;
  }
  info.readFrom(c.jpeg);
  EXPECT_EQ(info.App1Position(), c.position);
  ASSERT_EQ(info.Main().size(), 1u);
  EXPECT_EQ(info.Main()[0].integer(0), 6);
}

const Bytes kJfif = segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 0, 0});
const Bytes kXmp = segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.'});
const Bytes kIcc = segment(0xE2, Bytes(1998, 0x11));
const Bytes kExif = segment(0xE1, exifPayload(kBlock));

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExifSearch,
    ::testing::Values(SearchCase{"RightAfterSoi", jpegWith({kExif}), 2},
                      SearchCase{"BehindJfif", jpegWith({kJfif, kExif}), 20},
                      SearchCase{"BehindXmpAndIcc", jpegWith({kXmp, kIcc, kExif}), 2 + 14 + 2002},
                      SearchCase{"BehindFillBytes",
                                 [] {
                                   Bytes j{0xFF, 0xD8, 0xFF, 0xFF};
                                   j.insert(j.end(), kExif.begin(), kExif.end());
                                   return j;
                                 }(),
                                 4},
                      SearchCase{"OnlyXmp", jpegWith({kXmp}), -1},
                      SearchCase{"BehindTheScan",
                                 [] {
                                   Bytes j = jpegWith({kJfif});
                                   j.insert(j.end() - 2, kExif.begin(), kExif.end());
                                   return j;
                                 }(),
                                 -1},
                      SearchCase{"NotAJpeg", Bytes{0x89, 'P', 'N', 'G'}, -1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ExifSearch, JoinsTheExifApp1sThatContinueTheBlock) {
  // IFD0 with one ASCII entry whose 12 bytes lie in a second Exif APP1.
  Tiff first(true);
  first.u16(1).entry(0x010E, 2, 12, 26).u32(0).raw("first");
  const Bytes second = segment(0xE1, exifPayload(Bytes{'s', 'e', 'c', 'o', 'n', 'd', 0}));
  TExifInfo info;
  info.readFrom(jpegWith({segment(0xE1, exifPayload(first.bytes())), second}));
  ASSERT_EQ(info.Main().size(), 1u);
  EXPECT_EQ(info.Main()[0].text(), "firstsecond");
}

// ---- reading damaged blocks ----

struct DamageCase {
  const char* name;
  Tiff tiff;
  std::vector<std::uint16_t> main, thumbnail;  // tags read
};

class ExifDamage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ExifDamage, ReadsWhatCanBeLocatedAndEndsCleanly) {
  TExifInfo info;
  info.readFrom(exifJpeg(GetParam().tiff));
  EXPECT_EQ(tagsOf(info.Main()), GetParam().main);
  EXPECT_EQ(tagsOf(info.Thumbnail()), GetParam().thumbnail);
  // Whatever was read writes a block that reads back the same; with nothing to carry the JPEG
  // stays as it was.
  const Bytes jpeg = encodedJpeg(8, 8);
  const Bytes out = info.WriteInto(jpeg, false);
  if (info.Main().empty()) {
    EXPECT_EQ(out, jpeg);
    return;
  }
  TExifInfo again;
  again.readFrom(out);
  expectSameEntries(info.Main(), again.Main());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ExifDamage,
    ::testing::Values(
        // An entry of type 13 has no size: dropped, its neighbours kept.
        DamageCase{"UnknownTypeDropped",
                   Tiff(false)
                       .u16(3)
                       .inPlace(0x0100, 3, 1, "\x10")
                       .entry(0x0101, 13, 1, 8)
                       .inPlace(0x0102, 3, 1, "\x08")
                       .u32(0),
                   {0x0100, 0x0102},
                   {}},
        // An entry whose 100 bytes would pass the end of the block: dropped.
        DamageCase{
            "DataPastTheBlockDropped",
            Tiff(true).u16(2).entry(0x010F, 2, 100, 30).inPlace(0x0112, 3, 1, "\0\x01").u32(0),
            {0x0112},
            {}},
        // IFD1's offset points back at IFD0: the chain ends, no thumbnail directory.
        DamageCase{"ThumbnailLoopsToIfd0",
                   Tiff(false).u16(1).inPlace(0x0112, 3, 1, "\x01").u32(8),
                   {0x0112},
                   {}},
        // The Exif pointer points outside the block: no Exif directory (the pointer is kept
        // as read, and dropped when written since it leads nowhere).
        DamageCase{
            "ExifPointerOutside",
            Tiff(true).u16(2).entry(0x8769, 4, 1, 5000).inPlace(0x0112, 3, 1, "\0\x01").u32(0),
            {0x8769, 0x0112},
            {}},
        // The Exif directory's interoperability pointer leads back to the Exif directory.
        DamageCase{"InteropLoopsToExif",
                   Tiff(false)
                       .u16(1)
                       .entry(0x8769, 4, 1, 26)
                       .u32(0)
                       .u16(2)
                       .entry(0xA005, 4, 1, 26)
                       .inPlace(0x9000, 7, 4, "0230")
                       .u32(0),
                   {0x8769, 0xA005, 0x9000},
                   {}},
        // IFD0 claims 32 entries, the block holds two and then bytes that are not entries:
        // the two are kept, the first entry of an unknown type ends the directory.
        DamageCase{"CutDirectoryKeepsWhatFits",
                   Tiff(true)
                       .u16(32)
                       .inPlace(0x011A, 3, 1, "\0\x48")
                       .inPlace(0x0128, 3, 1, "\0\x02")
                       .entry(0, 0, 0x0EC3, 0)
                       .entry(0x1234, 1, 500, 0xA0030004),
                   {0x011A, 0x0128},
                   {}},
        // The header ends before the offset of IFD0.
        DamageCase{"CutHeader", Tiff(true), {}, {}},
        // IFD0 points on to an IFD1 whose Exif pointer leads to a directory of its own.
        DamageCase{"ThumbnailWithExif",
                   Tiff(false)
                       .u16(1)
                       .inPlace(0x0112, 3, 1, "\x01")
                       .u32(26)
                       .u16(1)
                       .entry(0x8769, 4, 1, 44)
                       .u32(0)
                       .u16(1)
                       .inPlace(0x9000, 7, 4, "0230")
                       .u32(0),
                   {0x0112},
                   {0x8769, 0x9000}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ExifRead, AnyByteOrderMarkButIiReadsAndWritesAsMm) {
  Tiff tiff(true);
  tiff.u16(1).inPlace(0x0112, 3, 1, std::string("\0\x03", 2)).u32(0);
  Bytes bytes = tiff.bytes();
  bytes[0] = bytes[1] = 0xFF;
  TExifInfo info;
  info.readFrom(jpegWith({segment(0xE1, exifPayload(bytes))}));
  EXPECT_EQ(info.ByteOrder(), 0x4D4D);
  EXPECT_EQ(info.Main()[0].integer(0), 3);
  const Bytes out = info.WriteInto(encodedJpeg(8, 8), false);
  EXPECT_EQ(out[12], 'M');
  EXPECT_EQ(out[13], 'M');
}

TEST(ExifRead, EntriesHoldingTooMuchFailTheBlock) {
  // 2000 entries all pointing at the same 30000 bytes would hold 60 MB.
  Tiff tiff(false);
  tiff.u16(2000);
  const std::uint32_t data = 8 + 2 + 2000 * 12 + 4;
  for (int i = 0; i < 2000; ++i) tiff.entry(0x9286, 7, 30000, data);
  tiff.u32(0).raw(std::string(30000, 'x'));
  TExifInfo info;
  try {
    info.readFrom(exifJpeg(tiff));
    FAIL() << "no error";
  } catch (const EExifError& e) {
    EXPECT_EQ(e.code(), kExifInvalidStream);
    EXPECT_STREQ(e.what(), "TExifInfo: 不正なストリーム");
  }
  // The error handler may suppress it.
  info.OnError = [](TExifInfo&, int code, bool& raise) { raise = code != kExifInvalidStream; };
  EXPECT_NO_THROW(info.readFrom(exifJpeg(tiff)));
}

TEST(ExifRead, FileErrors) {
  test::TempDir dir;
  TExifInfo info;
  int reported = 0;
  info.OnError = [&](TExifInfo&, int code, bool&) { reported = code; };
  EXPECT_THROW(info.setImageFileName(dir.file("missing.jpg")), EExifError);
  EXPECT_EQ(reported, kExifFileNotFound);
  test::writeFile(dir.file("plain.jpg"), jpegWith({kJfif}));
  EXPECT_FALSE(TExifInfo::HasExif(dir.file("plain.jpg")));
  EXPECT_THROW(info.setImageFileName(dir.file("plain.jpg")), EExifError);
  EXPECT_EQ(reported, kExifNotExif);
  // A block behind 300 KB of other segments is found in the file.
  Bytes big{0xFF, 0xD8};
  for (int i = 0; i < 5; ++i) {
    const Bytes app2 = segment(0xE2, Bytes(65000, 0x22));
    big.insert(big.end(), app2.begin(), app2.end());
  }
  big.insert(big.end(), kExif.begin(), kExif.end());
  test::writeFile(dir.file("icc.jpg"), big);
  EXPECT_TRUE(TExifInfo::HasExif(dir.file("icc.jpg")));
  info.setImageFileName(dir.file("icc.jpg"));
  EXPECT_EQ(info.App1Position(), 2 + 5 * 65004);
  EXPECT_EQ(info.Main().size(), 1u);
}

TEST(ExifErrors, MessagesOfEveryCode) {
  const std::pair<int, const char*> rows[] = {{-1, "ファイルが見つかりません"},
                                              {-2, "Exif、またはDCF形式ではありません"},
                                              {-3, "ユーザコメントは不明な形式です"},
                                              {-4, "ASCII文字以外は書き込みできません"},
                                              {-5, "不正なストリーム"},
                                              {-6, "不正なインデックス"},
                                              {-7, "タグが見つかりません"},
                                              {-8, "日時は不明です"},
                                              {-9, "不明なエラーです"},
                                              {1, "不明なエラーです"}};
  for (const auto& [code, text] : rows)
    EXPECT_EQ(std::string(EExifError(code).what()), std::string("TExifInfo: ") + text) << code;
  EXPECT_STREQ(EExifError::NotAnImage().what(), "TExifInfo: 有効な画像ファイルではありません");
  TExifInfo info;
  EXPECT_THROW(info.WriteInto(Bytes{0x89, 'P', 'N', 'G'}, false), EExifError);
}

// ---- writing ----

TEST(ExifWrite, SmallBlockByteForByte) {
  // IFD0: Orientation 6 in place, and an ASCII stored with count 20 that holds "Vexo1" and
  // padding NULs, written with count 6 in the data area behind the directory.
  Tiff tiff(false);
  tiff.u16(2).inPlace(0x0112, 3, 1, "\x06").entry(0x010F, 2, 20, 38).u32(0);
  tiff.raw(std::string("Vexo1\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20));
  TExifInfo info;
  info.readFrom(exifJpeg(tiff));
  const Bytes jpeg = encodedJpeg(8, 8);
  const Bytes out = info.WriteInto(jpeg, false);
  const Bytes want = {
      0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x34, 'E',  'x',  'i',  'f',  0,    0,  // length 16 + 36
      'I',  'I',  0x2A, 0x00, 0x08, 0x00, 0x00, 0x00,                       // TIFF header
      0x02, 0x00,                                                           // two entries
      0x12, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
      0x0F, 0x01, 0x02, 0x00, 0x06, 0x00, 0x00, 0x00, 0x26, 0x00, 0x00, 0x00,  // data at 38
      0x00, 0x00, 0x00, 0x00,                                                  // no IFD1
      'V',  'e',  'x',  'o',  '1',  0};
  ASSERT_GE(out.size(), want.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(want.size())), want);
  EXPECT_EQ(Bytes(out.begin() + static_cast<long>(want.size()), out.end()),
            Bytes(jpeg.begin() + 2, jpeg.end()));
}

// IFD0 (ASCII, RATIONAL, pointers), Exif (UNDEFINED, SRATIONAL, DOUBLE, interop pointer), GPS
// (BYTE, RATIONAL triple), interoperability (ASCII in place) and IFD1 (its JPEG tags).
Tiff fullBlock(bool big) {
  Tiff t(big);
  // IFD0 at 8, 4 entries, then IFD1's offset; data from 62.
  t.u16(4)
      .entry(0x010F, 2, 6, 62)
      .entry(0x011A, 5, 1, 68)
      .entry(0x8769, 4, 1, 76)
      .entry(0x8825, 4, 1, 140)
      .u32(212);
  t.raw(std::string("Canon\0", 6)).u32(72).u32(1);  // 62, 68
  // Exif at 76, 4 entries; data from 130. The SRATIONAL's data at offset 0 (the header) is
  // a legal place.
  t.u16(4)
      .entry(0x927C, 7, 5, 130)
      .entry(0x9204, 10, 1, 0)
      .entry(0xA005, 4, 1, 170)
      .inPlace(0x9000, 7, 4, "0231")
      .u32(0);
  t.raw("maker").raw("pad..");  // 130, then 5 bytes nobody points at
  // GPS at 140, 2 entries; its RATIONAL triple behind the interoperability directory.
  t.u16(2).inPlace(0x0000, 1, 4, "\x02\x03\0\0").entry(0x0002, 5, 3, 188).u32(0);
  t.u16(1).inPlace(0x0001, 2, 4, "R98").u32(0);     // interoperability at 170
  t.u32(35).u32(1).u32(41).u32(1).u32(2).u32(100);  // 188
  // IFD1 at 212: JPEG compression and an old thumbnail offset.
  t.u16(2).entry(0x0103, 3, 1, big ? 0x00060000 : 6).entry(0x0201, 4, 1, 400).u32(0);
  return t;
}

class ExifRoundTrip : public ::testing::TestWithParam<bool> {};

TEST_P(ExifRoundTrip, EveryDirectoryReadsBackTheSame) {
  TExifInfo info;
  info.readFrom(exifJpeg(fullBlock(GetParam())));
  ASSERT_EQ(tagsOf(info.Main()),
            (std::vector<std::uint16_t>{0x010F, 0x011A, 0x8769, 0x8825, 0x927C, 0x9204, 0xA005,
                                        0x9000, 0x0000, 0x0002, 0x0001}));
  EXPECT_EQ(tagsOf(info.Thumbnail()), (std::vector<std::uint16_t>{0x0103, 0x0201}));
  EXPECT_EQ(info.Main()[0].text(), "Canon");
  EXPECT_EQ(info.Main()[9].rational(2).denominator, 100);

  TExifInfo back;
  back.readFrom(info.WriteInto(encodedJpeg(8, 8), false));
  EXPECT_EQ(back.ByteOrder(), GetParam() ? 0x4D4D : 0x4949);
  EXPECT_TRUE(back.Thumbnail().empty());
  EXPECT_EQ(tagsOf(back.Main()), tagsOf(info.Main()));
  expectSameEntries(info.Main(), back.Main());

  // With a thumbnail: IFD1 gets the JPEG's length and offset, and the bytes are there.
  const Bytes jpeg = encodedJpeg(320, 200);
  TExifInfo withThumb;
  const Bytes out = info.WriteInto(jpeg, true);
  withThumb.readFrom(out);
  const TEntryItem* offset = withThumb.Thumbnail().find(kTagThumbnailOffset, ExifDirectory::kImage);
  const TEntryItem* length = withThumb.Thumbnail().find(kTagThumbnailLength, ExifDirectory::kImage);
  ASSERT_TRUE(offset && length);
  EXPECT_EQ(tagsOf(withThumb.Thumbnail()), (std::vector<std::uint16_t>{0x0103, 0x0201, 0x0202}));
  const auto start = static_cast<std::size_t>(withThumb.Main().TiffBase + offset->integer(0));
  const auto size = static_cast<std::size_t>(length->integer(0));
  ASSERT_LE(start + size, out.size());
  const auto dims = ScanJpegSize(std::span(out).subspan(start, size));
  ASSERT_TRUE(dims);
  EXPECT_EQ(*dims, (std::pair<int, int>{160, 100}));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ExifRoundTrip, ::testing::Bool(),
                         [](const auto& row) { return row.param ? "MM" : "II"; });

TEST(ExifWrite, ReplacesTheExifApp1OfTheOutput) {
  TExifInfo info;
  info.readFrom(exifJpeg(Tiff(false).u16(1).inPlace(0x0112, 3, 1, "\x08").u32(0)));
  const Bytes jpeg = encodedJpeg(8, 8);
  const Bytes once = info.WriteInto(jpeg, false);
  TExifInfo other;
  other.readFrom(exifJpeg(Tiff(true).u16(1).inPlace(0x0131, 2, 4, "Vx1").u32(0)));
  const Bytes twice = other.WriteInto(once, false);
  TExifInfo back;
  back.readFrom(twice);
  EXPECT_EQ(tagsOf(back.Main()), std::vector<std::uint16_t>{0x0131});
  EXPECT_EQ(twice.size(), jpeg.size() + 2 + 2 + 6 + 8 + 18);
}

TEST(ExifWrite, BlocksThatCannotFitInTheSegment) {
  // Two entries of 33000 bytes share their data in the source but not in the output.
  Tiff shared(false);
  const std::uint32_t data = 8 + 2 + 24 + 4;
  shared.u16(2).entry(0x927C, 7, 33000, data).entry(0x9286, 7, 33000, data).u32(0);
  shared.raw(std::string(33000, 'm'));
  TExifInfo info;
  info.readFrom(exifJpeg(shared));
  std::vector<std::string> warnings;
  info.OnWarning = [&](std::string_view w) { warnings.emplace_back(w); };
  const Bytes jpeg = encodedJpeg(64, 48);
  EXPECT_EQ(info.WriteInto(jpeg, true), jpeg);
  EXPECT_EQ(warnings,
            std::vector<std::string>{"Exif情報が65535バイトを超えるため保存されませんでした"});

  // A block that fits only without its new thumbnail keeps the block and drops the thumbnail.
  Tiff big(false);
  big.u16(1).entry(0x927C, 7, 65000, 8 + 2 + 12 + 4).u32(0).raw(std::string(65000, 'm'));
  TExifInfo large;
  large.readFrom(exifJpeg(big));
  warnings.clear();
  large.OnWarning = info.OnWarning;
  TExifInfo back;
  back.readFrom(large.WriteInto(jpeg, true));
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(back.Main().size(), 1u);
  EXPECT_TRUE(back.Thumbnail().empty());
}

TEST(ExifThumbnail, SizeIsAtMost160By120AndNeverEnlarged) {
  const std::array<int, 4> rows[] = {{640, 480, 160, 120}, {100, 50, 100, 50},
                                     {480, 640, 90, 120},  {4608, 3456, 160, 120},
                                     {1000, 300, 160, 48}, {30000, 2, 160, 1}};
  for (const auto& [w, h, tw, th] : rows)
    EXPECT_EQ(ExifThumbnailSize(w, h), (std::array<int, 2>{tw, th})) << w << "x" << h;
  EXPECT_TRUE(MakeExifThumbnail(Bytes{0xFF, 0xD8, 0xFF, 0xD9}).empty());
}

TEST(ExifOrientation, TheEightFormAGroup) {
  for (int a = 1; a <= 8; ++a) {
    const Orientation o = Orientation::FromExif(a);
    EXPECT_EQ(o.exif(), a);
    EXPECT_EQ(o.then(o.inverse()), Orientation());
    for (int b = 1; b <= 8; ++b) {
      // Conjugating by any edit keeps the identity and half turn (they commute with all).
      const Orientation e = Orientation::FromExif(b);
      if (a == 1 || a == 3) {
        EXPECT_EQ(e.inverse().then(o).then(e), o);
      }
    }
  }
  // A quarter turn clockwise followed by a mirror keeps the top-left corner: the transpose.
  EXPECT_EQ(Orientation::FromExif(6).then(Orientation::FromExif(2)).exif(), 5);
}

// ---- mutation sweep ----

TEST(ExifSweep, EveryMutationReadsOrFailsWithTheUnitsErrorAndWritesReadably) {
  const Bytes jpeg = encodedJpeg(16, 16);
  for (bool big : {false, true}) {
    const Bytes seed = exifJpeg(fullBlock(big));
    std::vector<Bytes> inputs;
    for (std::size_t i = 2; i < seed.size(); ++i) {
      for (std::uint8_t v :
           {std::uint8_t{0}, std::uint8_t{0xFF}, static_cast<std::uint8_t>(~seed[i])}) {
        Bytes m = seed;
        m[i] = v;
        inputs.push_back(std::move(m));
      }
      for (int bit = 0; bit < 8; ++bit) {
        Bytes m = seed;
        m[i] ^= static_cast<std::uint8_t>(1 << bit);
        inputs.push_back(std::move(m));
      }
      inputs.emplace_back(seed.begin(), seed.begin() + static_cast<long>(i));
    }
    for (const auto& input : inputs) {
      TExifInfo info;
      try {
        info.readFrom(input);
      } catch (const EExifError&) {
        continue;
      }
      const Bytes out = info.WriteInto(jpeg, false);
      if (out == jpeg) continue;  // nothing to carry
      TExifInfo back;
      ASSERT_NO_THROW(back.readFrom(out));
      expectSameEntries(info.Main(), back.Main());
    }
  }
}

}  // namespace
}  // namespace vexo
