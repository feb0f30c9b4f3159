// Input plug-in for WebP, decoded with libwebp: still pictures with WebPDecodeBGRAInto, animated
// ones through WebPAnimDecoder, which gives the first frame composed on its canvas.
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <string>

#include "spi_common.h"

namespace {

using vexo::spi::Input;

// "RIFF", a 32-bit size, "WEBP".
bool IsWebp(const uint8_t* head) {
  return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0;
}

struct AnimDecoderDeleter {
  void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};
using AnimDecoder = std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter>;

int32_t StatusToResult(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OK:
      return SPI_OK;
    case VP8_STATUS_OUT_OF_MEMORY:
      return SPI_NO_MEMORY;
    case VP8_STATUS_UNSUPPORTED_FEATURE:
      return SPI_UNKNOWN_FORMAT;
    default:
      return SPI_BROKEN_DATA;
  }
}

// Loads the input and reads the header: its signature and the picture's (or canvas's) size.
int32_t Open(const char* buf, intptr_t len, uint32_t flag, Input& input,
             WebPBitstreamFeatures& features) {
  if (int32_t rc = input.Load(buf, len, flag); rc != SPI_OK) return rc;
  if (!IsWebp(input.Head().data())) return SPI_UNKNOWN_FORMAT;
  if (int32_t rc = StatusToResult(WebPGetFeatures(input.data(), input.size(), &features));
      rc != SPI_OK)
    return rc;
  return vexo::spi::CheckSize(features.width, features.height);
}

// Writes straight-alpha BGRA rows, top-down with the given stride, over white into the bitmap.
void Composite(const uint8_t* bgra, size_t stride, vexo::spi::Bitmap& bitmap) {
  for (int32_t y = 0; y < bitmap.height(); ++y) {
    const uint8_t* src = bgra + static_cast<size_t>(y) * stride;
    uint8_t* dst = bitmap.Row(y);
    for (int32_t x = 0; x < bitmap.width(); ++x, src += 4, dst += 3) {
      const uint32_t a = src[3];
      dst[0] = vexo::spi::OverWhite(src[0], a);
      dst[1] = vexo::spi::OverWhite(src[1], a);
      dst[2] = vexo::spi::OverWhite(src[2], a);
    }
  }
}

int32_t DecodeStill(const Input& input, vexo::spi::Bitmap& bitmap) {
  const size_t stride = static_cast<size_t>(bitmap.width()) * 4;  // fits: CheckSize passed
  const size_t bytes = stride * static_cast<size_t>(bitmap.height());
  auto pixels = vexo::spi::TryAllocateArray<uint8_t>(bytes);
  if (!pixels) return SPI_NO_MEMORY;
  if (WebPDecodeBGRAInto(input.data(), input.size(), pixels.get(), bytes,
                         static_cast<int>(stride)) == nullptr)
    return SPI_BROKEN_DATA;
  Composite(pixels.get(), stride, bitmap);
  return SPI_OK;
}

int32_t DecodeFirstFrame(const Input& input, vexo::spi::Bitmap& bitmap) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return SPI_INTERNAL_ERROR;
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  const WebPData data{input.data(), input.size()};
  AnimDecoder decoder(WebPAnimDecoderNew(&data, &options));
  if (!decoder) return SPI_BROKEN_DATA;
  WebPAnimInfo info;
  if (!WebPAnimDecoderGetInfo(decoder.get(), &info)) return SPI_BROKEN_DATA;
  if (static_cast<int64_t>(info.canvas_width) != bitmap.width() ||
      static_cast<int64_t>(info.canvas_height) != bitmap.height())
    return SPI_BROKEN_DATA;
  uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || canvas == nullptr)
    return SPI_BROKEN_DATA;
  Composite(canvas, static_cast<size_t>(bitmap.width()) * 4, bitmap);
  return SPI_OK;
}

}  // namespace

extern "C" {

SPI_EXPORT int32_t GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  return vexo::spi::Guard([&]() -> int32_t {
    switch (infono) {
      case 0:
        return vexo::spi::CopyText("00IN", buf, buflen);
      case 1: {
        const int v = WebPGetDecoderVersion();
        const std::string text = "Vexo WebP plug-in 0.1.0 (libwebp " + std::to_string(v >> 16) +
                                 "." + std::to_string((v >> 8) & 0xff) + "." +
                                 std::to_string(v & 0xff) + ")";
        return vexo::spi::CopyText(text, buf, buflen);
      }
      case 2:
        return vexo::spi::CopyText("*.webp", buf, buflen);
      case 3:
        return vexo::spi::CopyText("WebP image", buf, buflen);
      default:
        return 0;
    }
  });
}

SPI_EXPORT int32_t IsSupported(const char* /*filename*/, const void* head) {
  if (head == nullptr) return 0;
  return IsWebp(static_cast<const uint8_t*>(head)) ? 1 : 0;
}

SPI_EXPORT int32_t GetPictureInfo(const char* buf, intptr_t len, uint32_t flag,
                                  SpiPictureInfo* info) {
  return vexo::spi::Guard([&]() -> int32_t {
    if (info == nullptr) return SPI_INTERNAL_ERROR;
    Input input;
    WebPBitstreamFeatures features;
    if (int32_t rc = Open(buf, len, flag, input, features); rc != SPI_OK) return rc;
    vexo::spi::FillInfo(info, features.width, features.height, features.has_alpha ? 32 : 24);
    return SPI_OK;
  });
}

SPI_EXPORT int32_t GetPicture(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                              void** bits_block, SpiProgress progress, intptr_t user) {
  return vexo::spi::Guard([&]() -> int32_t {
    if (info_block == nullptr || bits_block == nullptr) return SPI_INTERNAL_ERROR;
    *info_block = nullptr;
    *bits_block = nullptr;
    Input input;
    WebPBitstreamFeatures features;
    if (int32_t rc = Open(buf, len, flag, input, features); rc != SPI_OK) return rc;
    if (vexo::spi::Aborted(progress, 0, 1, user)) return SPI_ABORTED;
    vexo::spi::Bitmap bitmap;
    if (int32_t rc = bitmap.Create(features.width, features.height); rc != SPI_OK) return rc;
    const int32_t rc =
        features.has_animation ? DecodeFirstFrame(input, bitmap) : DecodeStill(input, bitmap);
    if (rc != SPI_OK) return rc;
    if (vexo::spi::Aborted(progress, 1, 1, user)) return SPI_ABORTED;
    bitmap.Release(info_block, bits_block);
    return SPI_OK;
  });
}

}  // extern "C"
