// Numeric line edits: TNumberEdit holds its text as a number kept within optional limits,
// TUpdownNumberEdit adds arrow buttons inside its right edge.
#pragma once
#include <QClipboard>
#include <QLineEdit>
#include <functional>

class QMenu;
class QToolButton;

namespace vexo {

enum class TRoundMode { rmDown, rmRound, rmUp };
enum class TNumberType { ntDecimal, ntHex };
enum TLimitOption : unsigned { loMax = 1, loMin = 2 };
enum class TArrowKeyDirection { adNone, adUp, adDown };

class TNumberEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit TNumberEdit(QWidget* parent = nullptr);

  // The number the text stands for, reduced to Figure places and limited.
  long double Value() const { return value_; }
  void SetValue(long double v);
  // Value cut to a whole number by RoundMode and limited to the int range.
  int IntValue() const;
  void SetIntValue(int v) { SetValue(v); }

  // Decimal places kept (-1: all); in hex, the least number of digits shown.
  int Figure() const { return figure_; }
  void SetFigure(int figure);
  TRoundMode RoundMode() const { return roundMode_; }
  void SetRoundMode(TRoundMode mode);

  bool Limit() const { return limit_; }
  void SetLimit(bool limit);
  unsigned LimitOptions() const { return limitOptions_; }
  void SetLimitOptions(unsigned options);
  long double Min() const { return min_; }
  void SetMin(long double min);  // a Min beyond Max moves Max along
  long double Max() const { return max_; }
  void SetMax(long double max);  // a Max below Min moves Min along

  long double Increment() const { return increment_; }
  void SetIncrement(long double increment) { increment_ = increment; }
  bool Wrap() const { return wrap_; }
  void SetWrap(bool wrap) { wrap_ = wrap; }
  // Up and Down keys step the value.
  bool AllowKeys() const { return allowKeys_; }
  void SetAllowKeys(bool allow) { allowKeys_ = allow; }

  bool Comma() const { return comma_; }  // thousands grouped
  void SetComma(bool comma);
  bool Fixed() const { return fixed_; }  // padded to Figure places
  void SetFixed(bool fixed);
  bool ZeroVisible() const { return zeroVisible_; }  // off: zero shows as empty text
  void SetZeroVisible(bool visible);
  TNumberType NumberType() const { return numberType_; }
  void SetNumberType(TNumberType type);
  bool ValidMinus() const { return validMinus_; }  // hex entry accepts "-"
  void SetValidMinus(bool valid) { validMinus_ = valid; }
  // Digits allowed before the decimal separator while typing (0: any number).
  int MaxIntLength() const { return maxIntLength_; }
  void SetMaxIntLength(int length) { maxIntLength_ = length; }
  // On entering, select all rather than put the caret at the end.
  bool AutoSelect() const { return autoSelect_; }
  void SetAutoSelect(bool select) { autoSelect_ = select; }

  // The user typed or stepped since focus entered or the flag was last set.
  bool UserModified() const { return userModified_; }
  void SetUserModified(bool modified) { userModified_ = modified; }

  // The standard context menu with its paste going through the number filter; the caller owns it.
  QMenu* CreateContextMenu();
  // Inserts the clipboard text at the caret, keeping only what the edit accepts.
  void PasteNumber(QClipboard::Mode mode = QClipboard::Clipboard);

  // A key step without visible arrow buttons, before it is applied.
  std::function<void(TNumberEdit&, TArrowKeyDirection, long double newValue)> OnArrowKeyChange;

 signals:
  // Every text change, after the text has been parsed into Value.
  void changed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

  // Applies an Up/Down key step whose result (wrapped or limited) is newValue.
  virtual void ApplyKeyStep(TArrowKeyDirection direction, long double newValue);
  long double Limited(long double v) const;

 private:
  void OnTextChanged();
  long double ParseText(const QString& text) const;
  QString FormatValue(long double v) const;
  // Shows v (limited) as text; Value follows the text.
  void ShowValue(long double v);
  // Value again from the text after a property changed; shown anew unless the user is editing.
  void Refresh();
  bool HandleCharacter(const QKeyEvent& event);
  void ToggleSign(QChar sign);
  bool DigitFits(const QString& text, int position) const;
  void Regroup();

  long double value_ = 0;
  long double min_ = 0;
  long double max_ = 0;
  long double increment_ = 1;
  int figure_ = -1;
  int maxIntLength_ = 0;
  unsigned limitOptions_ = loMax | loMin;
  TRoundMode roundMode_ = TRoundMode::rmDown;
  TNumberType numberType_ = TNumberType::ntDecimal;
  bool limit_ = false;
  bool wrap_ = false;
  bool allowKeys_ = false;
  bool comma_ = false;
  bool fixed_ = false;
  bool zeroVisible_ = true;
  bool validMinus_ = false;
  bool autoSelect_ = true;
  bool userModified_ = false;
};

class TUpdownNumberEdit : public TNumberEdit {
  Q_OBJECT

 public:
  explicit TUpdownNumberEdit(QWidget* parent = nullptr);

  Qt::Orientation Orientation() const { return orientation_; }
  void SetOrientation(Qt::Orientation orientation);
  bool VisibleUpdown() const { return visibleUpdown_; }
  void SetVisibleUpdown(bool visible);
  // The arrow buttons' container; its buttons are named "up" and "down".
  QWidget* UpDown() const { return updown_; }

  // An arrow button click or, with the buttons visible, a key step; clearing allowChange keeps
  // the value.
  std::function<void(TUpdownNumberEdit&, bool& allowChange, TArrowKeyDirection,
                     long double newValue)>
      OnUDClick;
  // The value changed by an arrow button or key step.
  std::function<void(TUpdownNumberEdit&)> OnUDChanged;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void ApplyKeyStep(TArrowKeyDirection direction, long double newValue) override;

 private:
  void ButtonStep(TArrowKeyDirection direction);
  // Asks OnUDClick and applies newValue when allowed.
  void StepTo(TArrowKeyDirection direction, long double newValue);
  void LayoutUpDown();
  bool PressDefaultButton();

  QWidget* updown_;
  QToolButton* up_;
  QToolButton* down_;
  Qt::Orientation orientation_ = Qt::Vertical;
  bool visibleUpdown_ = true;
};

}  // namespace vexo
