// The file stream through which the Exif code reads source JPEGs and rewrites outputs, plus the
// byte-order helpers for TIFF-style values and a file-existence test. File names are bytes (UTF-8
// by convention) and pass to the system unchanged; there is no length limit beyond the system's.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.h"
#include "core/stream.h"

namespace vexo {

// Raised when a file cannot be created or opened: "ファイル <full path> は開けません。 <reason>".
class EFOpenError : public Error {
 public:
  using Error::Error;
};

// Mode values of TRkWideFileStream.
inline constexpr std::uint16_t kFileCreate = 0xFFFF;  // create or truncate, read and write
inline constexpr std::uint16_t kOpenRead = 0x0000;
inline constexpr std::uint16_t kOpenWrite = 0x0001;
inline constexpr std::uint16_t kOpenReadWrite = 0x0002;
inline constexpr std::uint16_t kShareCompat = 0x0000;
inline constexpr std::uint16_t kShareExclusive = 0x0010;
inline constexpr std::uint16_t kShareDenyWrite = 0x0020;  // others may read
inline constexpr std::uint16_t kShareDenyRead = 0x0030;   // others may write
inline constexpr std::uint16_t kShareDenyNone = 0x0040;   // others may read and write

// Owns a POSIX file descriptor and closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A Stream over a file descriptor, remembering the path it was opened with.
class TRkWideFileStream : public Stream {
 public:
  // mode kFileCreate creates the file or truncates an existing one, with read and write access
  // and permissions 0666 less the umask. Any other mode opens an existing file: access in bits
  // 0-1 (kOpenRead, kOpenWrite, kOpenReadWrite; 3 is refused), sharing in bits 4-7 (values
  // above 4 are refused); other bits are ignored. Only regular files are accepted. Failures
  // throw EFOpenError naming ExpandFileName(path) and strerror's text.
  TRkWideFileStream(std::string path, std::uint16_t mode);

  std::size_t read(std::span<std::uint8_t> buffer) override;  // failures: StreamReadError
  void write(std::span<const std::uint8_t> bytes) override;
  std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t size() override;

  const std::string& path() const { return path_; }
  int handle() const { return fd_.get(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

// The path made absolute against the current folder, with "." and ".." segments and repeated
// "/" removed, without resolving symbolic links. A trailing "/" is kept. When the current folder
// cannot be found, a relative path is normalised as it is.
std::string ExpandFileName(std::string_view path);

// True when path exists (links followed) and is not a folder.
bool FileExists(const std::string& path);

// Byte-order markers as found at the start of a TIFF header.
inline constexpr std::uint16_t kIntelOrder = 0x4949;     // "II", little-endian
inline constexpr std::uint16_t kMotorolaOrder = 0x4D4D;  // "MM", big-endian

// Readers: "II" takes the first byte as the lowest, any other marker as the highest. A short read
// throws the stream's StreamReadError.
std::uint16_t ReadWord(Stream& stream, std::uint16_t marker);
std::uint32_t ReadLong(Stream& stream, std::uint16_t marker);
float ReadSingle(Stream& stream, std::uint16_t marker);  // ReadLong's bits as a float
double ReadDouble(Stream& stream, std::uint16_t marker);

// Writers. Note the asymmetry, kept for compatibility with the files written so far: WriteLong
// writes big-endian only for "MM" (little-endian for any other marker), WriteWord writes
// little-endian only for "II" (big-endian for any other marker). With the two valid markers both
// agree with the readers.
void WriteLong(Stream& stream, std::uint32_t value, std::uint16_t marker);
void WriteWord(Stream& stream, std::uint16_t value, std::uint16_t marker);

constexpr bool InRange(std::int64_t v, std::int64_t lo, std::int64_t hi) {
  return lo <= v && v <= hi;
}

// Bytes of one value of TIFF type 0 to 12 (0 none, 1 byte, 2 ASCII, 3 short, 4 long, 5 rational,
// 6 signed byte, 7 undefined, 8 signed short, 9 signed long, 10 signed rational, 11 float,
// 12 double). Any other type gives 0: callers must treat unknown types themselves, and a size of
// 0 must not be taken as "valid, empty".
int TypeSize(int type);

}  // namespace vexo
