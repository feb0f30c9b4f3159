// Input plug-in for HEIF/HEIC (and AVIF when the installed libheif has an AV1 decoder), decoded
// with libheif: the primary image, with its rotation, mirroring and cropping applied as libheif
// does by default. Samples deeper than 8 bits are reduced to 8 by libheif when it converts to
// interleaved 8-bit RGB(A): it keeps their high 8 bits.
#include <libheif/heif.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
class HeifPicture final : public vexo::spi::Picture {
 public:
  int32_t Open(const Input& input, vexo::spi::Header& header) override;
  int32_t Decode(vexo::spi::Bitmap& bitmap) override;

 private:
  Library library_;
  std::unique_ptr<heif_context, ContextDeleter> context_;
  std::unique_ptr<heif_image_handle, HandleDeleter> handle_;
  bool alpha_ = false;
};

int32_t HeifPicture::Open(const Input& input, vexo::spi::Header& header) {
  context_.reset(heif_context_alloc());
  if (!context_) return SPI_NO_MEMORY;
  // The input outlives the context, so libheif may read it in place.
  if (int32_t rc = ErrorToResult(heif_context_read_from_memory_without_copy(
          context_.get(), input.data(), input.size(), nullptr));
      rc != SPI_OK)
    return rc;
  heif_image_handle* handle = nullptr;
  if (int32_t rc = ErrorToResult(heif_context_get_primary_image_handle(context_.get(), &handle));
      rc != SPI_OK)
    return rc;
  handle_.reset(handle);
  // The size after the file's transformations, as it will be decoded.
  header.width = heif_image_handle_get_width(handle);
  header.height = heif_image_handle_get_height(handle);
  alpha_ = heif_image_handle_has_alpha_channel(handle) != 0;
  const int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
  header.depth = (bits > 0 ? bits : 8) * (alpha_ ? 4 : 3);
  return SPI_OK;
}

int32_t HeifPicture::Decode(vexo::spi::Bitmap& bitmap) {
  std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
  if (!options) return SPI_NO_MEMORY;
  options->ignore_transformations = 0;
  heif_image* decoded = nullptr;
  const heif_chroma chroma = alpha_ ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  const heif_error error =
      heif_decode_image(handle_.get(), &decoded, heif_colorspace_RGB, chroma, options.get());
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
  const bool premultiplied = alpha_ && heif_image_is_premultiplied_alpha(image.get());

  for (int32_t y = 0; y < bitmap.height(); ++y) {
    const uint8_t* src = plane + static_cast<size_t>(y) * static_cast<size_t>(stride);
    uint8_t* dst = bitmap.Row(y);
    if (!alpha_) {
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

namespace vexo::spi {

std::string PluginName() {
  return std::string("Vexo HEIF plug-in 0.1.0 (libheif ") + heif_get_version() + ")";
}

std::vector<FileType> FileTypes() {
  Library library;
  std::vector<FileType> types = {{"*.heic;*.heif;*.hif", "HEIF/HEIC image"}};
  // AVIF only when this libheif can decode AV1.
  if (HaveAv1()) types.push_back({"*.avif", "AVIF image"});
  return types;
}

bool IsFormat(const uint8_t* head) {
  Library library;
  return IsHeif(head, HaveAv1());
}

std::unique_ptr<Picture> NewPicture() {
  return std::make_unique<HeifPicture>();
}

}  // namespace vexo::spi
