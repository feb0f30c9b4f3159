// Instruction-set levels of the codec's hot loops: the attributes that compile a function for
// AVX2 or AVX-512, and the one point that picks the level at run time (the best the processor
// has, or the one a test asks for). Every level writes the same bytes.
#pragma once
#include "jpeg/x86_intrinsics.h"

#if defined(__x86_64__)
#define VEXO_ENCODER_X86 1
#define VEXO_AVX2 __attribute__((target("avx2,bmi,bmi2,lzcnt")))
#define VEXO_AVX512 \
  __attribute__((target("avx2,bmi,bmi2,lzcnt,avx512f,avx512cd,avx512vl,avx512bw,avx512dq")))
#endif
#define VEXO_ALWAYS_INLINE inline __attribute__((always_inline))

namespace vexo::jpeg {

enum Level { kPortable = 0, kAvx2 = 1, kAvx512 = 2 };

int SupportedLevel();  // the best level of this processor
int ActiveLevel();     // the level in use (UseEncoderLevel changes it)

}  // namespace vexo::jpeg
