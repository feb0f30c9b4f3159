#include "core/pixel_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>

namespace vexo::pixel_memory {

namespace {

constexpr std::size_t kUnit = std::size_t{2} << 20;  // the smallest block, and its multiples
constexpr std::size_t kHeader = 64;  // in front of the pixels: the block's mapped size

std::size_t roundUp(std::size_t n, std::size_t unit) {
  return (n + unit - 1) / unit * unit;
}

void* mapBlock(std::size_t size) {
  void* start = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (start == MAP_FAILED) throw std::bad_alloc();
  return start;
}

struct Block {
  void* start;
  std::size_t size;
};

// The freed blocks one thread keeps, oldest first. Trivially destructible, so that a bitmap
// freed late in a thread's exit still finds it; Finish gives the blocks back at that exit.
class Kept {
 public:
  // The smallest kept block of at least size bytes. Without one the kept blocks belong to
  // images of another size: they are unmapped rather than added to the peak.
  Block take(std::size_t size) {
    int best = -1;
    for (int i = 0; i < count_; ++i) {
      const std::size_t have = blocks_[static_cast<std::size_t>(i)].size;
      if (have >= size && (best < 0 || have < blocks_[static_cast<std::size_t>(best)].size))
        best = i;
    }
    if (best < 0) {
      trim();
      return {nullptr, 0};
    }
    const Block b = blocks_[static_cast<std::size_t>(best)];
    erase(best);
    return b;
  }

  void keep(Block block) noexcept {
    if (finished_) {
      ::munmap(block.start, block.size);
      return;
    }
    if (count_ == static_cast<int>(blocks_.size())) {
      ::munmap(blocks_[0].start, blocks_[0].size);
      erase(0);
    }
    blocks_[static_cast<std::size_t>(count_++)] = block;
  }

  void trim() noexcept {
    for (int i = 0; i < count_; ++i)
      ::munmap(blocks_[static_cast<std::size_t>(i)].start,
               blocks_[static_cast<std::size_t>(i)].size);
    count_ = 0;
  }

  void finish() noexcept {
    trim();
    finished_ = true;
  }

 private:
  void erase(int i) noexcept {
    std::copy(blocks_.begin() + i + 1, blocks_.begin() + count_, blocks_.begin() + i);
    --count_;
  }

  std::array<Block, 4> blocks_{};
  int count_ = 0;
  bool finished_ = false;
};

thread_local Kept tKept;

struct Finish {
  ~Finish() { tKept.finish(); }
};

Kept& kept() {
  thread_local Finish finish;
  (void)finish;
  return tKept;
}

}  // namespace

void* allocate(std::size_t bytes) {
  if (bytes + kHeader < kUnit) return ::operator new(bytes);
  if (bytes > (std::size_t{1} << 62)) throw std::bad_alloc();
  const std::size_t size = roundUp(bytes + kHeader, kUnit);
  Block block = kept().take(size);
  if (!block.start) block = {mapBlock(size), size};
  *static_cast<std::size_t*>(block.start) = block.size;
  return static_cast<std::uint8_t*>(block.start) + kHeader;
}

void release(void* block, std::size_t bytes) noexcept {
  if (!block) return;
  if (bytes + kHeader < kUnit) return ::operator delete(block);
  void* start = static_cast<std::uint8_t*>(block) - kHeader;
  kept().keep({start, *static_cast<std::size_t*>(start)});
}

void trim() noexcept {
  kept().trim();
}

}  // namespace vexo::pixel_memory
