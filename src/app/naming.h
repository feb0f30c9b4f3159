// Output names and the collision policy.
#pragma once
#include <string>

namespace vexo {

class RunFrontEnd;

enum CollisionPolicy : int { kSaveAsOther = 0, kAsk = 1, kOverwrite = 2 };

// Answers of the overwrite confirmation.
enum OverwriteAnswer : int {
  kAnswerNone = 0,
  kAnswerRename = 1,
  kAnswerOverwrite = 2,
  kAnswerSkip = 3,
  kAnswerRenameAll = 4,
  kAnswerOverwriteAll = 5,
};

class OutputNamer {
 public:
  OutputNamer(int policy, RunFrontEnd& frontEnd) : policy_(policy), frontEnd_(frontEnd) {}

  // The full output path for base (a path without extension) and extension (".jpg", ...), or an
  // empty string when the file is to be skipped. May ask through the front end.
  std::string ResolveOutputName(const std::string& base, const std::string& extension);

  // base_1.ext, base_2.ext, ...: the first for which no file exists.
  static std::string NumberedName(const std::string& base, const std::string& extension);

  // Whether the last resolved name replaces an existing file by choice (overwrite), so the
  // writer may replace it; otherwise the writer must not clobber a file that appeared meanwhile.
  bool replacing() const { return replacing_; }

 private:
  int policy_;
  int remembered_ = kAnswerNone;
  bool replacing_ = false;
  RunFrontEnd& frontEnd_;
};

}  // namespace vexo
