// The colour list used for transparent colours.
#pragma once
#include <functional>
#include <optional>

#include <QComboBox>
#include <QIcon>

namespace vexo {

// A combo box of colours in the UI colour encoding: 0x00BBGGRR plain, system colours with the top
// bit set (index in the low byte), 0x20000000 automatic ("default colour", shown white). Each item
// shows a swatch and a name; its data (Qt::UserRole) holds the value.
//
// Order: the "カスタム..." command, the custom entry (a colour not in the lists, at most one),
// then the standard, extended and system colours, and last the default colour.
class TColorBox : public QComboBox {
  Q_OBJECT

 public:
  enum Style : unsigned {
    cbStandardColors = 1,
    cbExtendedColors = 2,
    cbSystemColors = 4,
    cbIncludeDefault = 8,
    cbCustomColor = 16,
    cbPrettyNames = 32
  };

  explicit TColorBox(QWidget* parent = nullptr);

  unsigned ColorStyle() const { return style_; }
  // Rebuilds the items, keeping the selected colour.
  void SetColorStyle(unsigned style);

  // The selected colour; black when nothing is selected.
  unsigned Selected() const;
  // Selects `colour`; a value not in the list becomes the custom entry.
  void SetSelected(unsigned colour);

  // The name an item shows for `colour` under the current style.
  QString ColorName(unsigned colour) const;
  // The displayed RGB of a value as a QColor (system colours resolved, automatic white).
  static QColor DisplayColor(unsigned colour);

  // Asks the user for a colour, starting at `initial`; nothing when cancelled. Defaults to Qt's
  // own colour dialog; replaceable for tests.
  std::function<std::optional<unsigned>(unsigned initial)> PickColor;

 private:
  void Rebuild();
  void AddColor(unsigned colour, const QString& prettyName);
  int CommandIndex() const;
  int CustomIndex() const;
  void OnActivated(int index);
  QIcon Swatch(unsigned colour) const;

  unsigned style_ = cbStandardColors | cbExtendedColors | cbSystemColors;
  int lastIndex_ = -1;  // the last real colour selected, restored when the custom pick is cancelled
};

}  // namespace vexo
