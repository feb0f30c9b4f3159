// Shared part of Vexo's input plug-ins: the exported functions, the allocator the host sets,
// reading the input in either form, the size limits checked before decoding and the 24-bit
// bottom-up bitmap that every plug-in hands back. A plug-in supplies only its format: the
// functions declared at the end of this file.
#ifndef VEXO_PLUGINS_SPI_COMMON_H
#define VEXO_PLUGINS_SPI_COMMON_H

#include <vexo/susie.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::spi {

// Largest block of pixels a plug-in produces or lets its decoder allocate: the host's limit set
// through SpiSetMemoryLimit, 1 GiB until it sets one.
uint64_t MaxPixelBytes() noexcept;

// Blocks handed to the host come from the allocator set by SpiSetAllocator (malloc by default).
void* Allocate(size_t size) noexcept;
void Release(void* block) noexcept;

struct BlockDeleter {
  void operator()(void* block) const noexcept { Release(block); }
};
using Block = std::unique_ptr<void, BlockDeleter>;

// The bytes of the picture, whatever form the host passed: a memory buffer is used in place, a
// file is read from the given offset to its end.
class Input {
 public:
  // SPI_OK, or SPI_READ_ERROR / SPI_NOT_IMPLEMENTED / SPI_INTERNAL_ERROR.
  int32_t Load(const char* buf, intptr_t len, uint32_t flag);
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  // The first SPI_HEADER_SIZE bytes, zero-filled past the end, as IsSupported sees them.
  std::array<uint8_t, SPI_HEADER_SIZE> Head() const;

 private:
  std::vector<uint8_t> storage_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// SPI_OK when a width × height picture fits the limits: the 24-bit rows and a 4-byte-per-pixel
// decoder buffer each within MaxPixelBytes(). SPI_BROKEN_DATA for a zero or negative size,
// SPI_NO_MEMORY when too large.
int32_t CheckSize(int64_t width, int64_t height) noexcept;

// Composites a straight (not premultiplied) colour over white, rounded to nearest:
//   (c × a + (255 − a) × 255 + 127) / 255
inline uint8_t OverWhite(uint32_t c, uint32_t a) {
  return static_cast<uint8_t>((c * a + (255u - a) * 255u + 127u) / 255u);
}
// The same for a colour already multiplied by its alpha (p ≈ c × a / 255): p + (255 − a),
// clamped in case a damaged file has p > a.
inline uint8_t PremultipliedOverWhite(uint32_t p, uint32_t a) {
  uint32_t v = p + (255u - a);
  return static_cast<uint8_t>(v > 255u ? 255u : v);
}

// The 24-bit picture being built: the information block (SpiBitmapInfoHeader alone) and the
// bottom-up rows, both from the host's allocator.
class Bitmap {
 public:
  // Allocates both blocks; the size must have passed CheckSize. SPI_OK or SPI_NO_MEMORY.
  int32_t Create(int32_t width, int32_t height, uint16_t x_dpi = 0, uint16_t y_dpi = 0);
  // Row y counted from the top of the picture (stored bottom-up), blue-green-red triplets.
  uint8_t* Row(int32_t y) const;
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // Hands both blocks to the host.
  void Release(void** info_block, void** bits_block);

 private:
  Block info_;
  Block bits_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  size_t stride_ = 0;
};

// A buffer of count elements left uninitialised (the decoder writes every one), or null when it
// cannot be had.
template <class T>
std::unique_ptr<T[]> TryAllocateArray(size_t count) {
  try {
    return std::make_unique_for_overwrite<T[]>(count);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// What a plug-in reads from a file's header: GetPictureInfo reports it, and GetPicture creates
// its bitmap at that size once CheckSize has passed it.
struct Header {
  int64_t width = 0;
  int64_t height = 0;
  int32_t depth = 0;   // bits per pixel of the source
  uint16_t x_dpi = 0;  // dots per inch, 0 when unknown
  uint16_t y_dpi = 0;
};

// One picture of the plug-in's format, from its header to its pixels.
class Picture {
 public:
  virtual ~Picture() = default;
  // Reads the header of the input, whose signature IsFormat has accepted. The input outlives the
  // picture, so its bytes may be used in place. SPI_OK or an error result.
  virtual int32_t Open(const Input& input, Header& header) = 0;
  // Writes every pixel of the bitmap, created at the header's size. SPI_OK or an error result.
  virtual int32_t Decode(Bitmap& bitmap) = 0;
};

struct FileType {
  std::string_view patterns;  // "*.ext;*.ext2"
  std::string_view description;
};

// Defined by each plug-in for its format.
// GetPluginInfo's entry 1: the plug-in's name and version, and its library's.
std::string PluginName();
// The file types it reads: GetPluginInfo's entries 2 and 3, then 4 and 5, and so on.
std::vector<FileType> FileTypes();
// Whether the first SPI_HEADER_SIZE bytes of a file are the format's signature.
bool IsFormat(const uint8_t* head);
// A picture not yet opened.
std::unique_ptr<Picture> NewPicture();

}  // namespace vexo::spi

#endif  // VEXO_PLUGINS_SPI_COMMON_H
