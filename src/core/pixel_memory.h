// Memory for pixel rows. A camera photo's rows take tens of MiB, more than the C library keeps
// for reuse, so each image would map fresh pages, fault them in and have the kernel clear them.
// Blocks of 2 MiB and up come from the kernel instead, and each thread keeps its last few freed
// blocks for the next images: a worker converting one photo after another reuses the same pages.
// Contents are never carried over, as a Bitmap writes every byte it allocates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>

namespace vexo {

namespace pixel_memory {

void* allocate(std::size_t bytes);
void release(void* block, std::size_t bytes) noexcept;
// Gives this thread's kept blocks back to the kernel (the end of a run).
void trim() noexcept;

}  // namespace pixel_memory

template <class T>
struct PixelAllocator {
  using value_type = T;
  PixelAllocator() = default;
  template <class U>
  PixelAllocator(const PixelAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(pixel_memory::allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { pixel_memory::release(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PixelAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vexo
