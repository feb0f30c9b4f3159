/* The image plug-in interface of Vexo on Linux.
 *
 * A plug-in is an ELF shared object named "*.spi" that exports the functions below as plain C
 * symbols. The host loads it with dlopen, looks each function up by name (a missing one is a
 * function the plug-in does not have) and calls it from one thread at a time. File names and
 * texts are UTF-8. Every block a plug-in hands back (the information block, the pixel block, the
 * picture's text block) is the host's to release: with the allocator passed to SpiSetAllocator
 * when the plug-in exports it, else with SpiFree when exported, else with free().
 *
 * A plug-in for a format is, in short:
 *   GetPluginInfo(0) "00IN", (1) its name, (2) "*.ext" patterns, (3) the format's name;
 *   IsSupported: whether the first bytes of a file are its format;
 *   GetPictureInfo: the picture's size and depth;
 *   GetPicture: the picture as a bitmap information block and a block of rows.
 */
#ifndef VEXO_SUSIE_H
#define VEXO_SUSIE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SPI_EXPORT __attribute__((visibility("default")))

/* Results of every function. */
enum {
  SPI_NOT_IMPLEMENTED = -1,
  SPI_OK = 0,
  SPI_ABORTED = 1, /* the progress callback asked to stop */
  SPI_UNKNOWN_FORMAT = 2,
  SPI_BROKEN_DATA = 3,
  SPI_NO_MEMORY = 4,
  SPI_MEMORY_ERROR = 5,
  SPI_READ_ERROR = 6,
  SPI_RESERVED = 7,
  SPI_INTERNAL_ERROR = 8
};

/* flag & SPI_INPUT_MASK: what buf and len are. */
enum {
  SPI_INPUT_FILE = 0,   /* buf: a file name; len: where the picture starts in it (0, or 128) */
  SPI_INPUT_MEMORY = 1, /* buf: the whole file in memory; len: its size in bytes */
  SPI_INPUT_MASK = 7
};

/* IsSupported's head holds at least this many bytes of the file, zero-filled past its end. */
#define SPI_HEADER_SIZE 2048

/* What GetPictureInfo tells of a picture. Natural alignment: hInfo lies at offset 24 and the
 * structure is 32 bytes on x86-64. */
typedef struct SpiPictureInfo {
  int32_t left, top;     /* where to place the picture, normally 0 */
  int32_t width, height; /* in pixels */
  uint16_t x_density, y_density;
  int16_t colorDepth; /* bits per pixel of the source */
  void* hInfo;        /* text found in the picture (UTF-8), or NULL; the host releases it */
} SpiPictureInfo;

/* The information block of GetPicture: this header, then the colour table (biClrUsed entries,
 * or 2^biBitCount when 0, for 8 bits or fewer; three masks red, green, blue for
 * SPI_BI_BITFIELDS), exactly as a device-independent bitmap file holds them. */
typedef struct SpiBitmapInfoHeader {
  uint32_t biSize; /* 40 */
  int32_t biWidth;
  int32_t biHeight; /* above 0: rows bottom-up; below 0: top-down */
  uint16_t biPlanes;
  uint16_t biBitCount; /* 1, 4, 8, 16, 24 or 32 */
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter, biYPelsPerMeter;
  uint32_t biClrUsed, biClrImportant;
} SpiBitmapInfoHeader;

typedef struct SpiRGBQuad {
  uint8_t rgbBlue, rgbGreen, rgbRed, rgbReserved;
} SpiRGBQuad;

enum { SPI_BI_RGB = 0, SPI_BI_BITFIELDS = 3 };

/* The pixel block: |biHeight| rows of ((biWidth * biBitCount + 31) / 32) * 4 bytes each. */
#define SPI_ROW_BYTES(width, bits) ((((size_t)(width) * (size_t)(bits) + 31u) / 32u) * 4u)

/* Called with num going from 0 towards denom (denom may be 0); a nonzero result stops the
 * plug-in, which then returns SPI_ABORTED. */
typedef int32_t (*SpiProgress)(int32_t num, int32_t denom, intptr_t user);
typedef void* (*SpiAlloc)(size_t size);
typedef void (*SpiRelease)(void* block);

/* The functions, as the host looks them up. */
typedef int32_t (*SpiGetPluginInfoFn)(int32_t infono, char* buf, int32_t buflen);
typedef int32_t (*SpiIsSupportedFn)(const char* filename, const void* head);
typedef int32_t (*SpiGetPictureInfoFn)(const char* buf, intptr_t len, uint32_t flag,
                                       SpiPictureInfo* info);
typedef int32_t (*SpiGetPictureFn)(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                                   void** bits_block, SpiProgress progress, intptr_t user);
typedef void (*SpiSetAllocatorFn)(SpiAlloc alloc, SpiRelease release);
typedef void (*SpiSetMemoryLimitFn)(uint64_t bytes);
typedef void (*SpiFreeFn)(void* block);

/* What a plug-in defines. GetPluginInfo copies at most buflen bytes (no terminator promised)
 * and returns their count, 0 for an infono it has nothing for. GetPreview has GetPicture's
 * form and may be left out. SpiSetAllocator, when exported, is called before anything else:
 * the plug-in then allocates every block it returns with alloc. SpiSetMemoryLimit, when exported,
 * is called before each GetPicture with the most bytes one picture's pixels may take: the
 * plug-in refuses a larger picture with SPI_NO_MEMORY before decoding it. */
SPI_EXPORT int32_t GetPluginInfo(int32_t infono, char* buf, int32_t buflen);
SPI_EXPORT int32_t IsSupported(const char* filename, const void* head);
SPI_EXPORT int32_t GetPictureInfo(const char* buf, intptr_t len, uint32_t flag,
                                  SpiPictureInfo* info);
SPI_EXPORT int32_t GetPicture(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                              void** bits_block, SpiProgress progress, intptr_t user);
SPI_EXPORT int32_t GetPreview(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                              void** bits_block, SpiProgress progress, intptr_t user);
SPI_EXPORT void SpiSetAllocator(SpiAlloc alloc, SpiRelease release);
SPI_EXPORT void SpiSetMemoryLimit(uint64_t bytes);
SPI_EXPORT void SpiFree(void* block);

#ifdef __cplusplus
}
#endif

#endif /* VEXO_SUSIE_H */
