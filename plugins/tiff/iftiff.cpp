// Input plug-in for TIFF, decoded with libtiff's TIFFReadRGBAImageOriented, which renders every
// photometric interpretation and bit depth it knows to 8-bit RGBA (16-bit samples are reduced to
// their high byte by libtiff). Only the first directory (page) is read.
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "spi_common.h"

namespace {

using vexo::spi::Input;

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

uint16_t ToDpi(float resolution, uint16_t unit) {
  double dpi = resolution;
  if (unit == RESUNIT_CENTIMETER)
    dpi *= 2.54;
  else if (unit != RESUNIT_INCH)
    return 0;
  if (!(dpi > 0) || dpi > 65535) return 0;
  return static_cast<uint16_t>(std::lround(dpi));
}

// An open TIFF over the input's bytes; the first directory is the picture.
class TiffPicture final : public vexo::spi::Picture {
 public:
  int32_t Open(const Input& input, vexo::spi::Header& header) override;
  int32_t Decode(vexo::spi::Bitmap& bitmap) override;

 private:
  MemoryFile file_{};
  Tiff tif_;
};

int32_t TiffPicture::Open(const Input& input, vexo::spi::Header& header) {
  file_ = MemoryFile{input.data(), input.size(), 0};
  std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
  if (!options) return SPI_NO_MEMORY;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), &DiscardMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), &DiscardMessage, nullptr);
  // No single allocation of libtiff for a damaged file beyond the pixel limit.
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                      static_cast<tmsize_t>(vexo::spi::MaxPixelBytes()));
  tif_.reset(TIFFClientOpenExt("memory", "r", &file_, &ReadProc, &WriteProc, &SeekProc, &CloseProc,
                               &SizeProc, &MapProc, &UnmapProc, options.get()));
  if (!tif_) return SPI_BROKEN_DATA;
  TIFF* tif = tif_.get();
  uint32_t width = 0, height = 0;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height))
    return SPI_BROKEN_DATA;
  header.width = width;
  header.height = height;
  uint16_t bits = 1, samples = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  header.depth = static_cast<int32_t>(bits) * samples;
  float x_res = 0, y_res = 0;
  uint16_t unit = RESUNIT_INCH;
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x_res)) header.x_dpi = ToDpi(x_res, unit);
  if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y_res)) header.y_dpi = ToDpi(y_res, unit);
  return SPI_OK;
}

int32_t TiffPicture::Decode(vexo::spi::Bitmap& bitmap) {
  char message[1024];
  if (!TIFFRGBAImageOK(tif_.get(), message)) return SPI_BROKEN_DATA;
  const int32_t width = bitmap.width();
  const int32_t height = bitmap.height();
  // CheckSize bounded width × height × 4 by 1 GiB.
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  auto raster = vexo::spi::TryAllocateArray<uint32_t>(pixels);
  if (!raster) return SPI_NO_MEMORY;
  if (!TIFFReadRGBAImageOriented(tif_.get(), static_cast<uint32_t>(width),
                                 static_cast<uint32_t>(height), raster.get(), ORIENTATION_TOPLEFT,
                                 /*stop_on_error=*/1))
    return SPI_BROKEN_DATA;

  // libtiff's RGBA raster holds premultiplied colours (it multiplies unassociated alpha itself),
  // so compositing over white is p + (255 − a).
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t* src = raster.get() + static_cast<size_t>(y) * static_cast<size_t>(width);
    uint8_t* dst = bitmap.Row(y);
    for (int32_t x = 0; x < width; ++x, ++src, dst += 3) {
      const uint32_t a = TIFFGetA(*src);
      dst[0] = vexo::spi::PremultipliedOverWhite(TIFFGetB(*src), a);
      dst[1] = vexo::spi::PremultipliedOverWhite(TIFFGetG(*src), a);
      dst[2] = vexo::spi::PremultipliedOverWhite(TIFFGetR(*src), a);
    }
  }
  return SPI_OK;
}

}  // namespace

namespace vexo::spi {

std::string PluginName() {
  // TIFFGetVersion() is "LIBTIFF, Version 4.5.0" followed by a copyright notice.
  std::string version = TIFFGetVersion();
  version = version.substr(0, version.find('\n'));
  if (const size_t at = version.find("Version "); at != std::string::npos)
    version = version.substr(at + 8);
  return "Vexo TIFF plug-in 0.1.0 (libtiff " + version + ")";
}

std::vector<FileType> FileTypes() {
  return {{"*.tif;*.tiff", "TIFF image"}};
}

// Classic TIFF "II*\0" / "MM\0*" and BigTIFF "II+\0" / "MM\0+".
bool IsFormat(const uint8_t* h) {
  return (h[0] == 'I' && h[1] == 'I' && (h[2] == 42 || h[2] == 43) && h[3] == 0) ||
         (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && (h[3] == 42 || h[3] == 43));
}

std::unique_ptr<Picture> NewPicture() {
  return std::make_unique<TiffPicture>();
}

}  // namespace vexo::spi
