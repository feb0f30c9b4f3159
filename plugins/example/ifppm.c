/* A minimal input plug-in: binary PPM ("P6", maxval 255) files. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vexo/susie.h>

/* Blocks come from the host's allocator once it has passed one. */
static SpiAlloc alloc = malloc;
static SpiRelease release = free;

static int32_t text(const char* s, char* buf, int32_t buflen) {
  int32_t n = (int32_t)strlen(s) < buflen ? (int32_t)strlen(s) : buflen;
  memcpy(buf, s, (size_t)n);
  return n;
}

int32_t GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  const char* info[] = {"00IN", "PPM plug-in", "*.ppm", "Portable pixmap"};
  return infono >= 0 && infono < 4 ? text(info[infono], buf, buflen) : 0;
}

int32_t IsSupported(const char* filename, const void* head) {
  (void)filename;
  return memcmp(head, "P6", 2) == 0;
}

int32_t GetPictureInfo(const char* buf, intptr_t len, uint32_t flag, SpiPictureInfo* info) {
  (void)buf, (void)len, (void)flag;
  memset(info, 0, sizeof *info);
  return SPI_OK;
}

/* The next number of the header, skipping white space and comments; -1 when there is none. */
static long number(FILE* in) {
  int c = fgetc(in);
  while (c == '#' || c == ' ' || c == '\t' || c == '\r' || c == '\n')
    if (c == '#')
      while ((c = fgetc(in)) != '\n' && c != EOF) {
      }
    else
      c = fgetc(in);
  long value = -1;
  for (; c >= '0' && c <= '9' && value < 100000; c = fgetc(in))
    value = (value < 0 ? 0 : value * 10) + (c - '0');
  return value;
}

int32_t GetPicture(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                   void** bits_block, SpiProgress progress, intptr_t user) {
  (void)progress, (void)user;
  *info_block = *bits_block = NULL;
  if ((flag & SPI_INPUT_MASK) != SPI_INPUT_FILE) return SPI_NOT_IMPLEMENTED;
  FILE* in = fopen(buf, "rb");
  if (!in) return SPI_READ_ERROR;
  char magic[2];
  long w = -1, h = -1, maxval = -1;
  if (fseek(in, (long)len, SEEK_SET) == 0 && fread(magic, 1, 2, in) == 2 &&
      memcmp(magic, "P6", 2) == 0) {
    w = number(in), h = number(in), maxval = number(in);
  }
  int32_t result = SPI_BROKEN_DATA;
  if (w > 0 && h > 0 && maxval == 255) {
    size_t stride = SPI_ROW_BYTES(w, 24);
    SpiBitmapInfoHeader* head = alloc(sizeof *head);
    unsigned char* bits = alloc(stride * (size_t)h);
    result = head && bits ? SPI_OK : SPI_NO_MEMORY;
    for (long y = 0; result == SPI_OK && y < h; ++y) {
      unsigned char* row = bits + stride * (size_t)(h - 1 - y); /* bottom-up */
      memset(row, 0, stride);
      if (fread(row, 3, (size_t)w, in) != (size_t)w) result = SPI_BROKEN_DATA;
      for (long x = 0; x < w; ++x) { /* RGB to BGR */
        unsigned char r = row[3 * x];
        row[3 * x] = row[3 * x + 2];
        row[3 * x + 2] = r;
      }
    }
    if (result == SPI_OK) {
      memset(head, 0, sizeof *head);
      head->biSize = sizeof *head;
      head->biWidth = (int32_t)w;
      head->biHeight = (int32_t)h;
      head->biPlanes = 1;
      head->biBitCount = 24;
      *info_block = head;
      *bits_block = bits;
    } else {
      release(head), release(bits);
    }
  }
  fclose(in);
  return result;
}

void SpiSetAllocator(SpiAlloc a, SpiRelease r) {
  alloc = a;
  release = r;
}
