// The four dialogs of a conversion run: the progress window with its tray icon, the format
// selection, the overwrite confirmation and the report. Each is laid out at fixed positions in
// device-independent pixels, in the application's font. They only show and ask; the threading
// of a run lives in the Qt front end (qt_front_end.h).
#pragma once
#include <QButtonGroup>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QSystemTrayIcon>
#include <array>
#include <string>
#include <vector>

namespace vexo {

// The progress window: the current file's name, a bar and the stop button; in hidden mode a tray
// icon instead, whose click brings the window up.
class TfrmConv : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmConv(QWidget* parent = nullptr);

  // Start of a run: bar at 0 of count, empty label; hide: the tray icon instead of the window.
  void Prepare(int count, bool hide);
  // Shows the file name (without its folder) and moves the bar to position.
  void Step(const QString& name, int position);
  // End of the run: hides the window and the tray icon and dismisses an open stop question
  // (nothing is left to stop).
  void EndRun();
  // Whether the stop question is open.
  bool Asking() const { return question_ != nullptr; }

  QLabel lblMsg;
  QProgressBar pbarStep;
  QPushButton btnStop;
  QSystemTrayIcon* ticConv = nullptr;  // null when the desktop has no system tray

 signals:
  // The stop button was pressed: the question is about to open.
  void stopAsked();
  // The question was answered: stop is true for Yes.
  void stopAnswered(bool stop);

 protected:
  void reject() override;  // Esc presses the stop button
  void closeEvent(QCloseEvent* event) override;

 private:
  void askStop();
  void showFromTray();

  QPointer<QMessageBox> question_;
};

// The output format of a file, asked when the settings leave it open.
class TfrmSelect : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmSelect(QWidget* parent = nullptr);

  // Shows the source path, shortened to the label's width.
  void SetFileName(const std::string& path);
  // Selects the format (0 to 6); other values leave the selection as it is.
  void SetFormat(int index);
  int GetFormat() const;

  QLabel lblTitle;
  QLabel lblFileName;
  QGroupBox rdgType;
  std::array<QRadioButton*, 7> types{};  // children of rdgType
  QPushButton btnOk, btnAll, btnSkip, btnCancel;

 protected:
  void reject() override;                      // Esc and the window's close answer 中止
  void showEvent(QShowEvent* event) override;  // focus on the selected format

 private:
  QButtonGroup group_;
};

// The overwrite confirmation; its result is an OverwriteAnswer.
class TfrmComf : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmComf(const std::string& path, QWidget* parent = nullptr);

  QLabel lblFileName;
  QLabel lblQuestion;
  QPushButton btnRename, btnOverwrite, btnSkip, btnRenameAll, btnOverAll;

 protected:
  void reject() override;  // Esc and the window's close answer スキップ: nothing is written
};

// The report at the end of a run: one line of text for each report line, with what is known
// about its file (why it failed, what was left out) after it in grey.
class TfrmReport : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmReport(QWidget* parent = nullptr);

  // notes[i] (when present and not empty) is shown after lines[i].
  void SetReport(const std::vector<std::string>& lines, const std::vector<std::string>& notes);
  // The report lines as shown, without their notes.
  QStringList Lines() const;
  // The note shown after line i, or an empty string.
  QString NoteAt(int i) const;

  QLabel lblTitle;
  QPlainTextEdit memRep;
  QPushButton btnClose;

 protected:
  void reject() override;  // Esc closes with the button's result

 private:
  int lineCount_ = 0;
};

}  // namespace vexo
