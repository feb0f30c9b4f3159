// Preloaded into the program under test: open() with O_TMPFILE fails as it does on a file system
// without unnamed files, so the named temporary file the program falls back on runs anywhere.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

using OpenFunction = int (*)(const char*, int, ...);

int forward(const char* symbol, const char* path, int flags, std::va_list args) {
  const bool hasMode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const mode_t mode = hasMode ? va_arg(args, mode_t) : 0;
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const auto next = reinterpret_cast<OpenFunction>(::dlsym(RTLD_NEXT, symbol));
  return next(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  std::va_list args;
  va_start(args, flags);
  const int fd = forward("open", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  std::va_list args;
  va_start(args, flags);
  const int fd = forward("open64", path, flags, args);
  va_end(args);
  return fd;
}
