// A plug-in for the host's tests, built in several variants (TEST_SPI_VARIANT): the format "TST1"
// (a 4-byte signature, then width and height bytes, then RGB pixels top-down) decoded into 24-bit
// bottom-up rows, or blocks that lie about their sizes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vexo/susie.h"

namespace {

enum Variant { kGood = 0, kClaimsJpg, kNoDescription, kHostile, kNullBlocks, kTopDown };
constexpr int kVariant = TEST_SPI_VARIANT;

SpiAlloc gAlloc = std::malloc;

[[maybe_unused]] int32_t copyText(const char* text, char* buf, int32_t buflen) {
  const auto n = static_cast<int32_t>(std::strlen(text));
  const int32_t count = n < buflen ? n : buflen;
  std::memcpy(buf, text, static_cast<size_t>(count));
  if (count < buflen) buf[count] = '\0';
  return count;
}

bool signature(const unsigned char* p) { return std::memcmp(p, "TST1", 4) == 0; }

}  // namespace

extern "C" {

#ifndef TEST_SPI_NO_INFO
int32_t GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  switch (infono) {
    case 0:
      return copyText("00IN", buf, buflen);
    case 1:
      return copyText("test plug-in", buf, buflen);
    case 2:
      return copyText(kVariant == kClaimsJpg ? "*.jpg" : "*.tst;*.ts2", buf, buflen);
    case 3:
      return kVariant == kNoDescription ? 0 : copyText("Test image", buf, buflen);
    default:
      return 0;
  }
}
#endif

int32_t IsSupported(const char*, const void* head) {
  return signature(static_cast<const unsigned char*>(head)) ? 1 : 0;
}

int32_t GetPictureInfo(const char*, intptr_t, uint32_t, SpiPictureInfo* info) {
  std::memset(info, 0, sizeof *info);
  return SPI_OK;
}

int32_t GetPicture(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                   void** bits_block, SpiProgress, intptr_t) {
  *info_block = *bits_block = nullptr;
  unsigned char file[4096] = {};
  size_t size = 0;
  if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) {
    size = static_cast<size_t>(len) < sizeof file ? static_cast<size_t>(len) : sizeof file;
    std::memcpy(file, buf, size);
  } else {
    FILE* in = std::fopen(buf, "rb");
    if (!in) return SPI_READ_ERROR;
    std::fseek(in, static_cast<long>(len), SEEK_SET);
    size = std::fread(file, 1, sizeof file, in);
    std::fclose(in);
  }
  if (size < 6 || !signature(file)) return SPI_UNKNOWN_FORMAT;
  const int w = file[4], h = file[5];
  if (w == 0 || h == 0 || size < 6 + static_cast<size_t>(w) * h * 3) return SPI_BROKEN_DATA;
  if (kVariant == kNullBlocks) return SPI_OK;
  const size_t stride = SPI_ROW_BYTES(w, 24);
  auto* head = static_cast<SpiBitmapInfoHeader*>(gAlloc(sizeof(SpiBitmapInfoHeader)));
  auto* bits = static_cast<unsigned char*>(gAlloc(stride * h));
  std::memset(head, 0, sizeof *head);
  std::memset(bits, 0, stride * h);
  head->biSize = 40;
  head->biWidth = kVariant == kHostile ? w * 1000 : w;
  head->biHeight = kVariant == kTopDown ? -h : h;
  head->biPlanes = 1;
  head->biBitCount = 24;
  for (int y = 0; y < h; ++y) {
    const int row = kVariant == kTopDown ? y : h - 1 - y;
    for (int x = 0; x < w; ++x) {
      const unsigned char* rgb = file + 6 + (static_cast<size_t>(y) * w + x) * 3;
      unsigned char* bgr = bits + row * stride + x * 3;
      bgr[0] = rgb[2];
      bgr[1] = rgb[1];
      bgr[2] = rgb[0];
    }
  }
  *info_block = head;
  *bits_block = bits;
  return SPI_OK;
}

void SpiSetAllocator(SpiAlloc alloc, SpiRelease) { gAlloc = alloc; }

}  // extern "C"
