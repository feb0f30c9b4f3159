// Limits every reader checks before it allocates pixels.
#pragma once
#include <cstdint>

namespace vexo {

struct DecodeLimits {
  // Largest pixel buffer of one image (rows padded to 4 bytes), and the largest input file read
  // into memory.
  std::uint64_t maxImageBytes = std::uint64_t{1} << 30;

  static DecodeLimits& defaults();  // process-wide limits; the command line may change them
};

}  // namespace vexo
