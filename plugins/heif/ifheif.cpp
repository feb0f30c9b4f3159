// Input plug-in for HEIF/HEIC (and AVIF when the installed libheif has an AV1 decoder), decoded
// with libheif: the primary image, with its rotation, mirroring and cropping applied as libheif
// does by default. Samples deeper than 8 bits are reduced to 8 by libheif when it converts to
// interleaved 8-bit RGB(A): it keeps their high 8 bits.
#include <libheif/heif.h>

#include <cstring>
#include <string>
#include <string_view>

#include "spi_common.h"

namespace {

using vexo::spi::Input;

bool HaveAv1() {
  return heif_have_decoder_for_format(heif_compression_AV1) != 0;
}

bool IsKnownBrand(const uint8_t* brand, bool av1) {
  static constexpr std::string_view kBrands[] = {"heic", "heix", "hevc", "hevx",
                                                 "mif1", "msf1", "heim", "heis"};
  for (std::string_view known : kBrands)
    if (std::memcmp(brand, known.data(), 4) == 0) return true;
  return av1 && (std::memcmp(brand, "avif", 4) == 0 || std::memcmp(brand, "avis", 4) == 0);
}

// An ISO-BMFF file starts with its "ftyp" box: size, "ftyp", major brand, minor version, then
// compatible brands up to the end of the box. One known brand among them is enough.
bool IsHeif(const uint8_t* head, bool av1) {
  if (std::memcmp(head + 4, "ftyp", 4) != 0) return false;
  const uint32_t box =
      (uint32_t{head[0]} << 24) | (uint32_t{head[1]} << 16) | (uint32_t{head[2]} << 8) | head[3];
  if (box < 16) return false;
  const uint32_t end = box < SPI_HEADER_SIZE ? box : SPI_HEADER_SIZE;
  if (IsKnownBrand(head + 8, av1)) return true;
  for (uint32_t at = 16; at + 4 <= end; at += 4)
    if (IsKnownBrand(head + at, av1)) return true;
  return false;
}

// libheif's init/deinit are reference counted: each exported call holds one reference.
class Library {
 public:
  Library() { heif_init(nullptr); }
  ~Library() { heif_deinit(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
};

struct ContextDeleter {
  void operator()(heif_context* ctx) const { heif_context_free(ctx); }
};
struct HandleDeleter {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
  void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsDeleter {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

int32_t ErrorToResult(const heif_error& error) {
  switch (error.code) {
    case heif_error_Ok:
      return SPI_OK;
    case heif_error_Unsupported_filetype:
    case heif_error_Unsupported_feature:
      return SPI_UNKNOWN_FORMAT;
    case heif_error_Memory_allocation_error:
      return SPI_NO_MEMORY;
    default:
      return error.subcode == heif_suberror_Security_limit_exceeded ? SPI_NO_MEMORY
                                                                    : SPI_BROKEN_DATA;
  }
}

// The file's primary image. Members are declared so that the handle is released before the
// context, and both before libheif's reference.
struct Picture {
  Library library;
  std::unique_ptr<heif_context, ContextDeleter> context;
  std::unique_ptr<heif_image_handle, HandleDeleter> handle;
  int32_t width = 0;
  int32_t height = 0;
  bool alpha = false;
};

int32_t Open(const char* buf, intptr_t len, uint32_t flag, Input& input, Picture& picture) {
  if (int32_t rc = input.Load(buf, len, flag); rc != SPI_OK) return rc;
  if (!IsHeif(input.Head().data(), HaveAv1())) return SPI_UNKNOWN_FORMAT;
  picture.context.reset(heif_context_alloc());
  if (!picture.context) return SPI_NO_MEMORY;
  // The input outlives the context, so libheif may read it in place.
  if (int32_t rc = ErrorToResult(heif_context_read_from_memory_without_copy(
          picture.context.get(), input.data(), input.size(), nullptr));
      rc != SPI_OK)
    return rc;
  heif_image_handle* handle = nullptr;
  if (int32_t rc =
          ErrorToResult(heif_context_get_primary_image_handle(picture.context.get(), &handle));
      rc != SPI_OK)
    return rc;
  picture.handle.reset(handle);
  // The size after the file's transformations, as it will be decoded.
  picture.width = heif_image_handle_get_width(handle);
  picture.height = heif_image_handle_get_height(handle);
  picture.alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  return vexo::spi::CheckSize(picture.width, picture.height);
}

int32_t SourceDepth(const Picture& picture) {
  const int bits = heif_image_handle_get_luma_bits_per_pixel(picture.handle.get());
  return (bits > 0 ? bits : 8) * (picture.alpha ? 4 : 3);
}

int32_t Decode(const Picture& picture, vexo::spi::Bitmap& bitmap) {
  std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
  if (!options) return SPI_NO_MEMORY;
  options->ignore_transformations = 0;
  heif_image* decoded = nullptr;
  const heif_chroma chroma =
      picture.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  const heif_error error =
      heif_decode_image(picture.handle.get(), &decoded, heif_colorspace_RGB, chroma, options.get());
  std::unique_ptr<heif_image, ImageDeleter> image(decoded);
  if (int32_t rc = ErrorToResult(error); rc != SPI_OK) return rc;
  if (!image) return SPI_BROKEN_DATA;
  if (heif_image_get_width(image.get(), heif_channel_interleaved) != bitmap.width() ||
      heif_image_get_height(image.get(), heif_channel_interleaved) != bitmap.height())
    return SPI_BROKEN_DATA;
  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (plane == nullptr || stride <= 0) return SPI_BROKEN_DATA;
  const bool premultiplied = picture.alpha && heif_image_is_premultiplied_alpha(image.get());

  for (int32_t y = 0; y < bitmap.height(); ++y) {
    const uint8_t* src = plane + static_cast<size_t>(y) * static_cast<size_t>(stride);
    uint8_t* dst = bitmap.Row(y);
    if (!picture.alpha) {
      for (int32_t x = 0; x < bitmap.width(); ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      continue;
    }
    for (int32_t x = 0; x < bitmap.width(); ++x, src += 4, dst += 3) {
      const uint32_t a = src[3];
      for (int c = 0; c < 3; ++c) {
        dst[c] = premultiplied ? vexo::spi::PremultipliedOverWhite(src[2 - c], a)
                               : vexo::spi::OverWhite(src[2 - c], a);
      }
    }
  }
  return SPI_OK;
}

}  // namespace

extern "C" {

SPI_EXPORT int32_t GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  return vexo::spi::Guard([&]() -> int32_t {
    Library library;
    // The AVIF entry pair exists only when this libheif can decode AV1.
    const bool av1 = HaveAv1();
    switch (infono) {
      case 0:
        return vexo::spi::CopyText("00IN", buf, buflen);
      case 1:
        return vexo::spi::CopyText(
            std::string("Vexo HEIF plug-in 0.1.0 (libheif ") + heif_get_version() + ")", buf,
            buflen);
      case 2:
        return vexo::spi::CopyText("*.heic;*.heif;*.hif", buf, buflen);
      case 3:
        return vexo::spi::CopyText("HEIF/HEIC image", buf, buflen);
      case 4:
        return av1 ? vexo::spi::CopyText("*.avif", buf, buflen) : 0;
      case 5:
        return av1 ? vexo::spi::CopyText("AVIF image", buf, buflen) : 0;
      default:
        return 0;
    }
  });
}

SPI_EXPORT int32_t IsSupported(const char* /*filename*/, const void* head) {
  if (head == nullptr) return 0;
  return vexo::spi::Guard([&]() -> int32_t {
    Library library;
    return IsHeif(static_cast<const uint8_t*>(head), HaveAv1()) ? 1 : 0;
  });
}

SPI_EXPORT int32_t GetPictureInfo(const char* buf, intptr_t len, uint32_t flag,
                                  SpiPictureInfo* info) {
  return vexo::spi::Guard([&]() -> int32_t {
    if (info == nullptr) return SPI_INTERNAL_ERROR;
    Input input;
    Picture picture;
    if (int32_t rc = Open(buf, len, flag, input, picture); rc != SPI_OK) return rc;
    vexo::spi::FillInfo(info, picture.width, picture.height, SourceDepth(picture));
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
    Picture picture;
    if (int32_t rc = Open(buf, len, flag, input, picture); rc != SPI_OK) return rc;
    if (vexo::spi::Aborted(progress, 0, 1, user)) return SPI_ABORTED;
    vexo::spi::Bitmap bitmap;
    if (int32_t rc = bitmap.Create(picture.width, picture.height); rc != SPI_OK) return rc;
    if (int32_t rc = Decode(picture, bitmap); rc != SPI_OK) return rc;
    if (vexo::spi::Aborted(progress, 1, 1, user)) return SPI_ABORTED;
    bitmap.Release(info_block, bits_block);
    return SPI_OK;
  });
}

}  // extern "C"
