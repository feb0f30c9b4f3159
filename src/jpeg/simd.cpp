// The dispatch point of the instruction-set levels.
#include "jpeg/simd.h"

#include <atomic>

#include "jpeg/encoder_internal.h"

namespace vexo::jpeg {

int SupportedLevel() {
#ifdef VEXO_ENCODER_X86
  static const int level = [] {
    __builtin_cpu_init();
    // Every processor with BMI2 also has LZCNT (which not every compiler can ask for here).
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("bmi") ||
        !__builtin_cpu_supports("bmi2"))
      return kPortable;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512cd") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq"))
      return kAvx512;
    return kAvx2;
  }();
  return level;
#else
  return kPortable;
#endif
}

namespace {

std::atomic<int>& levelState() {
  static std::atomic<int> level{SupportedLevel()};
  return level;
}

}  // namespace

int ActiveLevel() {
  return levelState().load(std::memory_order_relaxed);
}

bool UseEncoderLevel(int level) {
  if (level < 0) level = SupportedLevel();
  if (level > SupportedLevel()) return false;
  levelState().store(level, std::memory_order_relaxed);
  return true;
}

}  // namespace vexo::jpeg
