// TRkWideFileStream on real files: modes, failure messages, long and non-UTF-8 names.
#include "input/file_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace vexo {
namespace {

using Bytes = std::vector<std::uint8_t>;

class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vexo-fs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    // The messages name paths as getcwd() sees them, so compare against the resolved folder.
    char* real = ::realpath(tmpl.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    dir_ = real;
    std::free(real);
  }
  void TearDown() override {
    if (!oldCwd_.empty()) {
      EXPECT_EQ(::chdir(oldCwd_.c_str()), 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void enterDir() {
    oldCwd_ = std::filesystem::current_path().string();
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
  }
  std::string makeFile(const std::string& name, const Bytes& content) {
    std::string path = dir_ + "/" + name;
    TRkWideFileStream s(path, kFileCreate);
    s.write(content);
    return path;
  }
  static std::string openError(const std::string& path, std::uint16_t mode) {
    try {
      TRkWideFileStream s(path, mode);
    } catch (const EFOpenError& e) {
      return e.what();
    }
    return "(opened)";
  }

  std::string dir_, oldCwd_;
};

TEST_F(FileStreamTest, CreateThenOpenWithEachAccessMode) {
  const Bytes content{1, 2, 3, 4, 5};
  const std::string path = makeFile("a.bin", content);
  struct Row {
    std::uint16_t mode;
    bool canRead, canWrite;
  };
  const Row rows[] = {
      {kOpenRead, true, false},
      {kOpenWrite, false, true},
      {kOpenReadWrite, true, true},
      {kOpenRead | kShareDenyNone, true, false},
      {kOpenReadWrite | kShareExclusive, true, true},
      {kOpenReadWrite | kShareDenyRead, true, true},
      {kOpenRead | kShareDenyWrite, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.mode);
    TRkWideFileStream s(path, r.mode);
    EXPECT_EQ(s.path(), path);
    EXPECT_EQ(s.size(), 5);
    std::uint8_t b[5];
    if (r.canRead) {
      s.readBuffer(b);
      EXPECT_EQ(Bytes(b, b + 5), content);
    } else {
      EXPECT_THROW(s.readBuffer(b), StreamReadError);
    }
    s.setPosition(5);
    if (r.canWrite) {
      EXPECT_NO_THROW(s.write(Bytes{9}));
      s.setPosition(5);  // undo for the next row
      ASSERT_EQ(::truncate(path.c_str(), 5), 0);
    } else {
      EXPECT_THROW(s.write(Bytes{9}), StreamWriteError);
    }
  }
}

TEST_F(FileStreamTest, CreateTruncatesAndUsesUmask) {
  const std::string path = makeFile("t.bin", Bytes(100, 1));
  const mode_t old = ::umask(027);
  {
    TRkWideFileStream s(dir_ + "/new.bin", kFileCreate);
    TRkWideFileStream t(path, kFileCreate);
    EXPECT_EQ(t.size(), 0);
    WriteLong(t, 0x01020304, kMotorolaOrder);
    t.seek(0, SeekOrigin::kBegin);
    EXPECT_EQ(ReadLong(t, kMotorolaOrder), 0x01020304u);  // created with read access too
    EXPECT_THROW(ReadWord(t, kMotorolaOrder), StreamReadError);
  }
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/new.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FileStreamTest, FailureMessagesNameTheFullPath) {
  const std::string existing = makeFile("e.bin", Bytes{1});
  ASSERT_EQ(::mkdir((dir_ + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0644), 0);
  struct Row {
    std::string path;
    std::uint16_t mode;
    std::string messagePath, reason;
  };
  const Row rows[] = {
      {dir_ + "/missing.bin", kOpenRead, dir_ + "/missing.bin", "No such file or directory"},
      {dir_ + "/sub/./../missing.bin", kOpenReadWrite, dir_ + "/missing.bin",
       "No such file or directory"},
      {dir_ + "/nofolder/x.bin", kFileCreate, dir_ + "/nofolder/x.bin",
       "No such file or directory"},
      {dir_ + "/sub", kOpenRead, dir_ + "/sub", "Is a directory"},
      {dir_ + "/sub", kFileCreate, dir_ + "/sub", "Is a directory"},
      // Refused before the system is asked, though the file exists.
      {existing, 0x0003, existing, "Invalid argument"},
      {existing, kOpenRead | 0x0050, existing, "Invalid argument"},
      {existing, kOpenRead | 0x00F0, existing, "Invalid argument"},
      // A FIFO is no file stream (and must not block the open).
      {dir_ + "/fifo", kOpenRead, dir_ + "/fifo", "Invalid argument"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(openError(r.path, r.mode),
              "ファイル " + r.messagePath + " は開けません。 " + r.reason)
        << r.path << " mode " << r.mode;
  }
}

TEST_F(FileStreamTest, RelativePathInMessageIsMadeAbsolute) {
  enterDir();
  EXPECT_EQ(openError("missing.bin", kOpenRead),
            "ファイル " + dir_ + "/missing.bin は開けません。 No such file or directory");
  EXPECT_EQ(openError("./a/../b/missing.bin", kOpenRead),
            "ファイル " + dir_ + "/b/missing.bin は開けません。 No such file or directory");
  EXPECT_EQ(openError("", kOpenRead),
            "ファイル " + dir_ + " は開けません。 No such file or directory");
}

TEST_F(FileStreamTest, ExpandFileNameIsLexical) {
  enterDir();
  ASSERT_EQ(::mkdir((dir_ + "/real").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir_ + "/real/deep").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("real/deep", (dir_ + "/link").c_str()), 0);
  const std::pair<std::string, std::string> rows[] = {
      {"/a/b/../c", "/a/c"},
      {"/a/./b//c/", "/a/b/c/"},
      {"/..", "/"},
      {"/../../x", "/x"},
      {"/", "/"},
      {"x", dir_ + "/x"},
      {".", dir_},
      {"x/y/../../z", dir_ + "/z"},
      {"link/..", dir_},  // "..": the folder containing "link", not real/
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(ExpandFileName(in), out) << in;
}

TEST_F(FileStreamTest, LongJapanesePathWorks) {
  std::string path = dir_;
  int i = 0;
  while (path.size() < 320) {
    path += "/日本語のフォルダ名" + std::to_string(i++);
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
  }
  path += "/写真.jpg";
  ASSERT_GT(path.size(), 300u);
  const Bytes content{0xFF, 0xD8, 0xFF, 0xD9};
  {
    TRkWideFileStream s(path, kFileCreate);
    s.write(content);
  }
  EXPECT_TRUE(FileExists(path));
  TRkWideFileStream s(path, kOpenRead | kShareDenyWrite);
  EXPECT_EQ(ReadLong(s, kMotorolaOrder), 0xFFD8FFD9u);
  // The failure message keeps the bytes of the long name.
  EXPECT_EQ(openError(path + "x", kOpenRead),
            "ファイル " + path + "x は開けません。 No such file or directory");
}

TEST_F(FileStreamTest, NonUtf8NameWorks) {
  const std::string name = "bad\xff\xfe\x80name.bin";
  const std::string path = makeFile(name, Bytes{0x12, 0x34});
  EXPECT_TRUE(FileExists(path));
  TRkWideFileStream s(path, kOpenRead);
  EXPECT_EQ(ReadWord(s, kIntelOrder), 0x3412);
  bool listed = false;
  for (const auto& e : std::filesystem::directory_iterator(dir_))
    listed |= e.path().filename().string() == name;
  EXPECT_TRUE(listed);  // stored under exactly these bytes
}

TEST_F(FileStreamTest, FileExists) {
  const std::string file = makeFile("f.bin", Bytes{});
  ASSERT_EQ(::mkdir((dir_ + "/d").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("f.bin", (dir_ + "/lf").c_str()), 0);
  ASSERT_EQ(::symlink("d", (dir_ + "/ld").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (dir_ + "/dangling").c_str()), 0);
  const std::pair<std::string, bool> rows[] = {
      {file, true},
      {dir_ + "/d", false},
      {dir_ + "/lf", true},
      {dir_ + "/ld", false},
      {dir_ + "/dangling", false},
      {dir_ + "/missing", false},
      {dir_, false},
      {"", false},
  };
  for (const auto& [path, exists] : rows) EXPECT_EQ(FileExists(path), exists) << path;
}

TEST_F(FileStreamTest, SeekAndSizeOnFile) {
  const std::string path = makeFile("s.bin", Bytes{1, 2, 3, 4, 5, 6});
  TRkWideFileStream s(path, kOpenReadWrite);
  EXPECT_EQ(s.seek(-2, SeekOrigin::kEnd), 4);
  EXPECT_EQ(ReadWord(s, kMotorolaOrder), 0x0506);
  EXPECT_EQ(s.position(), 6);
  EXPECT_THROW(s.seek(-7, SeekOrigin::kCurrent), StreamError);
  s.seek(10, SeekOrigin::kBegin);
  WriteWord(s, 0xABCD, kIntelOrder);
  EXPECT_EQ(s.size(), 12);
  s.seek(6, SeekOrigin::kBegin);
  EXPECT_EQ(ReadLong(s, kIntelOrder), 0u);  // the gap reads as zeros
  EXPECT_EQ(ReadWord(s, kIntelOrder), 0xABCD);
}

TEST(FileStreamErrorTest, ErrorsDeriveFromTheProgramBase) {
  EXPECT_THROW(TRkWideFileStream("/nonexistent-vexo/x", kOpenRead), Error);
}

}  // namespace
}  // namespace vexo
