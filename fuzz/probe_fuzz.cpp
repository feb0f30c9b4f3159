// Fuzz target of the header probe: it reads a path, so each input goes to a temporary file
// first. Every input gives a size or nothing, never a crash or a read past the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "input/probe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string path = "/tmp/vexo-probe-fuzz-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) std::abort();
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (const auto extent = vexo::ProbeImageExtent(path)) {
    if (extent->width < 1 || extent->height < 1) std::abort();
    (void)vexo::WorkingBytes(*extent);
  }
  ::unlink(path.c_str());
  return 0;
}
