// The Exif reader and writer on blocks built here from commented descriptions: where the block
// is found, what a damaged block yields, the exact bytes of a small block, the limits of the
// segment, and a mutation sweep of two corpus blocks. Real files in both byte orders, with every
// directory, are read back by exiftool and exiv2 in exif_oracle_test.
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

const Bytes kXmp = segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.'});
const Bytes kIcc = segment(0xE2, Bytes(1998, 0x11));
const Bytes kExif = segment(0xE1, exifPayload(kBlock));

// Layouts the corpus lacks: Exif behind other APP1 and APP2 segments (the layout a window after
// SOI missed), fill bytes in front of the marker, an Exif APP1 behind the scan.
INSTANTIATE_TEST_SUITE_P(
    Layouts, ExifSearch,
    ::testing::Values(SearchCase{"BehindXmpAndIcc", jpegWith({kXmp, kIcc, kExif}), 2 + 14 + 2002},
                      SearchCase{"BehindFillBytes", jpegWith({Bytes{0xFF, 0xFF}, kExif}), 4},
                      SearchCase{"BehindTheScan", jpegWith({Bytes{0xFF, 0xDA, 0, 2}, kExif}), -1},
                      SearchCase{"OnlyXmp", jpegWith({kXmp}), -1}),
    [](const auto& row) { return std::string(row.param.name); });

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
  // Whatever was read writes a block that reads back the same.
  TExifInfo again;
  again.readFrom(info.WriteInto(encodedJpeg(8, 8), false));
  expectSameEntries(info.Main(), again.Main());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Blocks, ExifDamage,
    ::testing::Values(
        // An entry of type 13 has no size: dropped, its neighbours kept.
        DamageCase{"UnknownTypeDropped",
                   Tiff(false).u16(3).inPlace(0x0100, 3, 1, "\x10").entry(0x0101, 13, 1, 8)
                       .inPlace(0x0102, 3, 1, "\x08").u32(0),
                   {0x0100, 0x0102}, {}},
        // An entry whose 100 bytes would pass the end of the block: dropped.
        DamageCase{"DataPastTheBlockDropped",
                   Tiff(true).u16(2).entry(0x010F, 2, 100, 30).inPlace(0x0112, 3, 1, "\0\x01")
                       .u32(0),
                   {0x0112}, {}},
        // IFD1's offset points back at IFD0: the chain ends, no thumbnail directory.
        DamageCase{"ThumbnailLoopsToIfd0",
                   Tiff(false).u16(1).inPlace(0x0112, 3, 1, "\x01").u32(8), {0x0112}, {}},
        // The Exif directory's interoperability pointer leads back to the Exif directory.
        DamageCase{"InteropLoopsToExif",
                   Tiff(false).u16(1).entry(0x8769, 4, 1, 26).u32(0)
                       .u16(2).entry(0xA005, 4, 1, 26).inPlace(0x9000, 7, 4, "0230").u32(0),
                   {0x8769, 0xA005, 0x9000}, {}},
        // IFD0 claims 32 entries, the block holds two and then bytes that are not entries: the
        // two are kept, the first entry of an unknown type ends the directory.
        DamageCase{"CutDirectoryKeepsWhatFits",
                   Tiff(true).u16(32).inPlace(0x011A, 3, 1, "\0\x48").inPlace(0x0128, 3, 1, "\0\x02")
                       .entry(0, 0, 0x0EC3, 0).entry(0x1234, 1, 500, 0xA0030004),
                   {0x011A, 0x0128}, {}},
        // IFD0 points on to an IFD1 whose Exif pointer leads to a directory of its own.
        DamageCase{"ThumbnailWithExif",
                   Tiff(false).u16(1).inPlace(0x0112, 3, 1, "\x01").u32(26)
                       .u16(1).entry(0x8769, 4, 1, 44).u32(0)
                       .u16(1).inPlace(0x9000, 7, 4, "0230").u32(0),
                   {0x0112}, {0x8769, 0x9000}}),
    [](const auto& row) { return std::string(row.param.name); });
// clang-format on

TEST(ExifRead, FileErrors) {
  test::TempDir dir;
  TExifInfo info;
  int reported = 0;
  info.OnError = [&](TExifInfo&, int code, bool&) { reported = code; };
  EXPECT_THROW(info.setImageFileName(dir.file("missing.jpg")), EExifError);
  EXPECT_EQ(reported, kExifFileNotFound);
  test::writeFile(dir.file("plain.jpg"), jpegWith({kXmp}));
  EXPECT_FALSE(TExifInfo::HasExif(dir.file("plain.jpg")));
  EXPECT_THROW(info.setImageFileName(dir.file("plain.jpg")), EExifError);
  EXPECT_EQ(reported, kExifNotExif);
  // A block behind 300 KB of other segments is found in the file.
  const Bytes app2 = segment(0xE2, Bytes(65000, 0x22));
  test::writeFile(dir.file("icc.jpg"), jpegWith({app2, app2, app2, app2, app2, kExif}));
  EXPECT_TRUE(TExifInfo::HasExif(dir.file("icc.jpg")));
  info.setImageFileName(dir.file("icc.jpg"));
  EXPECT_EQ(info.App1Position(), 2 + 5 * 65004);
  EXPECT_EQ(info.Main().size(), 1u);
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
  try {
    other.WriteInto(Bytes{0x89, 'P', 'N', 'G'}, false);
    FAIL() << "no error";
  } catch (const EExifError& e) {
    EXPECT_STREQ(e.what(), "TExifInfo: 有効な画像ファイルではありません");
  }
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

// ---- mutation sweep ----

TEST(ExifSweep, EveryMutationReadsOrFailsWithTheUnitsErrorAndWritesBackTheSame) {
  // Two camera blocks of the corpus (big-endian with GPS; little-endian with maker notes and
  // IFD1), up to the end of their Exif segment: each byte set to 0, 255, its complement and each
  // single-bit flip, then every prefix.
  const Bytes jpeg = encodedJpeg(16, 16);
  auto check = [&](std::span<const std::uint8_t> input) {
    TExifInfo info;
    try {
      info.readFrom(input);
    } catch (const EExifError&) {
      return;
    }
    const Bytes out = info.WriteInto(jpeg, false);
    if (out == jpeg) return;  // nothing to carry
    TExifInfo back;
    ASSERT_NO_THROW(back.readFrom(out));
    expectSameEntries(info.Main(), back.Main());
  };
  for (const char* file : {"pillow/exif_gps.jpg", "exiftool/Nikon.jpg"}) {
    Bytes seed = test::readFile(std::string(VEXO_CORPUS_DIR) + "/exif/" + file);
    TExifInfo info;
    info.readFrom(seed);
    const auto pos = static_cast<std::size_t>(info.App1Position());
    seed.resize(pos + 2 + (std::size_t{seed[pos + 2]} << 8 | seed[pos + 3]));
    for (std::size_t i = 2; i < seed.size(); ++i) {
      const std::uint8_t original = seed[i];
      for (int v : {0x00, 0xFF, original ^ 0xFF, original ^ 1, original ^ 2, original ^ 4,
                    original ^ 8, original ^ 16, original ^ 32, original ^ 64, original ^ 128}) {
        seed[i] = static_cast<std::uint8_t>(v);
        check(seed);
      }
      seed[i] = original;
      check(std::span(seed).first(i));
    }
  }
}

}  // namespace
}  // namespace vexo
