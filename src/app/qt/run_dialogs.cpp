#include "app/qt/run_dialogs.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "app/front_end.h"
#include "app/naming.h"
#include "app/path_shorten.h"
#include "app/pipeline.h"

namespace vexo {

namespace {

// Title bar without a close button (and without minimise or maximise).
constexpr Qt::WindowFlags kNoCloseBox = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

// Marks the note fragments of the report, so the report lines can be read back without them.
constexpr int kNoteProperty = QTextFormat::UserProperty + 1;

constexpr const char* kFormatNames[] = {
    "JPEGイメージ (*.jpg)", "ビットマップ (*.bmp)",     "PNG (*.png)",      "GIF (*.gif)",
    "メタファイル (*.wmf)", "拡張メタファイル (*.emf)", "アイコン (*.ico)",
};

QString title() {
  return QGuiApplication::applicationDisplayName();
}

QScreen* screenOf(const QWidget& w) {
  QScreen* s = w.screen();
  return s ? s : QGuiApplication::primaryScreen();
}

void centerOnScreen(QWidget& w) {
  if (QScreen* s = screenOf(w)) {
    const QRect area = s->availableGeometry();
    w.move(area.center() - QPoint(w.width() / 2, w.height() / 2));
  }
}

// A button at a fixed place that ends the dialog with result.
void placeButton(QDialog& dialog, QPushButton& button, const QRect& geometry, int result) {
  button.setGeometry(geometry);
  QObject::connect(&button, &QPushButton::clicked, &dialog,
                   [&dialog, result] { dialog.done(result); });
}

// Names the widgets as the code does, so tests and style sheets can find them.
void nameWidgets(std::initializer_list<std::pair<QWidget*, const char*>> widgets) {
  for (const auto& [widget, name] : widgets) widget->setObjectName(name);
}

void placeLabel(QLabel& label, int left, int top) {
  label.move(left, top);
  label.adjustSize();
}

}  // namespace

// --- TfrmConv ---

TfrmConv::TfrmConv(QWidget* parent)
    : QDialog(parent, kNoCloseBox), lblMsg(this), pbarStep(this), btnStop("中止", this) {
  setWindowTitle(QString());
  nameWidgets(
      {{this, "frmConv"}, {&lblMsg, "lblMsg"}, {&pbarStep, "pbarStep"}, {&btnStop, "btnStop"}});
  setFixedSize(401, 90);
  lblMsg.setGeometry(20, 20, 365, 14);
  pbarStep.setGeometry(18, 36, 365, 17);
  pbarStep.setTextVisible(false);
  btnStop.setGeometry(308, 60, 75, 25);
  btnStop.setAutoDefault(false);
  connect(&btnStop, &QPushButton::clicked, this, &TfrmConv::askStop);

  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) icon = style()->standardIcon(QStyle::SP_ComputerIcon);
    ticConv = new QSystemTrayIcon(icon, this);
    ticConv->setObjectName("ticConv");
    ticConv->setToolTip(title());
    connect(ticConv, &QSystemTrayIcon::activated, this, &TfrmConv::showFromTray);
  }
  centerOnScreen(*this);
}

void TfrmConv::Prepare(int count, bool hide) {
  // A range of 0 to 0 would make the bar a busy indicator.
  pbarStep.setRange(0, std::max(count, 1));
  pbarStep.setValue(0);
  lblMsg.clear();
  if (ticConv) {
    ticConv->setToolTip(title());
    ticConv->setVisible(hide);
  } else if (hide) {
    // Without a system tray a hidden run would show nothing and could not be stopped: the
    // progress window stands in for the tray icon.
    show();
  }
}

void TfrmConv::Step(const QString& name, int position) {
  lblMsg.setText(name);
  pbarStep.setValue(std::min(position, pbarStep.maximum()));
  // The tray icon tells the file in its tool tip rather than popping a balloon for each one.
  if (ticConv) ticConv->setToolTip(title() + "\n変換中 - " + name);
}

void TfrmConv::EndRun() {
  if (question_) question_->done(QMessageBox::No);
  hide();
  if (ticConv) ticConv->hide();
}

void TfrmConv::reject() {
  btnStop.click();
}

void TfrmConv::closeEvent(QCloseEvent* event) {
  // Closing the window from the desktop asks to stop, as the stop button does.
  event->ignore();
  if (isVisible()) btnStop.click();
}

void TfrmConv::askStop() {
  if (question_) return;
  emit stopAsked();
  QMessageBox box(QMessageBox::Question, title(), "処理を中止してもよろしいですか？",
                  QMessageBox::Yes | QMessageBox::No, this);
  question_ = &box;
  const int answer = box.exec();
  question_ = nullptr;
  emit stopAnswered(answer == QMessageBox::Yes);
}

void TfrmConv::showFromTray() {
  show();
  raise();
  activateWindow();
  if (ticConv) ticConv->hide();
}

// --- TfrmSelect ---

TfrmSelect::TfrmSelect(QWidget* parent)
    : QDialog(parent, kNoCloseBox),
      lblTitle("変換ファイル", this),
      lblFileName(this),
      rdgType("画像形式", this),
      btnOk("OK", this),
      btnAll("すべて", this),
      btnSkip("スキップ", this),
      btnCancel("中止", this) {
  setWindowTitle(QString());
  nameWidgets({{this, "frmSelect"},
               {&lblFileName, "lblFileName"},
               {&rdgType, "rdgType"},
               {&btnOk, "btnOk"},
               {&btnAll, "btnAll"},
               {&btnSkip, "btnSkip"},
               {&btnCancel, "btnCancel"}});
  setFixedSize(294, 186);
  placeLabel(lblTitle, 8, 8);
  lblFileName.setGeometry(20, 28, 265, 14);
  rdgType.setGeometry(4, 52, 285, 97);
  // Two columns, filled top to bottom: four items in the first, three in the second.
  for (int i = 0; i < 7; ++i) {
    auto* radio = new QRadioButton(kFormatNames[i], &rdgType);
    radio->setGeometry(i < 4 ? 8 : 136, 16 + (i % 4) * 19, i < 4 ? 126 : 148, 18);
    group_.addButton(radio, i);
    types[static_cast<std::size_t>(i)] = radio;
  }
  types[0]->setChecked(true);
  placeButton(*this, btnOk, {40, 156, 57, 25}, kSelectOk);
  placeButton(*this, btnAll, {100, 156, 57, 25}, kSelectAll);
  placeButton(*this, btnSkip, {160, 156, 57, 25}, kSelectSkip);
  placeButton(*this, btnCancel, {232, 156, 57, 25}, kSelectCancel);
  btnOk.setDefault(true);
  // Tab order: the format group, then the buttons from left to right.
  QWidget* previous = nullptr;
  const auto chain = [this, &previous](QWidget* next) {
    if (previous) setTabOrder(previous, next);
    previous = next;
  };
  for (QRadioButton* radio : types) chain(radio);
  for (QPushButton* button : {&btnOk, &btnAll, &btnSkip, &btnCancel}) chain(button);
  if (QScreen* s = screenOf(*this)) move(s->availableGeometry().topLeft());
}

void TfrmSelect::SetFileName(const std::string& path) {
  const QFontMetrics metrics = lblFileName.fontMetrics();
  const auto width = [&metrics](std::string_view text) {
    return metrics.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
  };
  lblFileName.setText(QString::fromStdString(ShortenPath(path, lblFileName.width(), width)));
  lblFileName.setToolTip(QString::fromStdString(path));
}

void TfrmSelect::SetFormat(int index) {
  if (index >= 0 && index < 7) types[static_cast<std::size_t>(index)]->setChecked(true);
}

int TfrmSelect::GetFormat() const {
  return group_.checkedId();
}

void TfrmSelect::reject() {
  done(kSelectCancel);
}

void TfrmSelect::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (QAbstractButton* checked = group_.checkedButton()) checked->setFocus();
}

// --- TfrmComf ---

TfrmComf::TfrmComf(const std::string& path, QWidget* parent)
    : QDialog(parent, kNoCloseBox),
      lblFileName(QString::fromStdString(DisplayName(path)), this),
      lblQuestion("上記のファイルはすでに存在します。上書きしますか？", this),
      btnRename("別名保存", this),
      btnOverwrite("上書き", this),
      btnSkip("スキップ", this),
      btnRenameAll("すべて別名", this),
      btnOverAll("すべて上書き", this) {
  setWindowTitle("確認");
  nameWidgets({{this, "frmComf"},
               {&lblFileName, "lblFileName"},
               {&btnRename, "btnRename"},
               {&btnOverwrite, "btnOverwrite"},
               {&btnSkip, "btnSkip"},
               {&btnRenameAll, "btnRenameAll"},
               {&btnOverAll, "btnOverAll"}});
  setFixedSize(413, 92);
  lblFileName.setGeometry(8, 12, 397, 14);
  placeLabel(lblQuestion, 8, 36);
  placeButton(*this, btnRename, {8, 60, 75, 25}, kAnswerRename);
  placeButton(*this, btnOverwrite, {88, 60, 75, 25}, kAnswerOverwrite);
  placeButton(*this, btnSkip, {168, 60, 75, 25}, kAnswerSkip);
  placeButton(*this, btnRenameAll, {248, 60, 75, 25}, kAnswerRenameAll);
  placeButton(*this, btnOverAll, {328, 60, 75, 25}, kAnswerOverwriteAll);
  btnRename.setDefault(true);
  centerOnScreen(*this);
}

void TfrmComf::reject() {
  done(kAnswerSkip);
}

// --- TfrmReport ---

TfrmReport::TfrmReport(QWidget* parent)
    : QDialog(parent, kNoCloseBox | Qt::WindowCloseButtonHint),
      lblTitle("変換が終了しました。", this),
      memRep(this),
      btnClose("閉じる", this) {
  setWindowTitle("レポート");
  nameWidgets({{this, "frmReport"}, {&memRep, "memRep"}, {&btnClose, "btnClose"}});
  setFixedSize(469, 289);
  placeLabel(lblTitle, 8, 8);
  memRep.setGeometry(8, 28, 453, 225);
  memRep.setReadOnly(true);
  memRep.setLineWrapMode(QPlainTextEdit::NoWrap);
  memRep.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memRep.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memRep.setTabChangesFocus(true);
  placeButton(*this, btnClose, {384, 260, 75, 25}, 1);
  btnClose.setDefault(true);
  centerOnScreen(*this);
}

void TfrmReport::SetReport(const std::vector<std::string>& lines,
                           const std::vector<std::string>& notes) {
  memRep.clear();
  QTextCharFormat noteFormat;
  noteFormat.setForeground(palette().color(QPalette::Disabled, QPalette::Text));
  noteFormat.setProperty(kNoteProperty, true);
  QTextCursor cursor(memRep.document());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertText(QString::fromStdString(lines[i]), QTextCharFormat());
    if (i < notes.size() && !notes[i].empty()) {
      // One row per report line: a note's own line breaks become spaces.
      QString note = QString::fromStdString(notes[i]);
      note.replace('\r', ' ').replace('\n', ' ');
      cursor.insertText("    " + note, noteFormat);
    }
  }
  lineCount_ = static_cast<int>(lines.size());
  memRep.moveCursor(QTextCursor::Start);
}

QStringList TfrmReport::Lines() const {
  QStringList lines;
  QTextBlock block = memRep.document()->firstBlock();
  for (int i = 0; i < lineCount_ && block.isValid(); ++i, block = block.next()) {
    QString text;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      if (!it.fragment().charFormat().hasProperty(kNoteProperty)) text += it.fragment().text();
    }
    lines << text;
  }
  return lines;
}

QString TfrmReport::NoteAt(int i) const {
  const QTextBlock block = memRep.document()->findBlockByNumber(i);
  if (i >= lineCount_ || !block.isValid()) return {};
  QString note;
  for (auto it = block.begin(); !it.atEnd(); ++it) {
    if (it.fragment().charFormat().hasProperty(kNoteProperty)) note += it.fragment().text();
  }
  return note.trimmed();
}

void TfrmReport::reject() {
  done(1);
}

}  // namespace vexo
