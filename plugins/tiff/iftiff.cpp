// Input plug-in for TIFF, decoded with libtiff's TIFFReadRGBAImageOriented, which renders every
// photometric interpretation and bit depth it knows to 8-bit RGBA (16-bit samples are reduced to
// their high byte by libtiff). Only the first directory (page) is read.
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "spi_common.h"

namespace {

using vexo::spi::Input;

// Classic TIFF "II*\0" / "MM\0*" and BigTIFF "II+\0" / "MM\0+".
bool IsTiff(const uint8_t* h) {
  return (h[0] == 'I' && h[1] == 'I' && (h[2] == 42 || h[2] == 43) && h[3] == 0) ||
         (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && (h[3] == 42 || h[3] == 43));
}

// The input as libtiff's client file: reads, seeks and maps over the bytes in memory.
struct MemoryFile {
  const uint8_t* data;
  uint64_t size;
  uint64_t pos;
};

tmsize_t ReadProc(thandle_t handle, void* buf, tmsize_t count) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (count <= 0 || file->pos >= file->size) return 0;
  uint64_t n = file->size - file->pos;
  if (n > static_cast<uint64_t>(count)) n = static_cast<uint64_t>(count);
  std::memcpy(buf, file->data + file->pos, static_cast<size_t>(n));
  file->pos += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t WriteProc(thandle_t, void*, tmsize_t) {
  return 0;
}  // opened read-only

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(handle);
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = file->pos;
  if (whence == SEEK_END) base = file->size;
  // libtiff passes relative moves as two's-complement offsets: add them as signed numbers.
  const auto delta = static_cast<int64_t>(offset);
  int64_t target = 0;
  if (base > static_cast<uint64_t>(INT64_MAX) ||
      __builtin_add_overflow(static_cast<int64_t>(base), delta, &target) || target < 0)
    return static_cast<toff_t>(-1);
  file->pos = static_cast<uint64_t>(target);
  return file->pos;
}

int CloseProc(thandle_t) {
  return 0;
}
toff_t SizeProc(thandle_t handle) {
  return static_cast<MemoryFile*>(handle)->size;
}

int MapProc(thandle_t handle, void** base, toff_t* size) {
  auto* file = static_cast<MemoryFile*>(handle);
  // libtiff only reads through the mapping of a file opened with "r".
  *base = const_cast<uint8_t*>(file->data);
  *size = file->size;
  return 1;
}
void UnmapProc(thandle_t, void*, toff_t) {}

// Errors and warnings of this open are dropped: returning 1 keeps libtiff from passing them on
// to its process-wide handlers (which print to stderr). The result code tells the host instead.
int DiscardMessage(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

struct OptionsDeleter {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
struct TiffDeleter {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using Tiff = std::unique_ptr<TIFF, TiffDeleter>;

// An open TIFF over the input's bytes, with the size of its first directory.
struct Picture {
  MemoryFile file{};
  Tiff tif;
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t depth = 0;
  uint16_t x_dpi = 0;
  uint16_t y_dpi = 0;
};

uint16_t ToDpi(float resolution, uint16_t unit) {
  double dpi = resolution;
  if (unit == RESUNIT_CENTIMETER)
    dpi *= 2.54;
  else if (unit != RESUNIT_INCH)
    return 0;
  if (!(dpi > 0) || dpi > 65535) return 0;
  return static_cast<uint16_t>(std::lround(dpi));
}

int32_t Open(const char* buf, intptr_t len, uint32_t flag, Input& input, Picture& picture) {
  if (int32_t rc = input.Load(buf, len, flag); rc != SPI_OK) return rc;
  if (!IsTiff(input.Head().data())) return SPI_UNKNOWN_FORMAT;
  picture.file = MemoryFile{input.data(), input.size(), 0};

  std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
  if (!options) return SPI_NO_MEMORY;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), &DiscardMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), &DiscardMessage, nullptr);
  // No single allocation of libtiff for a damaged file beyond the pixel limit.
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                      static_cast<tmsize_t>(vexo::spi::kMaxPixelBytes));
  picture.tif.reset(TIFFClientOpenExt("memory", "r", &picture.file, &ReadProc, &WriteProc,
                                      &SeekProc, &CloseProc, &SizeProc, &MapProc, &UnmapProc,
                                      options.get()));
  if (!picture.tif) return SPI_BROKEN_DATA;
  TIFF* tif = picture.tif.get();
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &picture.width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &picture.height))
    return SPI_BROKEN_DATA;
  if (int32_t rc = vexo::spi::CheckSize(picture.width, picture.height); rc != SPI_OK) return rc;
  uint16_t bits = 1, samples = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  picture.depth = static_cast<int32_t>(bits) * samples;
  float x_res = 0, y_res = 0;
  uint16_t unit = RESUNIT_INCH;
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x_res)) picture.x_dpi = ToDpi(x_res, unit);
  if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y_res)) picture.y_dpi = ToDpi(y_res, unit);
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
        // TIFFGetVersion() is "LIBTIFF, Version 4.5.0" followed by a copyright notice.
        std::string version = TIFFGetVersion();
        version = version.substr(0, version.find('\n'));
        if (const size_t at = version.find("Version "); at != std::string::npos)
          version = version.substr(at + 8);
        return vexo::spi::CopyText("Vexo TIFF plug-in 0.1.0 (libtiff " + version + ")", buf,
                                   buflen);
      }
      case 2:
        return vexo::spi::CopyText("*.tif;*.tiff", buf, buflen);
      case 3:
        return vexo::spi::CopyText("TIFF image", buf, buflen);
      default:
        return 0;
    }
  });
}

SPI_EXPORT int32_t IsSupported(const char* /*filename*/, const void* head) {
  if (head == nullptr) return 0;
  return IsTiff(static_cast<const uint8_t*>(head)) ? 1 : 0;
}

SPI_EXPORT int32_t GetPictureInfo(const char* buf, intptr_t len, uint32_t flag,
                                  SpiPictureInfo* info) {
  return vexo::spi::Guard([&]() -> int32_t {
    if (info == nullptr) return SPI_INTERNAL_ERROR;
    Input input;
    Picture picture;
    if (int32_t rc = Open(buf, len, flag, input, picture); rc != SPI_OK) return rc;
    vexo::spi::FillInfo(info, static_cast<int32_t>(picture.width),
                        static_cast<int32_t>(picture.height), picture.depth, picture.x_dpi,
                        picture.y_dpi);
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
    char message[1024];
    if (!TIFFRGBAImageOK(picture.tif.get(), message)) return SPI_BROKEN_DATA;
    if (vexo::spi::Aborted(progress, 0, 1, user)) return SPI_ABORTED;

    const auto width = static_cast<int32_t>(picture.width);
    const auto height = static_cast<int32_t>(picture.height);
    vexo::spi::Bitmap bitmap;
    if (int32_t rc = bitmap.Create(width, height, picture.x_dpi, picture.y_dpi); rc != SPI_OK)
      return rc;
    // CheckSize bounded width × height × 4 by 1 GiB.
    auto raster =
        vexo::spi::TryAllocateArray<uint32_t>(static_cast<size_t>(picture.width) * picture.height);
    if (!raster) return SPI_NO_MEMORY;
    if (!TIFFReadRGBAImageOriented(picture.tif.get(), picture.width, picture.height, raster.get(),
                                   ORIENTATION_TOPLEFT, /*stop_on_error=*/1))
      return SPI_BROKEN_DATA;

    // libtiff's RGBA raster holds premultiplied colours (it multiplies unassociated alpha
    // itself), so compositing over white is p + (255 − a).
    for (int32_t y = 0; y < height; ++y) {
      const uint32_t* src = raster.get() + static_cast<size_t>(y) * picture.width;
      uint8_t* dst = bitmap.Row(y);
      for (int32_t x = 0; x < width; ++x, ++src, dst += 3) {
        const uint32_t a = TIFFGetA(*src);
        dst[0] = vexo::spi::PremultipliedOverWhite(TIFFGetB(*src), a);
        dst[1] = vexo::spi::PremultipliedOverWhite(TIFFGetG(*src), a);
        dst[2] = vexo::spi::PremultipliedOverWhite(TIFFGetR(*src), a);
      }
    }
    if (vexo::spi::Aborted(progress, 1, 1, user)) return SPI_ABORTED;
    bitmap.Release(info_block, bits_block);
    return SPI_OK;
  });
}

}  // extern "C"
