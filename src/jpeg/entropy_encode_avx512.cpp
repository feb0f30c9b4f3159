// The coding loop with AVX-512 quantisation, which also reorders each block into zigzag order.
#include "jpeg/entropy_encode.h"

#ifdef VEXO_ENCODER_X86

namespace vexo::jpeg {

VEXO_AVX512 void CodeMcuRowAvx512(Scan& scan) {
  codeMcuRow<kAvx512>(scan);
}

}  // namespace vexo::jpeg

#endif  // VEXO_ENCODER_X86
