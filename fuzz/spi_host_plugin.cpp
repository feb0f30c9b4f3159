// The fuzzed plug-in: hands the host whatever blocks the fuzzer's input holds. Built twice: with
// SpiSetAllocator (blocks from the host's allocator, whose sizes the host knows) and without it
// (malloc blocks, bounded by their usable size). The input, passed as a file image in memory:
//   byte 0      which build accepts it: even with the allocator, odd without
//   byte 1      bit 0: no pixel block; bit 1: report an error after returning both blocks
//   bytes 2-3   length of the information block, little-endian; the pixel block is the rest
#include <cstdlib>
#include <cstring>

#include "vexo/susie.h"

namespace {

#ifdef FUZZ_SPI_HOST_ALLOCATOR
constexpr int kParity = 0;
SpiAlloc gAlloc = std::malloc;
#else
constexpr int kParity = 1;
constexpr SpiAlloc gAlloc = std::malloc;
#endif

int32_t copyText(const char* text, char* buf, int32_t buflen) {
  const auto n = static_cast<int32_t>(std::strlen(text));
  const int32_t count = n < buflen ? n : buflen;
  std::memcpy(buf, text, static_cast<size_t>(count));
  return count;
}

void* blockOf(const unsigned char* data, size_t size) {
  void* block = gAlloc(size ? size : 1);
  if (block && size) std::memcpy(block, data, size);
  return block;
}

}  // namespace

extern "C" {

SPI_EXPORT int32_t GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  switch (infono) {
    case 0:
      return copyText("00IN", buf, buflen);
    case 2:
      return copyText("*.fz", buf, buflen);
    case 1:
    case 3:
      return copyText("fuzzed blocks", buf, buflen);
    default:
      return 0;
  }
}

SPI_EXPORT int32_t IsSupported(const char*, const void* head) {
  return (static_cast<const unsigned char*>(head)[0] & 1) == kParity;
}

SPI_EXPORT int32_t GetPictureInfo(const char*, intptr_t, uint32_t, SpiPictureInfo* info) {
  std::memset(info, 0, sizeof *info);
  return SPI_OK;
}

SPI_EXPORT int32_t GetPicture(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                              void** bits_block, SpiProgress, intptr_t) {
  *info_block = *bits_block = nullptr;
  if ((flag & SPI_INPUT_MASK) != SPI_INPUT_MEMORY || len < 4) return SPI_UNKNOWN_FORMAT;
  const auto* data = reinterpret_cast<const unsigned char*>(buf);
  const size_t size = static_cast<size_t>(len);
  size_t infoBytes = data[2] | size_t{data[3]} << 8;
  if (infoBytes > size - 4) infoBytes = size - 4;
  *info_block = blockOf(data + 4, infoBytes);
  if (!(data[1] & 1)) *bits_block = blockOf(data + 4 + infoBytes, size - 4 - infoBytes);
  return data[1] & 2 ? SPI_BROKEN_DATA : SPI_OK;
}

#ifdef FUZZ_SPI_HOST_ALLOCATOR
SPI_EXPORT void SpiSetAllocator(SpiAlloc alloc, SpiRelease) {
  gAlloc = alloc;
}
#endif

}  // extern "C"
