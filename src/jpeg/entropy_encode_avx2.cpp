// The coding loop with AVX2 quantisation.
#include "jpeg/entropy_encode.h"

#ifdef VEXO_ENCODER_X86

namespace vexo::jpeg {

VEXO_AVX2 void CodeMcuRowAvx2(Scan& scan) {
  codeMcuRow<kAvx2>(scan);
}

}  // namespace vexo::jpeg

#endif  // VEXO_ENCODER_X86
