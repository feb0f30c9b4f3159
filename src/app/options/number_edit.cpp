#include "app/options/number_edit.h"

#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

namespace vexo {
namespace {

// A number as its decimal digits, so that rounding works on what the user sees.
struct Decimal {
  bool negative = false;
  std::string whole = "0";  // digits before the point, at least one
  std::string fraction;     // digits after it
};

bool IsZero(const Decimal& d) {
  return d.whole.find_first_not_of('0') == std::string::npos &&
         d.fraction.find_first_not_of('0') == std::string::npos;
}

void Trim(Decimal& d) {
  d.whole.erase(0, std::min(d.whole.find_first_not_of('0'), d.whole.size() - 1));
  d.fraction.erase(d.fraction.find_last_not_of('0') + 1);
}

// The digits of v: whole numbers of 64 bits exactly, others to 15 significant digits, so that
// a value that came from a double (0.1) shows without its binary noise.
Decimal ToDecimal(long double v) {
  Decimal d;
  if (!std::isfinite(v)) return d;
  if (v == std::trunc(v) && std::abs(v) < 0x1p63L) {
    const auto whole = static_cast<int64_t>(v);
    d.negative = whole < 0;
    d.whole = std::to_string(whole < 0 ? -static_cast<uint64_t>(whole) : whole);
    return d;
  }
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific, 14);
  const std::string text(buffer, result.ptr);  // [-]d.ddd...e[+-]xx
  const size_t e = text.find('e');
  d.negative = text[0] == '-';
  std::string digits;
  for (size_t i = d.negative ? 1 : 0; i < e; ++i) {
    if (text[i] != '.') digits += text[i];
  }
  int exponent = 0;
  const char* first = text.data() + e + 1;
  if (*first == '+') ++first;
  std::from_chars(first, text.data() + text.size(), exponent);
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    d.whole = "0";
    d.fraction = std::string(-point, '0') + digits;
  } else if (point >= static_cast<int>(digits.size())) {
    d.whole = digits + std::string(point - digits.size(), '0');
  } else {
    d.whole = digits.substr(0, point);
    d.fraction = digits.substr(point);
  }
  Trim(d);
  if (IsZero(d)) d.negative = false;
  return d;
}

// Keeps figure decimal places: rmDown cuts, rmRound rounds half up, rmUp rounds up whenever a
// dropped digit is not 0; a carry runs into the whole part (9.99 -> 10.0).
void RoundTo(Decimal& d, int figure, TRoundMode mode) {
  if (figure < 0 || static_cast<int>(d.fraction.size()) <= figure) return;
  const std::string dropped = d.fraction.substr(figure);
  d.fraction.resize(figure);
  const bool up = (mode == TRoundMode::rmRound && dropped[0] >= '5') ||
                  (mode == TRoundMode::rmUp && dropped.find_first_not_of('0') != std::string::npos);
  if (!up) return;
  std::string digits = d.whole + d.fraction;
  int i = static_cast<int>(digits.size()) - 1;
  for (; i >= 0 && digits[i] == '9'; --i) digits[i] = '0';
  if (i < 0) {
    digits.insert(0, 1, '1');
  } else {
    ++digits[i];
  }
  d.whole = digits.substr(0, digits.size() - figure);
  d.fraction = digits.substr(digits.size() - figure);
}

long double ToLongDouble(const Decimal& d) {
  std::string text = d.whole;
  if (!d.fraction.empty()) text += '.' + d.fraction;
  long double v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return d.negative ? -v : v;
}

long double RoundWhole(long double v, TRoundMode mode) {
  Decimal d = ToDecimal(v);
  RoundTo(d, 0, mode);
  return ToLongDouble(d);
}

bool IsSign(QChar c) {
  return c == u'-' || c == u'+';
}

bool HasSign(const QString& text) {
  return !text.isEmpty() && IsSign(text.front());
}

bool IsDigit(QChar c, bool hex) {
  if (c >= u'0' && c <= u'9') return true;
  return hex && ((c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'));
}

bool AllDigits(const QString& text) {
  return std::all_of(text.begin(), text.end(), [](QChar c) { return IsDigit(c, false); });
}

// Full-width digits and signs (Japanese text) as their ASCII forms.
QChar Narrowed(QChar c) {
  if (c >= u'\uFF10' && c <= u'\uFF19') return QChar(u'0' + (c.unicode() - 0xFF10));
  if (c == u'\uFF0B') return u'+';
  if (c == u'\uFF0D' || c == u'\u2212') return u'-';
  return c;
}

// digits with separator between groups of three from the right.
QString Grouped(const QString& digits, const QString& separator) {
  QString out = digits;
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) out.insert(i, separator);
  return out;
}

// A magnitude of at most 64 bits from hex or decimal digits, saturating; false for other text.
bool ParseMagnitude(const QString& digits, int base, uint64_t& magnitude, bool& overflow) {
  const QByteArray ascii = digits.toLatin1();
  if (digits.isEmpty() || !std::all_of(digits.begin(), digits.end(),
                                       [base](QChar c) { return IsDigit(c, base == 16); })) {
    return false;
  }
  const auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), magnitude, base);
  overflow = result.ec == std::errc::result_out_of_range;
  if (overflow) magnitude = UINT64_MAX;
  return true;
}

}  // namespace

TNumberEdit::TNumberEdit(QWidget* parent) : QLineEdit(QStringLiteral("0"), parent) {
  setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  setInputMethodHints(Qt::ImhDigitsOnly);
  // A drop would insert text unfiltered.
  setAcceptDrops(false);
  connect(this, &QLineEdit::textChanged, this, &TNumberEdit::OnTextChanged);
  connect(this, &QLineEdit::textEdited, this, [this] { userModified_ = true; });
}

void TNumberEdit::SetValue(long double v) {
  ShowValue(v);
}

int TNumberEdit::IntValue() const {
  const long double whole = RoundWhole(value_, roundMode_);
  return static_cast<int>(std::clamp<long double>(whole, INT_MIN, INT_MAX));
}

void TNumberEdit::SetFigure(int figure) {
  figure_ = figure;
  Refresh();
}

void TNumberEdit::SetRoundMode(TRoundMode mode) {
  roundMode_ = mode;
  Refresh();
}

void TNumberEdit::SetLimit(bool limit) {
  limit_ = limit;
  Refresh();
}

void TNumberEdit::SetLimitOptions(unsigned options) {
  limitOptions_ = options;
  Refresh();
}

void TNumberEdit::SetMin(long double min) {
  min_ = min;
  max_ = std::max(max_, min_);
  Refresh();
}

void TNumberEdit::SetMax(long double max) {
  max_ = max;
  min_ = std::min(min_, max_);
  Refresh();
}

void TNumberEdit::SetComma(bool comma) {
  comma_ = comma;
  Refresh();
}

void TNumberEdit::SetFixed(bool fixed) {
  fixed_ = fixed;
  Refresh();
}

void TNumberEdit::SetZeroVisible(bool visible) {
  zeroVisible_ = visible;
  Refresh();
}

void TNumberEdit::SetNumberType(TNumberType type) {
  if (type == numberType_) return;
  numberType_ = type;
  setInputMethodHints(type == TNumberType::ntHex ? Qt::ImhPreferUppercase | Qt::ImhNoPredictiveText
                                                 : Qt::ImhDigitsOnly);
  // The text is written anew in the other base from the value it stood for.
  ShowValue(value_);
}

long double TNumberEdit::Limited(long double v) const {
  if (!limit_) return v;
  if ((limitOptions_ & loMin) && v < min_) return min_;
  if ((limitOptions_ & loMax) && v > max_) return max_;
  return v;
}

void TNumberEdit::Refresh() {
  value_ = ParseText(text());
  // While the user edits, the text stays as typed.
  if (!hasFocus()) ShowValue(value_);
}

void TNumberEdit::OnTextChanged() {
  value_ = ParseText(text());
  emit changed();
}

long double TNumberEdit::ParseText(const QString& text) const {
  const QLocale loc = locale();
  QString s = text;
  s.remove(loc.groupSeparator());
  s.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
  if (s.isEmpty() || (s.size() == 1 && IsSign(s.front()))) return Limited(0);
  const bool negative = s.front() == u'-';
  if (IsSign(s.front())) s.remove(0, 1);

  const bool hex = numberType_ == TNumberType::ntHex;
  const QString point = loc.decimalPoint();
  const qsizetype pointAt = hex ? -1 : s.indexOf(point);
  long double v = 0;  // what does not read as a number counts as 0
  if (pointAt < 0) {
    uint64_t magnitude = 0;
    bool overflow = false;
    if (ParseMagnitude(s, hex ? 16 : 10, magnitude, overflow)) {
      if (overflow && !hex) {
        Decimal d;  // beyond 64 bits a decimal number is read as floating point
        d.whole = s.toStdString();
        v = ToLongDouble(d);
      } else {
        v = std::min<long double>(magnitude, negative ? -static_cast<long double>(INT64_MIN)
                                                      : static_cast<long double>(INT64_MAX));
      }
    }
  } else {
    const QString whole = s.left(pointAt);
    const QString fraction = s.mid(pointAt + point.size());
    if (AllDigits(whole) && AllDigits(fraction)) {
      Decimal d;
      d.whole = whole.isEmpty() ? "0" : whole.toStdString();
      d.fraction = fraction.toStdString();
      RoundTo(d, figure_, roundMode_);
      v = ToLongDouble(d);
    }
  }
  return Limited(negative ? -v : v);
}

QString TNumberEdit::FormatValue(long double v) const {
  v = Limited(v);
  if (numberType_ == TNumberType::ntHex) {
    const long double whole = RoundWhole(v, roundMode_);
    const auto magnitude =
        static_cast<uint64_t>(std::min<long double>(std::abs(whole), UINT64_MAX));
    if (magnitude == 0 && !zeroVisible_) return {};
    const QString digits = QString::number(magnitude, 16).toUpper();
    return (whole < 0 ? QStringLiteral("-") : QString()) +
           digits.rightJustified(std::max(figure_, 1), u'0');
  }
  Decimal d = ToDecimal(v);
  RoundTo(d, figure_, roundMode_);
  Trim(d);
  if (IsZero(d)) {
    if (!zeroVisible_) return {};
    d.negative = false;
  }
  if (fixed_ && figure_ > static_cast<int>(d.fraction.size())) d.fraction.resize(figure_, '0');
  const QLocale loc = locale();
  QString whole = QString::fromStdString(d.whole);
  if (comma_) whole = Grouped(whole, loc.groupSeparator());
  QString out = d.negative ? QStringLiteral("-") : QString();
  out += whole;
  if (!d.fraction.empty()) out += loc.decimalPoint() + QString::fromStdString(d.fraction);
  return out;
}

void TNumberEdit::ShowValue(long double v) {
  const QString shown = FormatValue(v);
  if (shown != text()) {
    setText(shown);  // parses it into value_
  } else {
    value_ = ParseText(shown);
  }
}

bool TNumberEdit::DigitFits(const QString& text, int position) const {
  if (maxIntLength_ <= 0) return true;
  QString after = text;
  after.insert(position, u'0');
  const bool hex = numberType_ == TNumberType::ntHex;
  const qsizetype pointAt = hex ? -1 : after.indexOf(locale().decimalPoint());
  const QString whole = pointAt < 0 ? after : after.left(pointAt);
  const auto digits =
      std::count_if(whole.begin(), whole.end(), [hex](QChar c) { return IsDigit(c, hex); });
  return digits <= maxIntLength_;
}

void TNumberEdit::ToggleSign(QChar sign) {
  if (hasSelectedText() && selectionStart() == 0) del();
  int caret = cursorPosition();
  const QString current = text();
  if (current.startsWith(sign)) {
    setSelection(0, 1);
    del();
    caret = std::max(caret - 1, 0);
  } else if (HasSign(current)) {
    setSelection(0, 1);
    insert(QString(sign));
  } else {
    setCursorPosition(0);
    insert(QString(sign));
    ++caret;
  }
  setCursorPosition(caret);
}

bool TNumberEdit::HandleCharacter(const QKeyEvent& event) {
  const QString typed = event.text();
  // Backspace, Tab, Enter and the keys without a character are the line edit's.
  if (typed.isEmpty() || !typed.front().isPrint()) return false;
  const bool hex = numberType_ == TNumberType::ntHex;
  const QChar c = Narrowed(typed.front());
  if (IsSign(c)) {
    const bool accepted = !hex || (c == u'-' ? validMinus_ : text().startsWith(u'-'));
    if (accepted) ToggleSign(c);
    return true;
  }
  // What the text is without the selection the character replaces.
  QString rest = text();
  int at = cursorPosition();
  if (hasSelectedText()) {
    at = selectionStart();
    rest.remove(at, selectionLength());
  }
  if (IsDigit(c, hex)) {
    if (DigitFits(rest, at)) insert(QString(c));
  } else if (!hex) {
    const QString point = locale().decimalPoint();
    const bool keypadPoint = (event.modifiers() & Qt::KeypadModifier) && (c == u'.' || c == u',');
    if ((typed == point || keypadPoint) && !rest.contains(point)) insert(point);
  }
  Regroup();
  return true;  // anything else is dropped
}

void TNumberEdit::Regroup() {
  if (!comma_ || numberType_ == TNumberType::ntHex) return;
  const QLocale loc = locale();
  const QString group = loc.groupSeparator();
  const QString current = text();
  QString plain = current;
  plain.remove(group);
  const int start = HasSign(plain) ? 1 : 0;
  qsizetype end = plain.indexOf(loc.decimalPoint(), start);
  if (end < 0) end = plain.size();
  const QString whole = plain.mid(start, end - start);
  if (!AllDigits(whole)) return;
  const QString grouped = plain.left(start) + Grouped(whole, group) + plain.mid(end);
  if (grouped == current) return;
  // The caret stays behind the same character, separators not counted.
  const qsizetype kept = current.left(cursorPosition()).remove(group).size();
  qsizetype caret = 0;
  for (qsizetype passed = 0; caret < grouped.size() && passed < kept;) {
    if (QStringView(grouped).mid(caret).startsWith(group)) {
      caret += group.size();
    } else {
      ++caret;
      ++passed;
    }
  }
  // Replaced by an edit rather than setText, so undo still works.
  selectAll();
  insert(grouped);
  setCursorPosition(static_cast<int>(caret));
}

void TNumberEdit::PasteNumber(QClipboard::Mode mode) {
  if (isReadOnly()) return;
  const QString clip = QGuiApplication::clipboard()->text(mode).trimmed();
  if (clip.isEmpty()) return;
  if (hasSelectedText()) del();
  QString current = text();
  int caret = cursorPosition();
  if (caret == 0 && HasSign(current)) return;
  const bool hex = numberType_ == TNumberType::ntHex;
  const QString point = locale().decimalPoint();
  QString accepted;
  for (qsizetype i = 0; i < clip.size(); ++i) {
    const QChar c = Narrowed(clip[i]);
    QString piece;
    if (IsSign(c)) {
      if (i == 0 && caret == 0 && !HasSign(current) && (!hex || (c == u'-' && validMinus_))) {
        piece = c;
      }
    } else if (IsDigit(c, hex)) {
      if (DigitFits(current, caret)) piece = c;
    } else if (!hex && QStringView(clip).mid(i).startsWith(point)) {
      if (!current.contains(point)) piece = point;
      i += point.size() - 1;
    }
    current.insert(caret, piece);
    caret += static_cast<int>(piece.size());
    accepted += piece;
  }
  if (!accepted.isEmpty()) insert(accepted);
  Regroup();
}

QMenu* TNumberEdit::CreateContextMenu() {
  QMenu* menu = createStandardContextMenu();
  // The paste action is the one wired to QLineEdit::paste (its text is translated); Qt 6.4
  // connects it by name, later versions may not.
  for (QAction* action : menu->actions()) {
    const bool byName = disconnect(action, SIGNAL(triggered()), this, SLOT(paste()));
    if (disconnect(action, &QAction::triggered, this, &QLineEdit::paste) || byName) {
      action->setObjectName(QStringLiteral("edit-paste"));
      connect(action, &QAction::triggered, this, [this] { PasteNumber(); });
    }
  }
  return menu;
}

void TNumberEdit::contextMenuEvent(QContextMenuEvent* event) {
  const std::unique_ptr<QMenu> menu(CreateContextMenu());
  menu->exec(event->globalPos());
  Regroup();  // after a cut, delete or undo from the menu
}

void TNumberEdit::mouseReleaseEvent(QMouseEvent* event) {
  // The X11 selection is pasted by the middle button: filtered like any paste.
  if (event->button() == Qt::MiddleButton && QGuiApplication::clipboard()->supportsSelection()) {
    if (rect().contains(event->position().toPoint())) {
      deselect();
      PasteNumber(QClipboard::Selection);
    }
    event->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(event);
}

void TNumberEdit::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Paste) ||
      (event->key() == Qt::Key_Insert && event->modifiers() == Qt::ShiftModifier)) {
    PasteNumber();
    event->accept();
    return;
  }
  if (allowKeys_ && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) {
    if (!isReadOnly()) {
      const bool up = event->key() == Qt::Key_Up;
      long double v = value_ + (up ? increment_ : -increment_);
      if (limit_) {
        const bool minApplies = limitOptions_ & loMin;
        const bool maxApplies = limitOptions_ & loMax;
        if (minApplies && v < min_) {
          v = wrap_ && maxApplies ? max_ : min_;
        } else if (maxApplies && v > max_) {
          v = wrap_ && minApplies ? min_ : max_;
        }
      }
      ApplyKeyStep(up ? TArrowKeyDirection::adUp : TArrowKeyDirection::adDown, v);
    }
    event->accept();
    return;
  }
  const bool control = event->modifiers() & Qt::ControlModifier;
  if (!control && !isReadOnly() && HandleCharacter(*event)) {
    event->accept();
    return;
  }
  // Backspace or Delete next to a group separator takes the digit beyond it.
  if (comma_ && !hasSelectedText() && !control) {
    const QString group = locale().groupSeparator();
    const int caret = cursorPosition();
    if (event->key() == Qt::Key_Backspace && text().left(caret).endsWith(group)) {
      setCursorPosition(caret - static_cast<int>(group.size()));
    } else if (event->key() == Qt::Key_Delete && text().mid(caret).startsWith(group)) {
      setCursorPosition(caret + static_cast<int>(group.size()));
    }
  }
  QLineEdit::keyPressEvent(event);
  Regroup();
}

void TNumberEdit::ApplyKeyStep(TArrowKeyDirection direction, long double newValue) {
  if (OnArrowKeyChange) OnArrowKeyChange(*this, direction, newValue);
  SetValue(newValue);
  userModified_ = true;
  setModified(true);
}

void TNumberEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (event->reason() == Qt::PopupFocusReason) return;  // back from the context menu
  userModified_ = false;
  if (event->reason() == Qt::MouseFocusReason) return;  // the click places the caret
  if (autoSelect_) {
    selectAll();
  } else {
    end(false);
  }
}

void TNumberEdit::focusOutEvent(QFocusEvent* event) {
  if (event->reason() != Qt::PopupFocusReason) {
    ShowValue(value_);
    setModified(userModified_);
  }
  QLineEdit::focusOutEvent(event);
}

void TNumberEdit::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::ReadOnlyChange) {
    // QLineEdit::setReadOnly turns the input method back on.
    setAttribute(Qt::WA_InputMethodEnabled, false);
  } else if (event->type() == QEvent::LocaleChange) {
    ShowValue(value_);  // other separators
  }
}

TUpdownNumberEdit::TUpdownNumberEdit(QWidget* parent)
    : TNumberEdit(parent),
      updown_(new QWidget(this)),
      up_(new QToolButton(updown_)),
      down_(new QToolButton(updown_)) {
  SetAllowKeys(true);
  updown_->setCursor(Qt::ArrowCursor);
  up_->setObjectName(QStringLiteral("up"));
  down_->setObjectName(QStringLiteral("down"));
  for (QToolButton* button : {up_, down_}) {
    button->setFocusPolicy(Qt::NoFocus);  // the edit keeps the focus
    button->setAutoRepeat(true);
    button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  }
  connect(up_, &QToolButton::clicked, this, [this] { ButtonStep(TArrowKeyDirection::adUp); });
  connect(down_, &QToolButton::clicked, this, [this] { ButtonStep(TArrowKeyDirection::adDown); });
  LayoutUpDown();
}

void TUpdownNumberEdit::SetOrientation(Qt::Orientation orientation) {
  orientation_ = orientation;
  LayoutUpDown();
}

void TUpdownNumberEdit::SetVisibleUpdown(bool visible) {
  visibleUpdown_ = visible;
  LayoutUpDown();
}

void TUpdownNumberEdit::LayoutUpDown() {
  if (!visibleUpdown_) {
    updown_->hide();
    setTextMargins(0, 0, 0, 0);
    return;
  }
  const int frame =
      hasFrame() ? style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) : 0;
  const bool vertical = orientation_ == Qt::Vertical;
  const int w =
      style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this) + (vertical ? 0 : 10);
  const int h = std::max(height() - 2 * frame, 0);
  updown_->setGeometry(width() - frame - w, frame, w, h);
  up_->setArrowType(vertical ? Qt::UpArrow : Qt::RightArrow);
  down_->setArrowType(vertical ? Qt::DownArrow : Qt::LeftArrow);
  if (vertical) {
    up_->setGeometry(0, 0, w, h / 2);
    down_->setGeometry(0, h / 2, w, h - h / 2);
  } else {
    down_->setGeometry(0, 0, w / 2, h);
    up_->setGeometry(w / 2, 0, w - w / 2, h);
  }
  updown_->show();
  setTextMargins(0, 0, w + 2, 0);
}

void TUpdownNumberEdit::resizeEvent(QResizeEvent* event) {
  TNumberEdit::resizeEvent(event);
  LayoutUpDown();
}

void TUpdownNumberEdit::changeEvent(QEvent* event) {
  TNumberEdit::changeEvent(event);
  if (event->type() == QEvent::StyleChange) LayoutUpDown();
}

void TUpdownNumberEdit::ButtonStep(TArrowKeyDirection direction) {
  setFocus(Qt::OtherFocusReason);
  const long double step = direction == TArrowKeyDirection::adUp ? Increment() : -Increment();
  // The buttons stop at a limit; they do not wrap.
  const long double v = Limited(Value() + step);
  if (!isReadOnly()) StepTo(direction, v);
}

void TUpdownNumberEdit::StepTo(TArrowKeyDirection direction, long double newValue) {
  bool allow = true;
  if (OnUDClick) OnUDClick(*this, allow, direction, newValue);
  if (!allow) return;
  SetValue(newValue);
  SetUserModified(true);
  setModified(true);
  if (OnUDChanged) OnUDChanged(*this);
}

void TUpdownNumberEdit::ApplyKeyStep(TArrowKeyDirection direction, long double newValue) {
  if (!visibleUpdown_) {
    TNumberEdit::ApplyKeyStep(direction, newValue);
  } else if (newValue == Value()) {
    SetValue(newValue);  // nothing to ask: the text is only shown normalised
  } else {
    StepTo(direction, newValue);
  }
}

void TUpdownNumberEdit::keyPressEvent(QKeyEvent* event) {
  const bool enter = (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
                     (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
  TNumberEdit::keyPressEvent(event);
  if (enter && PressDefaultButton()) event->accept();
}

bool TUpdownNumberEdit::PressDefaultButton() {
  const auto nearestDialog = [](QWidget* widget) -> QDialog* {
    for (QWidget* w = widget->parentWidget(); w; w = w->parentWidget()) {
      if (auto* dialog = qobject_cast<QDialog*>(w)) return dialog;
    }
    return nullptr;
  };
  for (QDialog* dialog = nearestDialog(this); dialog; dialog = nearestDialog(dialog)) {
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
      if (button->isDefault() && button->isEnabled() && button->isVisible() &&
          nearestDialog(button) == dialog) {
        button->click();
        return true;
      }
    }
  }
  return false;
}

}  // namespace vexo
