// The size of an image before it is decoded, from its header alone: the run uses it to decide
// how many files may be decoded at once within the memory limit.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace vexo {

struct ImageExtent {
  int width, height;
};

// The size of the 24-bit working bitmap a file will load into (LoadWorkingBitmap), read from its
// header alone with a few small reads (never the whole file): JPEG, bitmap and ".dib", PNG, GIF,
// icon, EMF and placeable WMF, told apart by their content, not by the file name. Nothing when
// the header cannot tell (another format, damage, a missing or non-regular file). Never throws;
// safe to call from several threads at once.
std::optional<ImageExtent> ProbeImageExtent(const std::string& path);

// Bytes of that working bitmap: rows of width × 3 bytes padded to 4, times height.
std::uint64_t WorkingBytes(ImageExtent extent);

}  // namespace vexo
