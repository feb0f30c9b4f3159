// What the pipeline shows and asks while it runs. The pipeline never talks to Qt or the
// terminal directly: it calls this interface, implemented by the Qt dialogs, the terminal and a
// scripted front end for tests.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace vexo {

// Results of the format selection (the values of its buttons).
enum SelectResult : int { kSelectOk = 1, kSelectCancel = 2, kSelectSkip = 5, kSelectAll = 10 };

class RunFrontEnd {
 public:
  virtual ~RunFrontEnd() = default;

  // Start of a run: bar at 0 of count, stop flag cleared; hide: show only a tray icon.
  virtual void Prepare(int count, bool hide) = 0;
  // Shows the progress window (not called in hidden mode).
  virtual void Show() {}
  // Next file: shows its name, advances the bar and handles pending input (the stop request).
  virtual void Step(const std::string& path) = 0;
  // The stop flag, read after each Step.
  virtual bool Stopped() const = 0;
  // Asks the output format for a file; format holds the preselection (when below 7) and
  // receives the choice. Returns a SelectResult.
  virtual int AskFormat(const std::string& path, int& format) = 0;
  // Asks what to do about an existing output file; returns an OverwriteAnswer (1 to 5).
  virtual int AskOverwrite(const std::string& path) = 0;
  // Why a file failed (its "[X] " line says only that it did).
  virtual void FileFailed(const std::string& path, const std::string& reason) {
    (void)path;
    (void)reason;
  }
  // Something of a converted file was left out (its "[O] " line does not say).
  virtual void FileWarning(const std::string& path, const std::string& message) {
    (void)path;
    (void)message;
  }
  // The run cannot go on (a plug-in that lacks a function its kind needs): says why. By default
  // on stderr.
  virtual void RunFailed(const std::string& message);
  // End of the run: closes the progress window.
  virtual void Close() {}
  virtual void ShowReport(const std::vector<std::string>& lines) = 0;
};

// What the terminal and scripted front ends share: report lines to stdout, one a line, and why a
// file failed or what was left out of it to stderr.
void PrintReport(const std::vector<std::string>& lines);
void PrintFileMessage(const std::string& path, const std::string& message);

// The terminal front end: progress on stderr when it is a terminal, Ctrl-C as the stop button,
// questions on the terminal, the report on stdout.
std::unique_ptr<RunFrontEnd> MakeTerminalFrontEnd();

// A front end that answers from a script, for tests. Each line of the script is one answer,
// taken in order as questions come:
//   format ok|all|skip|cancel N      answer to a format selection (N: 0 to 6)
//   overwrite N                      answer to an overwrite confirmation (1 to 5)
//   stop N                           press the stop button during file N (1-based)
//   stop-confirm yes|no              answer to the stop question (default yes)
// Questions with no answer left get the terminal front end's answers without a terminal. Each
// question asked is logged to stderr as "? format <file>" or "? overwrite <file>".
std::unique_ptr<RunFrontEnd> MakeScriptedFrontEnd(const std::string& script);

}  // namespace vexo
