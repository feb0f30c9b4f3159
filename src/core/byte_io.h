// Whole-file reading and atomic file writing on POSIX paths (file names are bytes).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"

namespace vexo {

class FileError : public Error {
 public:
  using Error::Error;
};

// Reads from fd until buffer is full or the file ends, retrying interrupted calls. Returns the
// bytes read, or -1 with errno set.
std::int64_t readFully(int fd, std::span<std::uint8_t> buffer);
// Writes all of bytes to fd, retrying interrupted and partial writes. Returns 0, or errno.
int writeFully(int fd, std::span<const std::uint8_t> bytes);

// Reads a whole regular file; throws FileError when it cannot be opened or read, or is larger
// than maxBytes.
std::vector<std::uint8_t> readWholeFile(const std::string& path, std::uint64_t maxBytes);

// Output written to an unnamed file in the target's folder (a hidden named one where the file
// system has no O_TMPFILE) and given the target's name only by commit(), so a failure, or even a
// killed process, leaves no partial file and never damages an existing one. Destroying an
// uncommitted AtomicFile removes what it wrote.
class AtomicFile {
 public:
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(std::span<const std::uint8_t> bytes);
  // Moves the finished file into place. With replace, an existing file of that name is replaced,
  // its permission bits kept, once the new data is flushed to the disk; without it, an existing
  // file makes commit fail untouched. A new file gets 0666 less the umask.
  void commit(bool replace = true);

 private:
  void nameTemp();
  void closeFd();
  void forgetTemp() noexcept;

  std::string path_, dir_, temp_;  // temp_: the hidden name, while the file has one
  int fd_ = -1;
  int slot_ = -1;  // index in the table of pending temporary files, or -1
};

// Removes the temporary files of every AtomicFile still open. Async-signal-safe: a handler of a
// fatal signal calls it so that a killed run leaves nothing behind.
void RemovePendingOutputs() noexcept;

// Writes bytes to path atomically.
void writeFileAtomic(const std::string& path, std::span<const std::uint8_t> bytes);

bool isRegularFile(const std::string& path);  // follows links
bool isDirectory(const std::string& path);    // follows links
bool pathExists(const std::string& path);     // any kind of entry, links followed

// The running program's file, from /proc/self/exe; empty when that cannot be read.
std::string selfExePath();

}  // namespace vexo
