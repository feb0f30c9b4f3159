// The terminal front end: progress on stderr when it is a terminal, Ctrl-C as the stop button,
// the format selection and the overwrite confirmation asked on the terminal with the dialogs'
// own texts, the report on stdout.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/front_end.h"
#include "app/naming.h"
#include "app/path_shorten.h"
#include "app/pipeline.h"
#include "core/byte_io.h"

namespace vexo {

namespace {

volatile sig_atomic_t gInterrupts = 0;

void onInterrupt(int) {
  // A second Ctrl-C before the first was handled ends the program at once.
  gInterrupts = gInterrupts + 1;
  if (gInterrupts >= 2) {
    RemovePendingOutputs();
    constexpr char msg[] = "\nvexo: 中断しました\n";
    (void)!::write(STDERR_FILENO, msg, sizeof msg - 1);
    ::_exit(130);
  }
}

constexpr const char* kFormatNames[] = {
    "JPEGイメージ (*.jpg)", "ビットマップ (*.bmp)",     "PNG (*.png)",      "GIF (*.gif)",
    "メタファイル (*.wmf)", "拡張メタファイル (*.emf)", "アイコン (*.ico)",
};

class TerminalFrontEnd : public RunFrontEnd {
 public:
  TerminalFrontEnd()
      : progress_(::isatty(STDERR_FILENO) != 0), canAsk_(::isatty(STDIN_FILENO) != 0) {
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &oldInt_);
  }
  ~TerminalFrontEnd() override { ::sigaction(SIGINT, &oldInt_, nullptr); }

  void Prepare(int count, bool hide) override {
    count_ = count;
    done_ = 0;
    stopped_ = false;
    hidden_ = hide;
    start_ = std::chrono::steady_clock::now();
  }

  void Step(const std::string& path) override {
    ++done_;
    if (progress_ && !hidden_) drawProgress(path);
    if (gInterrupts > 0) {
      stopped_ = !canAsk_ || confirm("処理を中止してもよろしいですか？ [y/N] ");
      gInterrupts = 0;
    }
  }

  bool Stopped() const override { return stopped_; }

  int AskFormat(const std::string& path, int& format) override {
    if (format < 0 || format > 6) format = selected_;
    if (!canAsk_) return kSelectOk;
    clearProgress();
    std::cerr << "変換ファイル\n  " << path << "\n画像形式\n";
    for (int i = 0; i < 7; ++i)
      std::cerr << "  " << i << (i == format ? " * " : "   ") << kFormatNames[i] << '\n';
    for (;;) {
      std::cerr << "番号を選び、o: OK  a: すべて  s: スキップ  c: 中止 (例 2a; Enter は OK) > "
                << std::flush;
      std::string line;
      if (!std::getline(std::cin, line)) return kSelectCancel;
      std::size_t i = 0;
      int chosen = format;
      if (i < line.size() && line[i] >= '0' && line[i] <= '6') chosen = line[i++] - '0';
      const char button = i < line.size() ? line[i] : 'o';
      if (i + 1 < line.size()) continue;
      switch (button) {
        case 'o':
        case 'O':
          format = selected_ = chosen;
          return kSelectOk;
        case 'a':
        case 'A':
          format = selected_ = chosen;
          return kSelectAll;
        case 's':
        case 'S':
          return kSelectSkip;
        case 'c':
        case 'C':
          return kSelectCancel;
        default:
          break;
      }
    }
  }

  int AskOverwrite(const std::string& path) override {
    if (!canAsk_) return kAnswerRename;  // nothing is overwritten unasked
    clearProgress();
    std::cerr << DisplayName(path) << "\n上記のファイルはすでに存在します。上書きしますか？\n"
              << "  1 別名保存  2 上書き  3 スキップ  4 すべて別名  5 すべて上書き\n";
    for (;;) {
      std::cerr << "[1-5, Enter は 別名保存] > " << std::flush;
      std::string line;
      if (!std::getline(std::cin, line)) return kAnswerSkip;
      if (line.empty()) return kAnswerRename;
      if (line.size() == 1 && line[0] >= '1' && line[0] <= '5') return line[0] - '0';
    }
  }

  void FileFailed(const std::string& path, const std::string& reason) override {
    clearProgress();
    PrintFileMessage(path, reason);
  }
  void FileWarning(const std::string& path, const std::string& message) override {
    clearProgress();
    PrintFileMessage(path, message);
  }

  void Close() override { clearProgress(); }

  void ShowReport(const std::vector<std::string>& lines) override { PrintReport(lines); }

 private:
  bool confirm(const char* question) {
    clearProgress();
    std::cerr << question << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return true;
    return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
  }

  void drawProgress(const std::string& path) {
    const auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_)
            .count();
    char head[64];
    std::snprintf(head, sizeof head, "[%d/%d %lld:%02lld] ", done_, count_,
                  static_cast<long long>(secs / 60), static_cast<long long>(secs % 60));
    const int room = 78 - TerminalColumns(head);
    std::cerr << '\r' << head << ShortenPath(DisplayName(path), room, TerminalColumns) << "\x1b[K"
              << std::flush;
    drawn_ = true;
  }

  void clearProgress() {
    if (drawn_) std::cerr << "\r\x1b[K" << std::flush;
    drawn_ = false;
  }

  const bool progress_, canAsk_;
  struct sigaction oldInt_ {};
  int count_ = 0, done_ = 0, selected_ = 0;
  bool stopped_ = false, hidden_ = false, drawn_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

void PrintReport(const std::vector<std::string>& lines) {
  for (const auto& line : lines) std::cout << line << '\n';
  std::cout.flush();
}

void PrintFileMessage(const std::string& path, const std::string& message) {
  std::cerr << "vexo: " << DisplayName(path) << ": " << message << '\n';
}

void RunFrontEnd::RunFailed(const std::string& message) {
  std::cerr << "vexo: " << message << '\n';
}

std::unique_ptr<RunFrontEnd> MakeTerminalFrontEnd() {
  return std::make_unique<TerminalFrontEnd>();
}

}  // namespace vexo
