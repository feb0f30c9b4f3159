#include "app/naming.h"

#include "app/front_end.h"
#include "core/byte_io.h"

namespace vexo {

std::string OutputNamer::ResolveOutputName(const std::string& base, const std::string& extension) {
  replacing_ = false;
  const std::string candidate = base + extension;
  if (!isRegularFile(candidate)) return candidate;
  switch (policy_) {
    case kSaveAsOther:
      return NumberedName(base, extension);
    case kAsk:
      if (remembered_ < kAnswerRenameAll) remembered_ = frontEnd_.AskOverwrite(candidate);
      switch (remembered_) {
        case kAnswerRename:
        case kAnswerRenameAll:
          return NumberedName(base, extension);
        case kAnswerSkip:
          return {};
        default:
          break;
      }
      break;
    default:
      break;
  }
  replacing_ = true;
  return candidate;
}

std::string OutputNamer::NumberedName(const std::string& base, const std::string& extension) {
  for (unsigned long n = 1;; ++n) {
    std::string name = base + "_" + std::to_string(n) + extension;
    if (!isRegularFile(name)) return name;
  }
}

}  // namespace vexo
