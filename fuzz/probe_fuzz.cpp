// Fuzz target of the header probe. The probe reads a path, so each input is written to a
// temporary file first, probed and removed. Every input gives a positive size or nothing, never
// a crash or a read past the file.
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
  bool written = true;
  for (std::size_t done = 0; done < size && written;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  const auto extent = written ? vexo::ProbeImageExtent(path) : std::nullopt;
  ::unlink(path.c_str());
  if (!written) std::abort();
  if (extent && (extent->width < 1 || extent->height < 1)) std::abort();
  if (extent) (void)vexo::WorkingBytes(*extent);
  return 0;
}
