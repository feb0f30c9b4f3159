// The LZW encoder's loop.
#include "gif/encoder.h"

namespace vexo::gif {

namespace {

// Codes above 4094 are never assigned: a clear code replaces the entry that would take 4095.
constexpr int kLastFreeCode = 4095;

// The largest code a width holds; at the widest the limit is never reached, so it stays at 12.
constexpr int LargestCode(int width) {
  return width == TGIFEncoder::kMaxWidth ? 4096 : (1 << width) - 1;
}

}  // namespace

void TLZWEncoder::Encode(std::span<const std::uint8_t> pixels) {
  const int firstFree = clearCode_ + 2;
  int nextFree = firstFree;
  int largest = LargestCode(width_);
  // Every code but a clear code may leave the decoder with a next free code too wide for the
  // current width.
  const auto emit = [&](int code) {
    Output(code);
    if (nextFree > largest) largest = LargestCode(++width_);
  };
  const auto clear = [&] {
    Output(clearCode_);
    width_ = minCodeSize_ + 1;
    largest = LargestCode(width_);
  };

  clear();
  if (!pixels.empty()) {
    int prefix = pixels[0];
    for (std::size_t i = 1; i < pixels.size(); ++i) {
      const std::uint32_t pixel = pixels[i];
      const std::uint32_t key = static_cast<std::uint32_t>(prefix) << 8 | pixel;
      std::uint32_t slot;
      const int code = table_.Find(key, &slot);
      if (code >= 0) {
        prefix = code;
        continue;
      }
      emit(prefix);
      prefix = static_cast<int>(pixel);
      if (nextFree >= kLastFreeCode) {
        clear();
        table_.Clear();
        nextFree = firstFree;
      } else {
        table_.Insert(slot, key, nextFree++);
      }
    }
    emit(prefix);
  }
  Finish();
}

}  // namespace vexo::gif
