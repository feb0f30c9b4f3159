// The options dialog's small controls: the regulating check box, the panel, the link label, the
// folder browser and the colour list.
#include <memory>
#include <optional>

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

#include "app/options/color_box.h"
#include "app/options/small_controls.h"

using namespace vexo;

namespace {

// A panel holding a size row's label, combo and edit, like the dialog's.
struct Row {
  QWidget* panel;
  QList<QWidget*> widgets;  // the panel first
};

Row MakeRow(QWidget* panel) {
  auto* layout = new QVBoxLayout(panel);
  Row row{panel, {panel}};
  for (QWidget* w : {static_cast<QWidget*>(new QLabel("幅")), static_cast<QWidget*>(new QComboBox),
                     static_cast<QWidget*>(new QLineEdit)}) {
    layout->addWidget(w);
    row.widgets << w;
  }
  return row;
}

bool AllEnabled(const Row& row, bool enabled) {
  for (QWidget* w : row.widgets)
    if (w->isEnabled() != enabled) return false;
  return true;
}

}  // namespace

class SmallControlsTest : public QObject {
  Q_OBJECT

 private slots:
  void regulate_data() {
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("reverse");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("checked enables") << true << false << true;
    QTest::newRow("unchecked disables") << false << false << false;
    QTest::newRow("reversed, checked disables") << true << true << false;
    QTest::newRow("reversed, unchecked enables") << false << true << true;
  }
  void regulate() {
    QFETCH(bool, checked);
    QFETCH(bool, reverse);
    QFETCH(bool, enabled);
    QWidget window;
    auto* box = new TEnableControlCheckBox("縮小する", &window);
    const Row row = MakeRow(new TPanelEx(&window));
    box->setChecked(!checked);
    box->SetRegulateControl(row.panel);
    box->SetReverse(reverse);
    QVERIFY(AllEnabled(row, !enabled));
    box->setChecked(checked);
    QVERIFY(AllEnabled(row, enabled));
  }

  void regulatedControlDestroyed() {
    TEnableControlCheckBox box;
    auto control = std::make_unique<QLineEdit>();
    box.SetRegulateControl(control.get());
    control.reset();
    QCOMPARE(box.RegulateControl(), nullptr);
    box.toggle();  // must not touch the destroyed control
  }

  void panel_data() {
    QTest::addColumn<bool>("updateParent");
    QTest::newRow("parent follows") << true;
    QTest::newRow("parent kept") << false;
  }
  void panel() {
    QFETCH(bool, updateParent);
    QWidget window;
    auto* group = new QGroupBox("サイズ", &window);
    auto* panel = new TPanelEx(group);
    panel->SetUpdateParent(updateParent);
    const Row row = MakeRow(panel);
    row.widgets.last()->setEnabled(false);  // re-enabling the panel must undo this as well
    panel->setEnabled(false);
    QVERIFY(AllEnabled(row, false));
    QCOMPARE(group->isEnabled(), !updateParent);
    for (QWidget* w : row.widgets) QVERIFY(w->testAttribute(Qt::WA_ForceDisabled));  // explicit
    panel->SetEnabled(true);
    QVERIFY(group->isEnabled());
    QVERIFY(AllEnabled(row, true));
  }

  void linkClick_data() {
    QTest::addColumn<bool>("acceptOnText");
    QTest::addColumn<bool>("onText");
    QTest::addColumn<bool>("allow");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<int>("opened");
    QTest::newRow("on the text opens") << true << true << true << 1 << 1;
    QTest::newRow("beside the text is ignored") << true << false << true << 0 << 0;
    QTest::newRow("beside the text, whole label accepts") << false << false << true << 1 << 1;
    QTest::newRow("link cancelled by OnLink") << true << true << false << 1 << 0;
  }
  void linkClick() {
    QFETCH(bool, acceptOnText);
    QFETCH(bool, onText);
    QFETCH(bool, allow);
    QFETCH(int, clicks);
    QFETCH(int, opened);
    TFocusLabel label("サポートサイトの表示");
    label.resize(400, 40);
    label.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label.SetAcceptOnText(acceptOnText);
    label.SetLinking(true);
    label.SetLinkText("/usr/share/doc/vexo/index.html");
    QStringList openedLinks;
    label.Opener = [&](const QString& link) { return openedLinks << link, true; };
    label.OnLink = [&](TFocusLabel&, bool& permit) { permit = allow; };
    int clicked = 0;
    connect(&label, &TFocusLabel::clicked, [&] { ++clicked; });
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));

    const QRect text = label.TextRect();
    QVERIFY(text.width() > 0 && text.right() + 50 < label.width());
    const QPoint pos = onText ? text.center() : QPoint(text.right() + 50, text.center().y());
    QMouseEvent move(QEvent::MouseMove, pos, label.mapToGlobal(pos), Qt::NoButton, {}, {});
    QApplication::sendEvent(&label, &move);
    QCOMPARE(label.Hot(), onText);
    QTest::mouseClick(&label, Qt::LeftButton, {}, pos);
    QCOMPARE(clicked, clicks);
    QCOMPARE(openedLinks.size(), opened);
    if (opened) QCOMPARE(openedLinks.first(), label.LinkText());
  }

  void folderDialog_data() {
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("confirm");
    QTest::newRow("existing folder, confirmed") << true << true;
    QTest::newRow("existing folder, cancelled") << true << false;
    QTest::newRow("missing folder, confirmed") << false << true;
    QTest::newRow("missing folder, cancelled") << false << false;
  }
  void folderDialog() {
    QFETCH(bool, folderExists);
    QFETCH(bool, confirm);
    QTemporaryDir temp;
    QVERIFY(QDir(temp.path()).mkdir("出力"));
    const QString folder = temp.path() + (folderExists ? "/出力" : "/無い");
    QWidget owner;
    TFolderDialog dialog(&owner);
    dialog.SetFolder(folder);
    QString start, title;
    dialog.OnShow = [&](QFileDialog& d) {
      start = d.directory().absolutePath();
      title = d.windowTitle();
      QDialog& base = d;  // accept() is public on QDialog
      confirm ? base.accept() : base.reject();
    };
    QCOMPARE(dialog.Execute(), confirm);
    QCOMPARE(title, dialog.Title());
    const QString expectedStart = QDir::cleanPath(folderExists ? folder : dialog.RootPath());
    QCOMPARE(QDir::cleanPath(start), expectedStart);
    QCOMPARE(dialog.Folder(), confirm ? expectedStart : folder);
  }

  void colorBoxSelected_data() {
    QTest::addColumn<unsigned>("style");
    QTest::addColumn<unsigned>("colour");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("added");
    const unsigned all = TColorBox::cbStandardColors | TColorBox::cbExtendedColors |
                         TColorBox::cbSystemColors | TColorBox::cbIncludeDefault |
                         TColorBox::cbCustomColor;
    const unsigned pretty = all | TColorBox::cbPrettyNames;
    QTest::newRow("standard red") << pretty << 0x0000FFu << "赤" << false;
    QTest::newRow("standard red, hex name") << all << 0x0000FFu << "$000000FF" << false;
    QTest::newRow("extended cream") << pretty << 0xF0FBFFu << "クリーム" << false;
    QTest::newRow("system window") << pretty << 0x80000005u << "ウィンドウの背景" << false;
    QTest::newRow("default colour") << pretty << 0x20000000u << "既定の色" << false;
    QTest::newRow("unlisted becomes custom") << pretty << 0x123456u << "$00123456" << true;
    QTest::newRow("system colour not offered")
        << (pretty & ~TColorBox::cbSystemColors) << 0x8000000Fu << "ボタンの表面" << true;
  }
  void colorBoxSelected() {
    QFETCH(unsigned, style);
    QFETCH(unsigned, colour);
    QFETCH(QString, text);
    QFETCH(bool, added);
    TColorBox box;
    box.SetColorStyle(style);
    const int count = box.count();
    box.SetSelected(colour);
    QCOMPARE(box.Selected(), colour);
    QCOMPARE(box.currentText(), text);
    QCOMPARE(box.currentData().toUInt(), colour);
    QCOMPARE(box.count(), count + (added ? 1 : 0));
    box.SetSelected(0xABCDEFu);  // a second unlisted colour replaces the custom entry
    QCOMPARE(box.count(), count + 1);
    QCOMPARE(box.Selected(), 0xABCDEFu);
  }

  void colorBoxCustomPick_data() {
    QTest::addColumn<bool>("pick");
    QTest::newRow("picked colour selected") << true;
    QTest::newRow("cancel restores selection") << false;
  }
  void colorBoxCustomPick() {
    QFETCH(bool, pick);
    TColorBox box;
    box.SetColorStyle(TColorBox::cbStandardColors | TColorBox::cbCustomColor);
    QCOMPARE(box.itemText(0), QString("カスタム..."));
    box.SetSelected(0x008000);
    std::optional<unsigned> initial;
    box.PickColor = [&](unsigned start) -> std::optional<unsigned> {
      initial = start;
      return pick ? std::optional<unsigned>(0x336699) : std::nullopt;
    };
    box.setCurrentIndex(0);  // as the user does before activated() is emitted
    emit box.activated(0);
    QCOMPARE(initial, std::optional<unsigned>(0x008000));
    QCOMPARE(box.Selected(), pick ? 0x336699u : 0x008000u);
    QVERIFY(box.currentIndex() != 0);
  }
};

QTEST_MAIN(SmallControlsTest)
#include "small_controls_test.moc"
