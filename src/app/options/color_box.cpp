#include "app/options/color_box.h"

#include <array>
#include <span>

#include <QColorDialog>
#include <QPainter>
#include <QPixmap>

#include "core/colors.h"

namespace vexo {

namespace {

struct NamedColor {
  unsigned value;
  const char* name;  // UTF-8
};

constexpr std::array<NamedColor, 16> kStandardColors = {{
    {0x000000, "黒"},
    {0x000080, "栗色"},
    {0x008000, "緑"},
    {0x008080, "オリーブ"},
    {0x800000, "濃紺"},
    {0x800080, "紫"},
    {0x808000, "青緑"},
    {0x808080, "灰色"},
    {0xC0C0C0, "銀色"},
    {0x0000FF, "赤"},
    {0x00FF00, "ライム"},
    {0x00FFFF, "黄"},
    {0xFF0000, "青"},
    {0xFF00FF, "赤紫"},
    {0xFFFF00, "水色"},
    {0xFFFFFF, "白"},
}};

constexpr std::array<NamedColor, 4> kExtendedColors = {{
    {0xC0DCC0, "マネーグリーン"},
    {0xF0CAA6, "スカイブルー"},
    {0xF0FBFF, "クリーム"},
    {0xA4A0A0, "中間の灰色"},
}};

// The classic system colours by index; 25 has no role of its own in the classic scheme.
constexpr std::array<const char*, 31> kSystemColorNames = {
    "スクロールバー",
    "デスクトップ",
    "アクティブなタイトルバー",
    "非アクティブなタイトルバー",
    "メニュー",
    "ウィンドウの背景",
    "ウィンドウの枠",
    "メニューの文字",
    "ウィンドウの文字",
    "タイトルバーの文字",
    "アクティブな境界線",
    "非アクティブな境界線",
    "アプリケーションの作業領域",
    "選択項目の背景",
    "選択項目の文字",
    "ボタンの表面",
    "ボタンの影",
    "淡色表示の文字",
    "ボタンの文字",
    "非アクティブなタイトルバーの文字",
    "ボタンのハイライト",
    "立体表示の濃い影",
    "立体表示の明るい部分",
    "ヒントの文字",
    "ヒントの背景",
    "代替ボタンの表面",
    "ホットトラック項目",
    "アクティブなタイトルバーのグラデーション",
    "非アクティブなタイトルバーのグラデーション",
    "メニューの選択項目",
    "メニューバー",
};

constexpr unsigned kSystemBit = 0x80000000u;
constexpr unsigned kDefaultColor = 0x20000000u;  // kColorAuto

// What an item is, in a role of its own so that colour values never clash with it.
constexpr int kKindRole = Qt::UserRole + 1;
enum Kind : int { kListed = 0, kCommand = 1, kCustom = 2 };

}  // namespace

TColorBox::TColorBox(QWidget* parent) : QComboBox(parent) {
  PickColor = [this](unsigned initial) -> std::optional<unsigned> {
    const QColor picked = QColorDialog::getColor(DisplayColor(initial), this, QString(),
                                                 QColorDialog::DontUseNativeDialog);
    if (!picked.isValid()) return std::nullopt;
    return static_cast<unsigned>(picked.red()) | static_cast<unsigned>(picked.green()) << 8 |
           static_cast<unsigned>(picked.blue()) << 16;
  };
  // activated is the user's choice only, so selecting the command from code opens nothing.
  connect(this, &QComboBox::activated, this, &TColorBox::OnActivated);
  connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index >= 0 && itemData(index, kKindRole).toInt() != kCommand) lastIndex_ = index;
  });
  Rebuild();
}

QColor TColorBox::DisplayColor(unsigned colour) {
  if (colour == kDefaultColor) return Qt::white;
  const std::uint32_t rgb = ColorToRGB(colour);
  return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>(rgb >> 8 & 0xFF),
                static_cast<int>(rgb >> 16 & 0xFF));
}

QString TColorBox::ColorName(unsigned colour) const {
  // Without pretty names every colour reads as its value in hex, "$00BBGGRR".
  const QString hex = QStringLiteral("$%1").arg(colour, 8, 16, QLatin1Char('0')).toUpper();
  if (!(style_ & cbPrettyNames)) return hex;
  if (colour == kDefaultColor) return QStringLiteral("既定の色");
  if (colour & kSystemBit) {
    const unsigned index = colour & 0xFF;
    if ((colour & ~0xFFu) == kSystemBit && index < kSystemColorNames.size())
      return QString::fromUtf8(kSystemColorNames[index]);
    return hex;
  }
  for (const auto& list :
       {std::span<const NamedColor>(kStandardColors), std::span<const NamedColor>(kExtendedColors)})
    for (const NamedColor& c : list)
      if (c.value == colour) return QString::fromUtf8(c.name);
  return hex;
}

QIcon TColorBox::Swatch(unsigned colour) const {
  QPixmap pixmap(iconSize());
  pixmap.fill(DisplayColor(colour));
  QPainter painter(&pixmap);
  painter.setPen(QColor(64, 64, 64));  // a frame so that white and the background stay apart
  painter.drawRect(pixmap.rect().adjusted(0, 0, -1, -1));
  return QIcon(pixmap);
}

void TColorBox::AddColor(unsigned colour, const QString& prettyName) {
  addItem(Swatch(colour), (style_ & cbPrettyNames) ? prettyName : ColorName(colour), colour);
  setItemData(count() - 1, kListed, kKindRole);
}

void TColorBox::Rebuild() {
  const bool hadSelection = currentIndex() >= 0;
  const unsigned previous = Selected();
  {
    const QSignalBlocker block(this);
    clear();
    lastIndex_ = -1;
    if (style_ & cbCustomColor) {
      // Keeps the text in line with the swatches of the other items.
      QPixmap blank(iconSize());
      blank.fill(Qt::transparent);
      addItem(QIcon(blank), QStringLiteral("カスタム..."));
      setItemData(0, kCommand, kKindRole);
    }
    if (style_ & cbStandardColors)
      for (const NamedColor& c : kStandardColors) AddColor(c.value, QString::fromUtf8(c.name));
    if (style_ & cbExtendedColors)
      for (const NamedColor& c : kExtendedColors) AddColor(c.value, QString::fromUtf8(c.name));
    if (style_ & cbSystemColors)
      for (unsigned i = 0; i < kSystemColorNames.size(); ++i)
        AddColor(kSystemBit | i, QString::fromUtf8(kSystemColorNames[i]));
    if (style_ & cbIncludeDefault) AddColor(kDefaultColor, QStringLiteral("既定の色"));
    setCurrentIndex(-1);
  }
  if (hadSelection) {
    SetSelected(previous);
  } else if (count() > 0 && CommandIndex() != 0) {
    setCurrentIndex(0);
  } else if (count() > 1) {
    setCurrentIndex(1);
  }
}

void TColorBox::SetColorStyle(unsigned style) {
  if (style == style_) return;
  style_ = style;
  Rebuild();
}

int TColorBox::CommandIndex() const {
  return findData(kCommand, kKindRole);
}
int TColorBox::CustomIndex() const {
  return findData(kCustom, kKindRole);
}

unsigned TColorBox::Selected() const {
  int index = currentIndex();
  if (index < 0 || itemData(index, kKindRole).toInt() == kCommand) index = lastIndex_;
  if (index < 0 || index >= count()) return 0;
  return itemData(index).toUInt();
}

void TColorBox::SetSelected(unsigned colour) {
  for (int i = 0; i < count(); ++i) {
    if (itemData(i, kKindRole).toInt() != kCommand && itemData(i).toUInt() == colour) {
      setCurrentIndex(i);
      return;
    }
  }
  // Not listed: becomes the one custom entry, right below the command (or at the top).
  int index = CustomIndex();
  if (index < 0) {
    index = CommandIndex() + 1;
    insertItem(index, QString());
    setItemData(index, kCustom, kKindRole);
  }
  setItemIcon(index, Swatch(colour));
  setItemText(index, ColorName(colour));
  setItemData(index, colour);
  setCurrentIndex(index);
}

void TColorBox::OnActivated(int index) {
  if (itemData(index, kKindRole).toInt() != kCommand) return;
  const unsigned previous = Selected();
  const int previousIndex = lastIndex_;
  const std::optional<unsigned> picked = PickColor ? PickColor(previous) : std::nullopt;
  if (picked) {
    SetSelected(*picked);
  } else {
    setCurrentIndex(previousIndex);
  }
}

}  // namespace vexo
