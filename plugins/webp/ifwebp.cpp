// Input plug-in for WebP, decoded with libwebp: still pictures with WebPDecodeBGRAInto, animated
// ones through WebPAnimDecoder, which gives the first frame composed on its canvas.
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "spi_common.h"

namespace {

using vexo::spi::Input;

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

int32_t DecodeStill(std::span<const uint8_t> file, vexo::spi::Bitmap& bitmap) {
  const size_t stride = static_cast<size_t>(bitmap.width()) * 4;  // fits: CheckSize passed
  const size_t bytes = stride * static_cast<size_t>(bitmap.height());
  auto pixels = vexo::spi::TryAllocateArray<uint8_t>(bytes);
  if (!pixels) return SPI_NO_MEMORY;
  if (WebPDecodeBGRAInto(file.data(), file.size(), pixels.get(), bytes, static_cast<int>(stride)) ==
      nullptr)
    return SPI_BROKEN_DATA;
  Composite(pixels.get(), stride, bitmap);
  return SPI_OK;
}

int32_t DecodeFirstFrame(std::span<const uint8_t> file, vexo::spi::Bitmap& bitmap) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return SPI_INTERNAL_ERROR;
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  const WebPData data{file.data(), file.size()};
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

// A still picture, or the first frame of an animated one composed on its canvas.
class WebpPicture final : public vexo::spi::Picture {
 public:
  int32_t Open(const Input& input, vexo::spi::Header& header) override {
    WebPBitstreamFeatures features;
    if (int32_t rc = StatusToResult(WebPGetFeatures(input.data(), input.size(), &features));
        rc != SPI_OK)
      return rc;
    file_ = input.bytes();
    animated_ = features.has_animation != 0;
    header.width = features.width;
    header.height = features.height;
    header.depth = features.has_alpha ? 32 : 24;
    return SPI_OK;
  }
  int32_t Decode(vexo::spi::Bitmap& bitmap) override {
    return animated_ ? DecodeFirstFrame(file_, bitmap) : DecodeStill(file_, bitmap);
  }

 private:
  std::span<const uint8_t> file_;
  bool animated_ = false;
};

}  // namespace

namespace vexo::spi {

std::string PluginName() {
  const int v = WebPGetDecoderVersion();
  return "Vexo WebP plug-in 0.1.0 (libwebp " + std::to_string(v >> 16) + "." +
         std::to_string((v >> 8) & 0xff) + "." + std::to_string(v & 0xff) + ")";
}

std::vector<FileType> FileTypes() {
  return {{"*.webp", "WebP image"}};
}

// "RIFF", a 32-bit size, "WEBP".
bool IsFormat(const uint8_t* head) {
  return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0;
}

std::unique_ptr<Picture> NewPicture() {
  return std::make_unique<WebpPicture>();
}

}  // namespace vexo::spi
