// The Qt front end. The run goes on a thread of its own while the GUI thread runs the event loop,
// so the progress window repaints and takes the stop click while a large file converts. The
// front end's methods are called on the run thread: questions and the report block it until they
// are answered on the GUI thread; progress updates are posted and never wait on painting.
#include "app/qt/qt_front_end.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/naming.h"
#include "app/pipeline.h"
#include "app/qt/run_dialogs.h"

namespace vexo {

namespace {

// A message about a file (why it failed, what was left out), kept for the report.
struct FileNote {
  int step;  // the file's position in the run (its Step), 1-based
  std::string name;
  std::string text;
};

// Whether a report line ("[O] a.jpg -> a.png", "[X] b.jpg", "[S] c.jpg", "[-] d.txt(未対応)") is
// about the file shown as name.
bool lineNames(const std::string& line, const std::string& name) {
  if (line.size() < 4 + name.size() || line.compare(4, name.size(), name) != 0) return false;
  const std::string rest = line.substr(4 + name.size());
  return rest.empty() || rest.rfind(" -> ", 0) == 0 || rest == "(未対応)";
}

// The note text for each report line. Lines come in file order and a file has at most one, so
// the notes of a file go to the first line naming it after the line of the previous file that
// had notes; two files of the same name in different folders keep their own notes.
std::vector<std::string> notesForLines(const std::vector<std::string>& lines,
                                       const std::vector<FileNote>& notes) {
  std::vector<std::string> out(lines.size());
  std::size_t cursor = 0;
  int step = -1;
  std::size_t line = lines.size();  // the line of the current step's file, once found
  for (const auto& note : notes) {
    if (note.step != step) {
      step = note.step;
      if (line < lines.size()) cursor = line + 1;
      line = lines.size();
    }
    for (std::size_t i = cursor; line == lines.size() && i < lines.size(); ++i) {
      if (lineNames(lines[i], note.name)) line = i;
    }
    if (line == lines.size()) continue;
    if (!out[line].empty()) out[line] += "; ";
    out[line] += note.text;
  }
  return out;
}

class QtFrontEnd final : public RunFrontEnd {
 public:
  // Constructed and destroyed on the GUI thread, where its dialogs live.
  QtFrontEnd() {
    QObject::connect(&conv_, &TfrmConv::stopAsked, &conv_, [this] {
      const std::lock_guard lock(mutex_);
      asking_ = true;
    });
    QObject::connect(&conv_, &TfrmConv::stopAnswered, &conv_, [this](bool stop) {
      {
        const std::lock_guard lock(mutex_);
        asking_ = false;
        stopped_ = stop;
      }
      answered_.notify_all();
    });
  }

  void Prepare(int count, bool hide) override {
    steps_ = 0;
    notes_.clear();
    stopped_ = false;
    onGui([&] { conv_.Prepare(count, hide); });
  }

  void Show() override {
    onGui([&] {
      conv_.show();
      conv_.raise();
      conv_.activateWindow();
    });
  }

  void Step(const std::string& path) override {
    // While the stop question is open the run does not go on: its answer decides whether this
    // file is loaded at all.
    waitForStopAnswer();
    ++steps_;
    {
      const std::lock_guard lock(mutex_);
      pending_ = {QString::fromStdString(DisplayName(path)), steps_};
      if (updatePosted_) return;  // the update on its way shows the latest file
      updatePosted_ = true;
    }
    QMetaObject::invokeMethod(
        &conv_, [this] { applyStep(); }, Qt::QueuedConnection);
  }

  bool Stopped() const override { return stopped_; }

  int AskFormat(const std::string& path, int& format) override {
    waitForStopAnswer();  // one question at a time
    int result = kSelectCancel;
    onGui([&] {
      if (!select_) select_ = std::make_unique<TfrmSelect>();  // keeps its choice between files
      select_->SetFormat(format);
      select_->SetFileName(path);
      result = select_->exec();
      format = select_->GetFormat();
    });
    return result;
  }

  int AskOverwrite(const std::string& path) override {
    waitForStopAnswer();
    int result = kAnswerSkip;
    onGui([&] {
      TfrmComf dialog(path);
      result = dialog.exec();
    });
    return result >= kAnswerRename && result <= kAnswerOverwriteAll ? result : kAnswerSkip;
  }

  // Launched from the desktop there is no terminal: what went wrong goes into the report as well
  // as to stderr, which may be a log.
  void FileFailed(const std::string& path, const std::string& reason) override {
    PrintFileMessage(path, reason);
    notes_.push_back({steps_, DisplayName(path), reason});
  }
  void FileWarning(const std::string& path, const std::string& message) override {
    PrintFileMessage(path, message);
    notes_.push_back({steps_, DisplayName(path), message});
  }

  void Close() override {
    onGui([&] { conv_.EndRun(); });
  }

  void RunFailed(const std::string& message) override {
    RunFrontEnd::RunFailed(message);
    onGui([&] {
      QMessageBox::critical(nullptr, QApplication::applicationDisplayName(),
                            QString::fromStdString(message));
    });
  }

  void ShowReport(const std::vector<std::string>& lines) override {
    const std::vector<std::string> notes = notesForLines(lines, notes_);
    onGui([&] {
      TfrmReport dialog;
      dialog.SetReport(lines, notes);
      dialog.exec();
    });
  }

 private:
  struct Progress {
    QString name;
    int position = 0;
  };

  // Runs f on the GUI thread and waits for it; what it throws is rethrown here, so no exception
  // passes through Qt's event handling.
  template <class F>
  void onGui(F&& f) {
    std::exception_ptr error;
    auto call = [&] {
      try {
        f();
      } catch (...) {
        error = std::current_exception();
      }
    };
    if (QThread::currentThread() == conv_.thread())
      call();
    else
      QMetaObject::invokeMethod(&conv_, call, Qt::BlockingQueuedConnection);
    if (error) std::rethrow_exception(error);
  }

  void waitForStopAnswer() {
    std::unique_lock lock(mutex_);
    answered_.wait(lock, [this] { return !asking_; });
  }

  void applyStep() {
    Progress progress;
    {
      const std::lock_guard lock(mutex_);
      progress = std::exchange(pending_, {});
      updatePosted_ = false;
    }
    conv_.Step(progress.name, progress.position);
  }

  TfrmConv conv_;
  std::unique_ptr<TfrmSelect> select_;

  // Shared between the GUI thread and the run thread.
  std::atomic<bool> stopped_ = false;
  std::mutex mutex_;
  std::condition_variable answered_;
  bool asking_ = false;  // the stop question is open
  Progress pending_;
  bool updatePosted_ = false;

  // The run thread's own.
  int steps_ = 0;
  std::vector<FileNote> notes_;
};

}  // namespace

void RunWithDialogs(const std::function<void(RunFrontEnd&)>& run) {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
    throw std::logic_error("RunWithDialogs needs a QApplication");
  if (QThread::currentThread() != QCoreApplication::instance()->thread())
    throw std::logic_error("RunWithDialogs must be called on the GUI thread");

  QtFrontEnd frontEnd;
  QEventLoop loop;
  std::exception_ptr error;
  std::thread runner([&] {
    try {
      run(frontEnd);
    } catch (...) {
      error = std::current_exception();
    }
    // Posted, so it takes effect even if the loop has not started yet.
    QMetaObject::invokeMethod(
        &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  loop.exec();
  runner.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace vexo
