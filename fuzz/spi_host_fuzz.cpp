// Fuzz target of the plug-in host's handling of returned blocks: a plug-in built beside this
// program returns the input's bytes as its information and pixel blocks, in both allocation
// modes; every input either decodes or throws vexo::Error, within a 64 MiB pixel limit.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/byte_io.h"
#include "input/spi_host.h"

namespace {

const vexo::TSPIs& host() {
  static const vexo::TSPIs* loaded = [] {
    std::string dir = vexo::selfExePath();
    dir.erase(dir.rfind('/') + 1);
    static vexo::TSPIs plugins;
    plugins.Search(dir + "spi_host_alloc.spi");
    plugins.Search(dir + "spi_host_malloc.spi");
    if (plugins.Count() != 2) std::abort();  // the fuzzed plug-ins must be beside the program
    return &plugins;
  }();
  return *loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  vexo::DecodeLimits limits;
  limits.maxImageBytes = std::uint64_t{64} << 20;
  try {
    (void)host().Decode("input.fz", std::span(data, size), limits);
  } catch (const vexo::Error&) {
  }
  return 0;
}
