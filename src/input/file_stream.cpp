#include "input/file_stream.h"

#include "core/byte_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vexo {

static_assert(sizeof(off_t) == 8, "large-file offsets are required");

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(std::exchange(other.fd_, -1));
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

[[noreturn]] void throwOpenError(std::string_view path, int err) {
  // The original prefixed full paths with "\\?\" to pass the classic length limit; POSIX paths
  // have no such limit or prefix, so the message names the plain absolute path.
  throw EFOpenError("ファイル " + ExpandFileName(path) + " は開けません。 " + std::strerror(err));
}

std::string currentFolder() {
  std::vector<char> buf(4096);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return buf.data();
    if (errno != ERANGE || buf.size() >= (std::size_t{1} << 20)) return {};
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

std::string ExpandFileName(std::string_view path) {
  std::string joined;
  if (path.empty() || path.front() != '/') {
    joined = currentFolder();  // empty when unknown: the path stays relative
    if (!joined.empty() && !path.empty()) joined += '/';
  }
  joined += path;

  const bool absolute = !joined.empty() && joined.front() == '/';
  std::vector<std::string_view> parts;
  std::string_view rest = joined;
  while (!rest.empty()) {
    auto slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);  // a relative path keeps leading ".." (nothing to remove)
      }
      continue;
    }
    parts.push_back(part);
  }

  std::string out = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += '/';
    out += parts[i];
  }
  if (!joined.empty() && joined.back() == '/' && !parts.empty()) out += '/';  // "dir/" stays "dir/"
  if (out.empty()) out.push_back('.');  // (not = "." : GCC 12 -O3 warns falsely, PR 105329)
  return out;
}

TRkWideFileStream::TRkWideFileStream(std::string path, std::uint16_t mode)
    : path_(std::move(path)) {
  int flags;
  if (mode == kFileCreate) {
    flags = O_RDWR | O_CREAT | O_TRUNC;
  } else {
    const unsigned access = mode & 0x3u;
    const unsigned share = (mode >> 4) & 0xFu;
    // Refused before any system call, as on the original platform; EINVAL supplies the text.
    if (access == 3 || share > 4) throwOpenError(path_, EINVAL);
    // The sharing value is only validated: Linux has no mandatory share modes, so other
    // processes may open the file whatever the value says.
    flags = access == 0 ? O_RDONLY : access == 1 ? O_WRONLY : O_RDWR;
  }
  // O_NONBLOCK keeps open() from waiting on a FIFO; non-regular files are refused below.
  flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

  int fd;
  do {
    fd = ::open(path_.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throwOpenError(path_, errno);
  fd_.reset(fd);

  struct stat st {};
  if (::fstat(fd, &st) != 0) throwOpenError(path_, errno);
  // A folder cannot be opened as a file (as on the original platform); devices, FIFOs and
  // sockets could block or never end, so only regular files are streams.
  if (S_ISDIR(st.st_mode)) throwOpenError(path_, EISDIR);
  if (!S_ISREG(st.st_mode)) throwOpenError(path_, EINVAL);
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) throwOpenError(path_, errno);
}

std::size_t TRkWideFileStream::read(std::span<std::uint8_t> buffer) {
  const std::int64_t n = readFully(fd_.get(), buffer);
  if (n < 0) throw StreamReadError();
  return static_cast<std::size_t>(n);
}

void TRkWideFileStream::write(std::span<const std::uint8_t> bytes) {
  if (writeFully(fd_.get(), bytes) != 0) throw StreamWriteError();
}

std::int64_t TRkWideFileStream::seek(std::int64_t offset, SeekOrigin origin) {
  const int whence = origin == SeekOrigin::kBegin     ? SEEK_SET
                     : origin == SeekOrigin::kCurrent ? SEEK_CUR
                                                      : SEEK_END;
  off_t pos = ::lseek(fd_.get(), static_cast<off_t>(offset), whence);
  if (pos < 0) throw StreamError("Stream seek error");
  return pos;
}

std::int64_t TRkWideFileStream::size() {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) throw StreamError("Stream size error");
  return st.st_size;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

namespace {

template <std::size_t N>
std::uint64_t readOrdered(Stream& stream, std::uint16_t marker) {
  std::array<std::uint8_t, N> b;
  stream.readBuffer(b);
  std::uint64_t v = 0;
  if (marker == kIntelOrder) {
    for (std::size_t i = N; i-- > 0;) v = v << 8 | b[i];
  } else {
    for (std::size_t i = 0; i < N; ++i) v = v << 8 | b[i];
  }
  return v;
}

template <std::size_t N>
void writeOrdered(Stream& stream, std::uint64_t value, bool lowFirst) {
  std::array<std::uint8_t, N> b;
  for (std::size_t i = 0; i < N; ++i) {
    const std::size_t shift = 8 * (lowFirst ? i : N - 1 - i);
    b[i] = static_cast<std::uint8_t>(value >> shift);
  }
  stream.write(b);
}

}  // namespace

std::uint16_t ReadWord(Stream& stream, std::uint16_t marker) {
  return static_cast<std::uint16_t>(readOrdered<2>(stream, marker));
}

std::uint32_t ReadLong(Stream& stream, std::uint16_t marker) {
  return static_cast<std::uint32_t>(readOrdered<4>(stream, marker));
}

float ReadSingle(Stream& stream, std::uint16_t marker) {
  return std::bit_cast<float>(ReadLong(stream, marker));
}

double ReadDouble(Stream& stream, std::uint16_t marker) {
  return std::bit_cast<double>(readOrdered<8>(stream, marker));
}

void WriteLong(Stream& stream, std::uint32_t value, std::uint16_t marker) {
  writeOrdered<4>(stream, value, marker != kMotorolaOrder);
}

void WriteWord(Stream& stream, std::uint16_t value, std::uint16_t marker) {
  writeOrdered<2>(stream, value, marker == kIntelOrder);
}

int TypeSize(int type) {
  static constexpr int kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type >= 0 && type < static_cast<int>(std::size(kSizes)) ? kSizes[type] : 0;
}

}  // namespace vexo
