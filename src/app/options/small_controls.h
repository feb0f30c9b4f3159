// Small controls of the options dialog: a check box that enables another control, a panel that
// hands its enabled state on to its contents, a label that acts as a link, and the folder browser.
#pragma once
#include <functional>

#include <QCheckBox>
#include <QCursor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

class QFileDialog;

namespace vexo {

// Sets `widget` and every widget inside it (recursively, child windows excepted) explicitly to
// `enabled`, repainting group boxes. Explicit states both ways make re-enabling undo an earlier
// disabling of any of them.
void SetEnabledTree(QWidget* widget, bool enabled);

// A check box that enables (or with Reverse, disables) another control and everything inside it.
class TEnableControlCheckBox : public QCheckBox {
  Q_OBJECT

 public:
  explicit TEnableControlCheckBox(const QString& text = {}, QWidget* parent = nullptr);

  QWidget* RegulateControl() const { return control_; }
  void SetRegulateControl(QWidget* control);
  bool Reverse() const { return reverse_; }
  void SetReverse(bool reverse);

  // Applies the rule now: the control's state is "checked", inverted with Reverse.
  void UpdateRegulated();

 private:
  QPointer<QWidget> control_;  // forgets a destroyed control by itself
  bool reverse_ = false;
};

// A panel that passes its enabled state on to everything inside it and, with UpdateParent, to
// its parent. Plain setEnabled() on the panel is covered through its EnabledChange event;
// SetEnabled() also enables a disabled parent first, which setEnabled(true) alone cannot.
class TPanelEx : public QFrame {
  Q_OBJECT

 public:
  explicit TPanelEx(QWidget* parent = nullptr);

  bool UpdateParent() const { return updateParent_; }
  void SetUpdateParent(bool update) { updateParent_ = update; }

  void SetEnabled(bool enabled);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void Propagate();

  bool updateParent_ = false;
  bool propagating_ = false;
};

// A label that behaves as a link: it turns "hot" (cursor, optionally font) while the pointer is
// over its caption, emits clicked() and, with Linking, opens LinkText.
class TFocusLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TFocusLabel(const QString& text = {}, QWidget* parent = nullptr);

  // The font while hot; until set, the label's own font.
  QFont FocusedFont() const { return focusedFontSet_ ? focusedFont_ : font(); }
  void SetFocusedFont(const QFont& font);
  // The cursor while hot; the pointing hand by default.
  QCursor FocusedCursor() const { return focusedCursor_; }
  void SetFocusedCursor(const QCursor& cursor);
  // Whether the caption is drawn in FocusedFont while hot (default on).
  bool FontChange() const { return fontChange_; }
  void SetFontChange(bool change);
  // Whether only clicks on the caption itself count (default on).
  bool AcceptOnText() const { return acceptOnText_; }
  void SetAcceptOnText(bool accept) { acceptOnText_ = accept; }
  // Whether a click opens LinkText (default off).
  bool Linking() const { return linking_; }
  void SetLinking(bool linking) { linking_ = linking; }
  QString LinkText() const { return linkText_; }
  void SetLinkText(const QString& text) { linkText_ = text; }

  bool Hot() const { return hot_; }
  // The caption's rectangle: its size in the label's font, placed by the label's alignment.
  QRect TextRect() const;

  // Acts on a click: emits clicked(), then with Linking raises OnLink and, unless cancelled,
  // opens LinkText. The text-rectangle check of a mouse click happens before this.
  void Click();

  // Raised before the link is opened; setting `allow` false cancels it.
  std::function<void(TFocusLabel&, bool& allow)> OnLink;
  // Opens LinkText: a local path as a file URL, anything else as typed by a user.
  std::function<bool(const QString&)> Opener;

  static bool OpenLink(const QString& target);

 signals:
  void clicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void SetHot(bool hot);
  bool Accepts(const QPoint& pos) const;
  int TextFlags() const;

  QFont focusedFont_;
  bool focusedFontSet_ = false;
  QCursor focusedCursor_{Qt::PointingHandCursor};
  bool fontChange_ = true;
  bool acceptOnText_ = true;
  bool linking_ = false;
  QString linkText_;
  bool hot_ = false;
  bool pressed_ = false;
  // The cursor the label had before it turned hot, restored when it cools down.
  bool hadCursor_ = false;
  QCursor normalCursor_;
};

// Where the folder browser's tree starts.
enum class TRootFolder { rfDrives, rfDeskTop, rfNetWork, rfStartMenu, rfCommonStartMenu };

// The folder browser: Qt's own directory dialog, modal to its owner window.
class TFolderDialog : public QObject {
  Q_OBJECT

 public:
  explicit TFolderDialog(QWidget* owner = nullptr);

  TRootFolder RootFolder() const { return root_; }
  void SetRootFolder(TRootFolder root) { root_ = root; }
  QString Title() const { return title_; }
  void SetTitle(const QString& title) { title_ = title; }
  QString Folder() const { return folder_; }
  void SetFolder(const QString& folder) { folder_ = folder; }

  // The folder the tree starts at: the desktop (or home), "/" for the drives, the mount points
  // (/media, else /mnt, else "/") for the network, the user's or the system's application menu.
  QString RootPath() const;

  // Shows the dialog modally; true and Folder() = the chosen path when the user picked a folder.
  bool Execute();

  // Called once the dialog runs its event loop (tests drive it from here).
  std::function<void(QFileDialog&)> OnShow;

 private:
  QPointer<QWidget> owner_;
  TRootFolder root_ = TRootFolder::rfDeskTop;
  QString title_;
  QString folder_;
};

}  // namespace vexo
