// A front end that answers from a script, so the whole program can be driven by tests.
#include <deque>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "app/front_end.h"
#include "app/naming.h"
#include "app/pipeline.h"
#include "core/error.h"

namespace vexo {

namespace {

class ScriptedFrontEnd : public RunFrontEnd {
 public:
  explicit ScriptedFrontEnd(const std::string& script) {
    std::istringstream in(script);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string verb, arg, number;
      words >> verb >> arg >> number;
      if (verb == "stop") {
        stopAt_ = std::stoi(arg);
      } else if (verb == "stop-confirm") {
        confirmStop_ = arg == "yes";
      } else if (verb == "format" || verb == "overwrite") {
        answers_.push_back({verb, arg, number});
      } else if (!verb.empty() && verb[0] != '#') {
        throw Error("unknown script line: " + line);
      }
    }
  }

  void Prepare(int, bool) override {}

  void Step(const std::string& path) override {
    ++step_;
    std::cerr << "> " << DisplayName(path) << '\n';
    if (stopAt_ > 0 && step_ == stopAt_ + 1) {
      std::cerr << "? stop\n";
      stopped_ = confirmStop_;
    }
  }

  bool Stopped() const override { return stopped_; }

  int AskFormat(const std::string& path, int& format) override {
    std::cerr << "? format " << DisplayName(path) << '\n';
    if (format < 0 || format > 6) format = selected_;
    const auto answer = take("format");
    if (!answer) return kSelectOk;
    if (!answer->number.empty()) format = selected_ = std::stoi(answer->number);
    if (answer->arg == "all") return kSelectAll;
    if (answer->arg == "skip") return kSelectSkip;
    if (answer->arg == "cancel") return kSelectCancel;
    return kSelectOk;
  }

  int AskOverwrite(const std::string& path) override {
    std::cerr << "? overwrite " << DisplayName(path) << '\n';
    const auto answer = take("overwrite");
    return answer ? std::stoi(answer->arg) : kAnswerRename;
  }

  void FileFailed(const std::string& path, const std::string& reason) override {
    PrintFileMessage(path, reason);
  }
  void FileWarning(const std::string& path, const std::string& message) override {
    PrintFileMessage(path, message);
  }
  void ShowReport(const std::vector<std::string>& lines) override { PrintReport(lines); }

 private:
  struct Answer {
    std::string verb, arg, number;
  };

  std::optional<Answer> take(const std::string& verb) {
    if (answers_.empty() || answers_.front().verb != verb) return std::nullopt;
    Answer a = answers_.front();
    answers_.pop_front();
    return a;
  }

  std::deque<Answer> answers_;
  int stopAt_ = 0, step_ = 0, selected_ = 0;
  bool confirmStop_ = true, stopped_ = false;
};

}  // namespace

std::unique_ptr<RunFrontEnd> MakeScriptedFrontEnd(const std::string& script) {
  return std::make_unique<ScriptedFrontEnd>(script);
}

}  // namespace vexo
