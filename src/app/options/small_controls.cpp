#include "app/options/small_controls.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QUrl>

namespace vexo {

namespace {

// Gives every widget inside `widget` the state `enabled` explicitly. findChildren lists a
// container before its contents, so each one is switched before the widgets it holds.
void SetChildrenEnabled(QWidget* widget, bool enabled) {
  for (QWidget* child : widget->findChildren<QWidget*>()) {
    if (child->isWindow()) continue;  // a dialog parented here lives on its own
    child->setEnabled(enabled);
    if (auto* group = qobject_cast<QGroupBox*>(child)) group->update();
  }
}

}  // namespace

void SetEnabledTree(QWidget* widget, bool enabled) {
  if (!widget) return;
  widget->setEnabled(enabled);
  if (auto* group = qobject_cast<QGroupBox*>(widget)) group->update();
  SetChildrenEnabled(widget, enabled);
}

// ---- TEnableControlCheckBox ----

TEnableControlCheckBox::TEnableControlCheckBox(const QString& text, QWidget* parent)
    : QCheckBox(text, parent) {
  // toggled covers both the user and setChecked() from code.
  connect(this, &QCheckBox::toggled, this, [this] { UpdateRegulated(); });
}

void TEnableControlCheckBox::SetRegulateControl(QWidget* control) {
  control_ = control;
  UpdateRegulated();
}

void TEnableControlCheckBox::SetReverse(bool reverse) {
  reverse_ = reverse;
  UpdateRegulated();
}

void TEnableControlCheckBox::UpdateRegulated() {
  SetEnabledTree(control_.data(), isChecked() != reverse_);
}

// ---- TPanelEx ----

TPanelEx::TPanelEx(QWidget* parent) : QFrame(parent) {}

void TPanelEx::SetEnabled(bool enabled) {
  // A disabled parent keeps the panel disabled whatever it is told, so it goes first.
  if (updateParent_ && enabled && parentWidget()) parentWidget()->setEnabled(true);
  setEnabled(enabled);
  Propagate();  // also when the effective state did not change, to fix the children's
}

void TPanelEx::changeEvent(QEvent* event) {
  QFrame::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) Propagate();
}

void TPanelEx::Propagate() {
  if (propagating_) return;  // our own changes to children and parent come back here
  propagating_ = true;
  const bool enabled = isEnabled();
  // Only a change of the panel's own making goes up: when an ancestor disabled the panel, making
  // the parent explicitly disabled would keep it so after the ancestor is enabled again.
  const bool own = enabled || testAttribute(Qt::WA_ForceDisabled);
  if (updateParent_ && own && parentWidget() && !isWindow()) {
    parentWidget()->setEnabled(enabled);
    if (auto* group = qobject_cast<QGroupBox*>(parentWidget())) group->update();
  }
  SetChildrenEnabled(this, enabled);
  propagating_ = false;
}

// ---- TFocusLabel ----

TFocusLabel::TFocusLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setMouseTracking(true);
  Opener = &TFocusLabel::OpenLink;
}

bool TFocusLabel::OpenLink(const QString& target) {
  const bool local = QDir::isAbsolutePath(target) || QFileInfo::exists(target);
  return QDesktopServices::openUrl(local ? QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath())
                                         : QUrl::fromUserInput(target));
}

void TFocusLabel::SetFocusedFont(const QFont& font) {
  focusedFont_ = font;
  focusedFontSet_ = true;
  if (hot_) update();
}

void TFocusLabel::SetFocusedCursor(const QCursor& cursor) {
  focusedCursor_ = cursor;
  if (hot_) setCursor(cursor);
}

void TFocusLabel::SetFontChange(bool change) {
  fontChange_ = change;
  if (hot_) update();
}

int TFocusLabel::TextFlags() const {
  return static_cast<int>(alignment()) | (wordWrap() ? Qt::TextWordWrap : Qt::TextSingleLine);
}

QRect TFocusLabel::TextRect() const {
  const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
  const QSize size = fontMetrics().boundingRect(area, TextFlags(), text()).size();
  return QStyle::alignedRect(layoutDirection(), alignment(), size, area);
}

void TFocusLabel::SetHot(bool hot) {
  if (hot == hot_) return;
  hot_ = hot;
  if (hot) {
    hadCursor_ = testAttribute(Qt::WA_SetCursor);
    if (hadCursor_) normalCursor_ = cursor();
    setCursor(focusedCursor_);
  } else if (hadCursor_) {
    setCursor(normalCursor_);
  } else {
    unsetCursor();
  }
  update();
}

bool TFocusLabel::Accepts(const QPoint& pos) const {
  return acceptOnText_ ? TextRect().contains(pos) : rect().contains(pos);
}

void TFocusLabel::Click() {
  emit clicked();
  if (!linking_) return;
  bool allow = true;
  if (OnLink) OnLink(*this, allow);
  if (allow && !linkText_.isEmpty() && Opener) Opener(linkText_);
}

void TFocusLabel::paintEvent(QPaintEvent* event) {
  // The frame (if any) as QFrame draws it; the background is filled by Qt itself when
  // autoFillBackground is on, and left transparent otherwise.
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.setFont(hot_ && fontChange_ ? FocusedFont() : font());
  const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
  style()->drawItemText(&painter, area, TextFlags(), palette(), isEnabled(), text(),
                        foregroundRole());
}

void TFocusLabel::mouseMoveEvent(QMouseEvent* event) {
  SetHot(TextRect().contains(event->position().toPoint()));
  event->accept();
}

void TFocusLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && Accepts(event->position().toPoint())) {
    pressed_ = true;
    event->accept();
  } else {
    event->ignore();
  }
}

void TFocusLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click =
      pressed_ && event->button() == Qt::LeftButton && Accepts(event->position().toPoint());
  pressed_ = false;
  if (!click) {
    event->ignore();
    return;
  }
  event->accept();
  Click();
}

void TFocusLabel::keyPressEvent(QKeyEvent* event) {
  // With keyboard focus (when the dialog gives it a focus policy) Space and Enter follow the link.
  if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return ||
      event->key() == Qt::Key_Enter) {
    event->accept();
    Click();
    return;
  }
  QLabel::keyPressEvent(event);
}

void TFocusLabel::enterEvent(QEnterEvent* event) {
  QLabel::enterEvent(event);
  SetHot(TextRect().contains(event->position().toPoint()));
}

void TFocusLabel::leaveEvent(QEvent* event) {
  QLabel::leaveEvent(event);
  SetHot(false);
}

void TFocusLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange) update();
}

// ---- TFolderDialog ----

TFolderDialog::TFolderDialog(QWidget* owner)
    : QObject(owner), owner_(owner), title_(QStringLiteral("フォルダーを選択して下さい。")) {}

QString TFolderDialog::RootPath() const {
  const auto firstDir = [](std::initializer_list<QString> paths) {
    for (const QString& path : paths)
      if (QFileInfo(path).isDir()) return path;
    return QStringLiteral("/");
  };
  const QString home = QDir::homePath();
  switch (root_) {
    case TRootFolder::rfDrives:
      return QStringLiteral("/");
    case TRootFolder::rfNetWork:
      // Network shares and removable media are mounted below /media (udisks) or /mnt (by hand).
      return firstDir({QStringLiteral("/media"), QStringLiteral("/mnt")});
    case TRootFolder::rfStartMenu:
      return firstDir({home + QStringLiteral("/.local/share/applications"), home});
    case TRootFolder::rfCommonStartMenu:
      return firstDir({QStringLiteral("/usr/share/applications")});
    case TRootFolder::rfDeskTop:
      break;
  }
  return firstDir({QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), home});
}

bool TFolderDialog::Execute() {
  QFileDialog dialog(owner_.data(), title_);
  // Qt's own dialog looks and behaves alike under every desktop and uses Qt's translations.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setWindowModality(owner_ ? Qt::WindowModal : Qt::ApplicationModal);
  const bool known = !folder_.isEmpty() && QFileInfo(folder_).isDir();
  dialog.setDirectory(known ? folder_ : RootPath());
  if (OnShow) QTimer::singleShot(0, &dialog, [this, &dialog] { OnShow(dialog); });
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  folder_ = QDir::cleanPath(chosen.first());
  return true;
}

}  // namespace vexo
