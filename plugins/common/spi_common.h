// Shared helpers of Vexo's input plug-ins: the allocator the host sets, reading the input in
// either form, the size limits checked before decoding and the 24-bit bottom-up bitmap that every
// plug-in hands back.
#ifndef VEXO_PLUGINS_SPI_COMMON_H
#define VEXO_PLUGINS_SPI_COMMON_H

#include <vexo/susie.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

namespace vexo::spi {

// Largest block of pixels a plug-in produces or lets its decoder allocate: 1 GiB.
inline constexpr uint64_t kMaxPixelBytes = uint64_t{1} << 30;

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
// decoder buffer each within kMaxPixelBytes. SPI_BROKEN_DATA for a zero or negative size,
// SPI_NO_MEMORY when too large.
int32_t CheckSize(int64_t width, int64_t height) noexcept;

// Fills the host's SpiPictureInfo; densities in dots per inch, 0 when unknown.
void FillInfo(SpiPictureInfo* info, int32_t width, int32_t height, int32_t depth,
              uint16_t x_dpi = 0, uint16_t y_dpi = 0) noexcept;

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

// Calls the host's progress callback, when there is one; true when it asks to stop.
inline bool Aborted(SpiProgress progress, int32_t num, int32_t denom, intptr_t user) {
  return progress != nullptr && progress(num, denom, user) != 0;
}

// Copies text for GetPluginInfo: at most buflen bytes, no terminator; returns the count.
int32_t CopyText(std::string_view text, char* buf, int32_t buflen) noexcept;

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

// Runs the body of an exported function so that no exception crosses the C boundary.
template <class F>
int32_t Guard(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return SPI_NO_MEMORY;
  } catch (...) {
    return SPI_INTERNAL_ERROR;
  }
}

}  // namespace vexo::spi

#endif  // VEXO_PLUGINS_SPI_COMMON_H
