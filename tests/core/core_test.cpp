#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "core/bitmap.h"
#include "core/byte_io.h"
#include "core/byte_reader.h"
#include "core/checked.h"
#include "support/reference.h"

namespace vexo {
namespace {

namespace fs = std::filesystem;

TEST(Checked, RefusesOverflowAtTheWrapPoints) {
  EXPECT_EQ(checkedMul(UINT32_MAX, UINT32_MAX), std::uint64_t{UINT32_MAX} * UINT32_MAX);
  EXPECT_FALSE(checkedMul(std::uint64_t{1} << 32, std::uint64_t{1} << 32));
  EXPECT_FALSE(checkedAdd(UINT64_MAX, 1));
  EXPECT_EQ(dibStride(1, 1), 4u);
  EXPECT_EQ(dibStride(33, 1), 8u);
  EXPECT_EQ(dibStride(5, 24), 16u);
  EXPECT_EQ(dibStride(3, 4), 4u);
  EXPECT_FALSE(dibStride(UINT64_MAX / 2, 32));
}

TEST(Bitmap, SizesAndLimits) {
  struct Row {
    std::int64_t w, h;
    int bits;
    std::uint64_t limit;
    bool ok;
    std::uint64_t bytes;
  } rows[] = {
      {1, 1, 24, 1 << 30, true, 4},
      {5, 3, 24, 1 << 30, true, 48},
      {5, 3, 15, 1 << 30, true, 36},
      {9, 2, 1, 1 << 30, true, 8},
      {0, 5, 24, 1 << 30, false, 0},
      {5, -1, 24, 1 << 30, false, 0},
      {5, 5, 12, 1 << 30, false, 0},
      {1024, 1024, 32, 4 << 20, true, 4 << 20},
      {1024, 1025, 32, 4 << 20, false, 0},
      {std::int64_t{INT32_MAX} + 1, 1, 8, UINT64_MAX, false, 0},
      {std::int64_t{1} << 40, 1, 8, UINT64_MAX, false, 0},
  };
  for (const auto& r : rows) {
    DecodeLimits limits;
    limits.maxImageBytes = r.limit;
    if (r.ok)
      EXPECT_EQ(checkImageSize(r.w, r.h, r.bits, limits), r.bytes) << r.w << "x" << r.h;
    else
      EXPECT_THROW(checkImageSize(r.w, r.h, r.bits, limits), ImageSizeError) << r.w << "x" << r.h;
  }
}

TEST(Bitmap, NewBitmapsAreWhiteAndRowsBottomUp) {
  Bitmap b(3, 2, 24);
  EXPECT_EQ(b.stride(), 12u);
  for (std::size_t i = 0; i < b.dataSize(); ++i) ASSERT_EQ(b.data()[i], 0xFF);
  EXPECT_EQ(b.row(1), b.data());  // the bottom row comes first
  EXPECT_EQ(b.row(0), b.data() + 12);
  Bitmap w15(2, 1, 15);
  EXPECT_EQ(w15.row(0)[0], 0xFF);
  EXPECT_EQ(w15.row(0)[1], 0x7F);
  Bitmap i8(2, 2, 8);
  EXPECT_EQ(i8.row(0)[0], 0);
}

TEST(ByteReader, ReadsInBothOrdersAndNeverPastTheEnd) {
  const std::array<std::uint8_t, 6> bytes = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  ByteReader r(bytes);
  EXPECT_EQ(r.u16le(), 0x3412);
  EXPECT_EQ(r.u32be(), 0x56789ABCu);
  EXPECT_THROW(r.u8(), ByteReader::Overrun);
  r.seek(1);
  EXPECT_EQ(r.u32le(), 0x9A785634u);
  EXPECT_THROW(r.u16be(), ByteReader::Overrun);
  EXPECT_EQ(r.pos(), 5u);  // a failed read moves nothing
  r.seek(0);
  ByteReader sub = r.sub(2);
  EXPECT_EQ(r.pos(), 2u);
  EXPECT_EQ(sub.u16be(), 0x1234);
  EXPECT_TRUE(sub.atEnd());
  EXPECT_THROW(r.skip(5), ByteReader::Overrun);
  EXPECT_THROW(r.bytes(SIZE_MAX), ByteReader::Overrun);
  EXPECT_THROW(r.seek(7), ByteReader::Overrun);
}

class AtomicOutput : public ::testing::Test {
 protected:
  std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::size_t entries() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  test::TempDir temp_;
  const fs::path& dir_ = temp_.path();
};

TEST_F(AtomicOutput, UncommittedOutputLeavesNothing) {
  const auto target = dir_ / "a.bmp";
  std::ofstream(target) << "old";
  {
    AtomicFile out(target.string());
    const std::uint8_t data[] = {1, 2, 3};
    out.write(data);
    EXPECT_EQ(entries(), 1u);  // the output has no name until it is complete
  }
  EXPECT_EQ(read(target), "old");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicOutput, ReplacingKeepsPermissionsAndNewFilesFollowTheUmask) {
  const auto target = dir_ / "a.bmp";
  std::ofstream(target) << "old";
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const std::uint8_t data[] = {'n', 'e', 'w'};
  writeFileAtomic(target.string(), data);
  EXPECT_EQ(read(target), "new");
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const mode_t old = ::umask(022);
  writeFileAtomic((dir_ / "b.bmp").string(), data);
  ::umask(old);
  struct stat st {};
  ::stat((dir_ / "b.bmp").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(AtomicOutput, WithoutReplaceAnExistingFileWins) {
  const auto target = dir_ / "a.bmp";
  AtomicFile out(target.string());
  const std::uint8_t data[] = {'n'};
  out.write(data);
  std::ofstream(target) << "appeared meanwhile";
  EXPECT_THROW(out.commit(false), FileError);
  EXPECT_EQ(read(target), "appeared meanwhile");
}

TEST_F(AtomicOutput, PendingOutputsCanBeRemovedFromASignalHandler) {
  AtomicFile a((dir_ / "a.bmp").string()), b((dir_ / "b.bmp").string());
  EXPECT_LE(entries(), 2u);  // hidden names only where the file system has no unnamed files
  RemovePendingOutputs();
  EXPECT_EQ(entries(), 0u);
}

TEST_F(AtomicOutput, OnlyRegularFilesAreRead) {
  const auto fifo = dir_ / "fifo.jpg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(readWholeFile(fifo.string(), 100), FileError);  // without hanging
  EXPECT_THROW(readWholeFile("/dev/zero", 100), FileError);
}

TEST_F(AtomicOutput, MissingFolderAndOversizedInput) {
  EXPECT_THROW(AtomicFile((dir_ / "no" / "a.bmp").string()), FileError);
  std::ofstream(dir_ / "big") << std::string(100, 'x');
  EXPECT_THROW(readWholeFile((dir_ / "big").string(), 99), FileError);
  EXPECT_EQ(readWholeFile((dir_ / "big").string(), 100).size(), 100u);
  EXPECT_THROW(readWholeFile(dir_.string(), 100), FileError);
}

}  // namespace
}  // namespace vexo
