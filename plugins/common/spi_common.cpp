#include "spi_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace vexo::spi {
namespace {

// The one piece of mutable state of a plug-in: the allocator pair the host chose. The host sets
// it before any other call and calls a plug-in from one thread at a time.
SpiAlloc g_alloc = &std::malloc;
SpiRelease g_release = &std::free;
uint64_t g_max_pixel_bytes = uint64_t{1} << 30;

// Closes a file descriptor on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void* Allocate(size_t size) noexcept {
  return g_alloc(size == 0 ? 1 : size);
}
void Release(void* block) noexcept {
  if (block != nullptr) g_release(block);
}

int32_t Input::Load(const char* buf, intptr_t len, uint32_t flag) {
  switch (flag & SPI_INPUT_MASK) {
    case SPI_INPUT_MEMORY:
      if (len < 0 || (buf == nullptr && len != 0)) return SPI_INTERNAL_ERROR;
      data_ = reinterpret_cast<const uint8_t*>(buf);
      size_ = static_cast<size_t>(len);
      return SPI_OK;
    case SPI_INPUT_FILE:
      break;
    default:
      return SPI_NOT_IMPLEMENTED;
  }
  if (buf == nullptr || len < 0) return SPI_INTERNAL_ERROR;
  Fd fd(::open(buf, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return SPI_READ_ERROR;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return SPI_READ_ERROR;
  const auto offset = static_cast<uint64_t>(len);
  const auto file_size = static_cast<uint64_t>(st.st_size);
  if (offset > file_size) return SPI_READ_ERROR;
  const uint64_t wanted = file_size - offset;
  if (wanted > std::numeric_limits<size_t>::max() / 2) return SPI_NO_MEMORY;
  storage_.resize(static_cast<size_t>(wanted));
  size_t done = 0;
  while (done < storage_.size()) {
    ssize_t got = ::pread(fd.get(), storage_.data() + done, storage_.size() - done,
                          static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return SPI_READ_ERROR;
    if (got == 0) break;  // the file shrank meanwhile: keep what was read
    done += static_cast<size_t>(got);
  }
  storage_.resize(done);
  data_ = storage_.data();
  size_ = storage_.size();
  return SPI_OK;
}

std::array<uint8_t, SPI_HEADER_SIZE> Input::Head() const {
  std::array<uint8_t, SPI_HEADER_SIZE> head{};
  if (size_ > 0) std::memcpy(head.data(), data_, size_ < head.size() ? size_ : head.size());
  return head;
}

uint64_t MaxPixelBytes() noexcept {
  return g_max_pixel_bytes;
}

int32_t CheckSize(int64_t width, int64_t height) noexcept {
  if (width <= 0 || height <= 0) return SPI_BROKEN_DATA;
  if (width > std::numeric_limits<int32_t>::max() || height > std::numeric_limits<int32_t>::max())
    return SPI_NO_MEMORY;
  uint64_t pixels = 0, decoder_bytes = 0, row_bytes = 0, bitmap_bytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(width), static_cast<uint64_t>(height),
                             &pixels) ||
      __builtin_mul_overflow(pixels, uint64_t{4}, &decoder_bytes) ||
      decoder_bytes > g_max_pixel_bytes)
    return SPI_NO_MEMORY;
  row_bytes = SPI_ROW_BYTES(width, 24);
  if (__builtin_mul_overflow(row_bytes, static_cast<uint64_t>(height), &bitmap_bytes) ||
      bitmap_bytes > g_max_pixel_bytes)
    return SPI_NO_MEMORY;
  return SPI_OK;
}

int32_t Bitmap::Create(int32_t width, int32_t height, uint16_t x_dpi, uint16_t y_dpi) {
  if (CheckSize(width, height) != SPI_OK) return SPI_NO_MEMORY;
  width_ = width;
  height_ = height;
  stride_ = SPI_ROW_BYTES(width, 24);
  const size_t image_bytes = stride_ * static_cast<size_t>(height);
  info_.reset(Allocate(sizeof(SpiBitmapInfoHeader)));
  bits_.reset(Allocate(image_bytes));
  if (!info_ || !bits_) return SPI_NO_MEMORY;
  SpiBitmapInfoHeader header{};
  header.biSize = sizeof(SpiBitmapInfoHeader);
  header.biWidth = width;
  header.biHeight = height;  // positive: rows bottom-up
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = SPI_BI_RGB;
  header.biSizeImage = static_cast<uint32_t>(image_bytes);
  // Dots per inch to dots per metre, rounded.
  header.biXPelsPerMeter = static_cast<int32_t>((x_dpi * 10000 + 127) / 254);
  header.biYPelsPerMeter = static_cast<int32_t>((y_dpi * 10000 + 127) / 254);
  std::memcpy(info_.get(), &header, sizeof header);
  // The padding at the end of each row is zeroed here; the pixels are all written by the caller.
  if (stride_ != static_cast<size_t>(width) * 3) {
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = Row(y);
      std::memset(row + static_cast<size_t>(width) * 3, 0,
                  stride_ - static_cast<size_t>(width) * 3);
    }
  }
  return SPI_OK;
}

uint8_t* Bitmap::Row(int32_t y) const {
  return static_cast<uint8_t*>(bits_.get()) + static_cast<size_t>(height_ - 1 - y) * stride_;
}

void Bitmap::Release(void** info_block, void** bits_block) {
  *info_block = info_.release();
  *bits_block = bits_.release();
}

namespace {

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

// Calls the host's progress callback, when there is one; true when it asks to stop.
bool Aborted(SpiProgress progress, int32_t num, int32_t denom, intptr_t user) {
  return progress != nullptr && progress(num, denom, user) != 0;
}

// GetPluginInfo's entry infono, empty where there is none.
std::string InfoText(int32_t infono) {
  if (infono == 0) return "00IN";
  if (infono == 1) return PluginName();
  if (infono < 0) return {};
  const std::vector<FileType> types = FileTypes();
  const auto index = static_cast<size_t>(infono - 2) / 2;
  if (index >= types.size()) return {};
  return std::string(infono % 2 == 0 ? types[index].patterns : types[index].description);
}

// Copies text for GetPluginInfo: at most buflen bytes, no terminator; returns the count.
int32_t CopyText(std::string_view text, char* buf, int32_t buflen) noexcept {
  if (buf == nullptr || buflen <= 0) return 0;
  const size_t count = text.size() < static_cast<size_t>(buflen) ? text.size() : buflen;
  std::memcpy(buf, text.data(), count);
  return static_cast<int32_t>(count);
}

// Loads the input and opens the picture in it: SPI_OK once its header has passed CheckSize.
int32_t Open(const char* buf, intptr_t len, uint32_t flag, Input& input, Picture& picture,
             Header& header) {
  if (int32_t rc = input.Load(buf, len, flag); rc != SPI_OK) return rc;
  if (!IsFormat(input.Head().data())) return SPI_UNKNOWN_FORMAT;
  if (int32_t rc = picture.Open(input, header); rc != SPI_OK) return rc;
  return CheckSize(header.width, header.height);
}

int32_t ReadInfo(const char* buf, intptr_t len, uint32_t flag, SpiPictureInfo* info) {
  if (info == nullptr) return SPI_INTERNAL_ERROR;
  Input input;
  const std::unique_ptr<Picture> picture = NewPicture();
  Header header;
  if (int32_t rc = Open(buf, len, flag, input, *picture, header); rc != SPI_OK) return rc;
  info->left = 0;
  info->top = 0;
  info->width = static_cast<int32_t>(header.width);  // fits: CheckSize passed
  info->height = static_cast<int32_t>(header.height);
  info->x_density = header.x_dpi;
  info->y_density = header.y_dpi;
  info->colorDepth = static_cast<int16_t>(header.depth > 0x7fff ? 0x7fff : header.depth);
  info->hInfo = nullptr;
  return SPI_OK;
}

int32_t ReadPicture(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                    void** bits_block, SpiProgress progress, intptr_t user) {
  if (info_block == nullptr || bits_block == nullptr) return SPI_INTERNAL_ERROR;
  *info_block = nullptr;
  *bits_block = nullptr;
  Input input;
  const std::unique_ptr<Picture> picture = NewPicture();
  Header header;
  if (int32_t rc = Open(buf, len, flag, input, *picture, header); rc != SPI_OK) return rc;
  if (Aborted(progress, 0, 1, user)) return SPI_ABORTED;
  Bitmap bitmap;
  if (int32_t rc = bitmap.Create(static_cast<int32_t>(header.width),
                                 static_cast<int32_t>(header.height), header.x_dpi, header.y_dpi);
      rc != SPI_OK)
    return rc;
  if (int32_t rc = picture->Decode(bitmap); rc != SPI_OK) return rc;
  if (Aborted(progress, 1, 1, user)) return SPI_ABORTED;
  bitmap.Release(info_block, bits_block);
  return SPI_OK;
}

}  // namespace

}  // namespace vexo::spi

extern "C" {

SPI_EXPORT int32_t GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  return vexo::spi::Guard(
      [&] { return vexo::spi::CopyText(vexo::spi::InfoText(infono), buf, buflen); });
}

SPI_EXPORT int32_t IsSupported(const char* /*filename*/, const void* head) {
  if (head == nullptr) return 0;
  return vexo::spi::Guard(
      [&]() -> int32_t { return vexo::spi::IsFormat(static_cast<const uint8_t*>(head)) ? 1 : 0; });
}

SPI_EXPORT int32_t GetPictureInfo(const char* buf, intptr_t len, uint32_t flag,
                                  SpiPictureInfo* info) {
  return vexo::spi::Guard([&] { return vexo::spi::ReadInfo(buf, len, flag, info); });
}

SPI_EXPORT int32_t GetPicture(const char* buf, intptr_t len, uint32_t flag, void** info_block,
                              void** bits_block, SpiProgress progress, intptr_t user) {
  return vexo::spi::Guard([&] {
    return vexo::spi::ReadPicture(buf, len, flag, info_block, bits_block, progress, user);
  });
}

SPI_EXPORT void SpiSetAllocator(SpiAlloc alloc, SpiRelease release) {
  // A pair with a missing half falls back to malloc/free as a whole, so blocks are never
  // released by a function that did not allocate them.
  if (alloc != nullptr && release != nullptr) {
    vexo::spi::g_alloc = alloc;
    vexo::spi::g_release = release;
  } else {
    vexo::spi::g_alloc = &std::malloc;
    vexo::spi::g_release = &std::free;
  }
}

SPI_EXPORT void SpiSetMemoryLimit(uint64_t bytes) {
  if (bytes > 0) vexo::spi::g_max_pixel_bytes = bytes;
}

SPI_EXPORT void SpiFree(void* block) {
  vexo::spi::Release(block);
}

}  // extern "C"
