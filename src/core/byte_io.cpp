#include "core/byte_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "core/graphic.h"

namespace vexo {

namespace {

std::string describe(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Temporary files in progress, readable from a signal handler: a slot's path is complete before
// it is marked in use.
constexpr int kPendingSlots = 8;
char gPendingPath[kPendingSlots][4096];
volatile sig_atomic_t gPendingUsed[kPendingSlots];

int rememberTemp(const std::string& temp) noexcept {
  if (temp.size() >= sizeof gPendingPath[0]) return -1;
  for (int i = 0; i < kPendingSlots; ++i) {
    if (gPendingUsed[i]) continue;
    std::memcpy(gPendingPath[i], temp.c_str(), temp.size() + 1);
    gPendingUsed[i] = 1;
    return i;
  }
  return -1;
}

mode_t currentUmask() {
  mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

}  // namespace

std::int64_t readFully(int fd, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

int writeFully(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

std::vector<std::uint8_t> readWholeFile(const std::string& path, std::uint64_t maxBytes) {
  // O_NONBLOCK: opening a FIFO without a writer must not hang; only regular files are read.
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (f.fd < 0) throw FileError(describe("cannot open", path, errno));
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) throw FileError(describe("cannot read", path, errno));
  if (S_ISDIR(st.st_mode)) throw FileError(describe("cannot read", path, EISDIR));
  if (!S_ISREG(st.st_mode)) throw FileError("not a regular file: " + path);
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
    throw FileError("file is larger than the memory limit: " + path);
  std::vector<std::uint8_t> data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t buf[1 << 16];
  for (;;) {
    const std::int64_t n = readFully(f.fd, buf);
    if (n < 0) throw FileError(describe("cannot read", path, errno));
    if (data.size() + static_cast<std::uint64_t>(n) > maxBytes)
      throw FileError("file is larger than the memory limit: " + path);
    data.insert(data.end(), buf, buf + n);
    if (n < static_cast<std::int64_t>(sizeof buf)) return data;
  }
}

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  const auto slash = path_.rfind('/');
  dir_ = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
  // An unnamed file in the target folder: a killed process leaves nothing behind. File systems
  // without O_TMPFILE get a hidden named file, removed on failure and by the fatal-signal handler.
  // The file is named later through /proc/self/fd, so that must be there.
  if (::access("/proc/self/fd", X_OK) == 0) {
    fd_ = ::open(dir_.empty() ? "." : dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ >= 0) return;
  } else {
    errno = EOPNOTSUPP;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
    throw FileError(describe("cannot create", path_, errno));
  temp_ = dir_ + ".vexo-XXXXXX.tmp";
  fd_ = ::mkostemps(temp_.data(), 4, O_CLOEXEC);
  if (fd_ < 0) throw FileError(describe("cannot create", path_, errno));
  slot_ = rememberTemp(temp_);
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
  forgetTemp();
}

void AtomicFile::forgetTemp() noexcept {
  if (slot_ >= 0) gPendingUsed[slot_] = 0;
  slot_ = -1;
}

void RemovePendingOutputs() noexcept {
  for (int i = 0; i < kPendingSlots; ++i)
    if (gPendingUsed[i]) ::unlink(gPendingPath[i]);
}

void AtomicFile::write(std::span<const std::uint8_t> bytes) {
  if (const int err = writeFully(fd_, bytes)) throw FileError(describe("cannot write", path_, err));
}

void AtomicFile::nameTemp() {
  // The unnamed file gets a hidden name beside the target for the instant before the rename.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random)
      random = static_cast<std::uint64_t>(::getpid()) << 20 ^ static_cast<std::uint64_t>(attempt);
    std::string name = dir_ + ".vexo-" + std::to_string(random % 1000000000) + ".tmp";
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temp_ = std::move(name);
      slot_ = rememberTemp(temp_);
      return;
    }
    if (errno != EEXIST) throw FileError(describe("cannot write", path_, errno));
  }
  throw FileError(describe("cannot write", path_, EEXIST));
}

void AtomicFile::commit(bool replace) {
  struct stat st {};
  const bool exists = ::stat(path_.c_str(), &st) == 0;
  const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~currentUmask());
  if (::fchmod(fd_, mode) != 0) throw FileError(describe("cannot write", path_, errno));
  // Data that takes an existing file's place is on the disk first, so a power cut leaves the old
  // file or the new one, never a torn one. A new name needs no flush.
  if (replace && exists && ::fdatasync(fd_) != 0)
    throw FileError(describe("cannot write", path_, errno));
  if (temp_.empty() && !replace) {
    // linkat fails if the name appeared meanwhile: nothing is replaced unasked.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0)
      throw FileError(describe("cannot write", path_, errno));
    closeFd();
    return;
  }
  if (temp_.empty()) nameTemp();
  closeFd();
  int rc = replace
               ? ::rename(temp_.c_str(), path_.c_str())
               : ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && !replace && errno == EINVAL)  // file system without RENAME_NOREPLACE
    rc = ::rename(temp_.c_str(), path_.c_str());
  if (rc != 0) throw FileError(describe("cannot write", path_, errno));
  forgetTemp();
  temp_.clear();
}

void AtomicFile::closeFd() {
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) throw FileError(describe("cannot write", path_, errno));
}

void writeFileAtomic(const std::string& path, std::span<const std::uint8_t> bytes) {
  AtomicFile out(path);
  out.write(bytes);
  out.commit();
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Graphic's file helpers live here beside the file functions they use.
void Graphic::loadFromFile(const std::string& path) {
  auto bytes = readWholeFile(path, limits().maxImageBytes);
  loadFromMemory(bytes);
}

void Graphic::saveToFile(const std::string& path) const {
  writeFileAtomic(path, saveToMemory());
}

std::vector<std::uint8_t> Graphic::saveToMemory() const {
  throw Error("this image class cannot be saved");
}

void Graphic::assign(const Bitmap&) {
  throw Error("this image class cannot be assigned");
}

void drawBitmap24(const Bitmap& source, Bitmap& target, int x, int y) {
  if (source.bits() != 24 || target.bits() != 24) throw Error("drawBitmap24 needs 24-bit bitmaps");
  const int x0 = std::max(0, x), x1 = std::min(target.width(), x + source.width());
  const int y0 = std::max(0, y), y1 = std::min(target.height(), y + source.height());
  if (x0 >= x1) return;
  for (int ty = y0; ty < y1; ++ty)
    std::memcpy(target.row(ty) + 3 * x0, source.row(ty - y) + 3 * (x0 - x),
                static_cast<std::size_t>(x1 - x0) * 3);
}

std::string selfExePath() {
  std::string buf(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return {};
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

}  // namespace vexo
