// The numeric edits: typing, pasting, parsing, display, key and button steps.
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>
#include <climits>
#include <memory>

#include "app/options/number_edit.h"

namespace vexo {
namespace {

// Sets up an edit from the words of a table row: "fig=N", "max=N" (whole digits), "round",
// "up", "comma", "fixed", "nozero", "hex", "de" (German separators), "16..72" or "0..99"
// (limits), "maxonly" (upper limit alone), "wrap". The locale is C otherwise.
void Configure(TNumberEdit& edit, const QString& settings) {
  const QStringList words = settings.split(u' ', Qt::SkipEmptyParts);
  edit.setLocale(words.contains("de") ? QLocale(QLocale::German) : QLocale::c());
  for (const QString& word : words) {
    if (word.startsWith("fig=")) edit.SetFigure(word.mid(4).toInt());
    if (word.startsWith("max=")) edit.SetMaxIntLength(word.mid(4).toInt());
    if (word.contains("..")) {
      edit.SetLimit(true);
      edit.SetMax(word.section("..", 1).toInt());
      edit.SetMin(word.section("..", 0, 0).toInt());
    }
  }
  if (words.contains("round")) edit.SetRoundMode(TRoundMode::rmRound);
  if (words.contains("up")) edit.SetRoundMode(TRoundMode::rmUp);
  edit.SetComma(words.contains("comma"));
  edit.SetFixed(words.contains("fixed"));
  edit.SetZeroVisible(!words.contains("nozero"));
  if (words.contains("hex")) edit.SetNumberType(TNumberType::ntHex);
  if (words.contains("maxonly")) edit.SetLimitOptions(loMax);
  edit.SetWrap(words.contains("wrap"));
}

// An active window holding the edit (focused) and a second edit to take the focus.
struct Form {
  QWidget window;
  TUpdownNumberEdit* edit = new TUpdownNumberEdit(&window);
  QLineEdit* other = new QLineEdit(&window);

  explicit Form(const QString& settings = {}) {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(edit);
    layout->addWidget(other);
    Configure(*edit, settings);
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    edit->setFocus();
  }
  void Click(const QString& button) {
    QTest::mouseClick(edit->UpDown()->findChild<QToolButton*>(button), Qt::LeftButton);
  }
  // One step of a table row: "type:KEYS", "paste:TEXT" (Ctrl+V), "shift+insert:TEXT",
  // "menu paste:TEXT", "key up", "key down", "button up", "button down", "set:VALUE", "leave".
  void Do(const QString& step) {
    const QString arg = step.section(u':', 1);
    if (step.contains("paste:") || step.startsWith("shift+insert:")) {
      QApplication::clipboard()->setText(arg);
    }
    if (step.startsWith("type:")) QTest::keyClicks(edit, arg);
    if (step.startsWith("paste:")) QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    if (step.startsWith("shift+insert:")) QTest::keyClick(edit, Qt::Key_Insert, Qt::ShiftModifier);
    if (step.startsWith("menu paste:")) {
      const std::unique_ptr<QMenu> menu(edit->CreateContextMenu());
      if (auto* action = menu->findChild<QAction*>("edit-paste")) action->trigger();
    }
    if (step.startsWith("key ")) {
      QTest::keyClick(edit, step == "key up" ? Qt::Key_Up : Qt::Key_Down);
    }
    if (step.startsWith("button ")) Click(step.mid(7));
    if (step.startsWith("set:")) edit->SetValue(arg.toDouble());
    if (step == "leave") other->setFocus();
  }
};

// A row of the edit table (a function, so that a row stays on one line).
void EditRow(const char* name, const char* settings, const char* start, const char* steps,
             const char* text, double value) {
  QTest::newRow(name) << QString(settings) << QString(start) << QString(steps) << QString(text)
                      << value;
}

}  // namespace

class NumberEditTest : public QObject {
  Q_OBJECT

 private slots:
  void defaultsAndLimits() {
    TNumberEdit edit;
    QCOMPARE(edit.text(), QString("0"));
    QCOMPARE(edit.alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    QVERIFY(!edit.testAttribute(Qt::WA_InputMethodEnabled));
    QVERIFY(!edit.AllowKeys() && TUpdownNumberEdit().AllowKeys());
    edit.SetLimit(true);
    edit.SetMin(10);
    QCOMPARE(double(edit.Max()), 10.0);
    edit.SetMax(5);
    QCOMPARE(double(edit.Min()), 5.0);
  }

  // The edit starts with a text ("|" the caret, at the end without one; "[...]" all selected),
  // takes the steps and ends with a text and value.
  void edit_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("steps");  // joined by ", "
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    EditRow("wrap up at 72", "16..72 wrap", "72", "key up", "16", 16.);
    EditRow("wrap down at 16", "16..72 wrap", "16", "key down", "72", 72.);
    EditRow("no wrap stops at 72", "16..72", "72", "key up", "72", 72.);
    EditRow("wrap needs both limits", "16..72 wrap maxonly", "72", "key up", "72", 72.);
    EditRow("no lower limit", "16..72 maxonly", "16", "key down", "15", 15.);
    EditRow("button up on 72 stays", "16..72 wrap", "72", "button up", "72", 72.);
    EditRow("button down on 16", "16..72 wrap", "16", "button down", "16", 16.);
    EditRow("button up on 20", "16..72", "20", "button up", "21", 21.);
    EditRow("150 into 0..99", "0..99", "", "type:150", "150", 99.);
    EditRow("150 into 0..99, leave", "0..99", "", "type:150, leave", "99", 99.);
    EditRow("minus before 12", "", "|12", "type:-", "-12", -12.);
    EditRow("minus inside 12", "", "1|2", "type:-", "-12", -12.);
    EditRow("minus twice", "", "12", "type:--", "12", 12.);
    EditRow("plus turns minus", "", "-12", "type:+", "+12", 12.);
    EditRow("plus removes plus", "", "+12", "type:+", "12", 12.);
    EditRow("backspace over separator", "comma", "1,|234", "type:\b", "234", 234.);
    EditRow("minus over selection", "", "[12]", "type:-", "-", 0.);
    EditRow("letters dropped", "", "", "type:1a2b", "12", 12.);
    EditRow("second point refused", "", "", "type:1.2.3", "1.23", 1.23);
    EditRow("three whole digits", "max=3", "", "type:1234.5", "123.5", 123.5);
    EditRow("comma groups", "comma", "", "type:12345", "12,345", 12345.);
    EditRow("hex digits", "hex", "", "type:1fz.", "1f", 31.);
    EditRow("hex minus refused", "hex", "1F", "type:-", "1F", 31.);
    EditRow("paste 1a2b3", "", "", "paste:1a2b3", "123", 123.);
    EditRow("paste leading sign", "", "", "paste:-12", "-12", -12.);
    EditRow("paste sign after 5", "", "5", "paste:-12", "512", 512.);
    EditRow("paste before sign", "", "|-5", "paste:3", "-5", -5.);
    EditRow("paste second point", "", "2.5", "paste:1.5", "2.515", 2.515);
    EditRow("shift+insert", "", "", "shift+insert:7x", "7", 7.);
    EditRow("menu paste", "", "[9]", "menu paste:8y", "8", 8.);
    EditRow("empty reads 0", "", "", "", "", 0.);
    EditRow("lone minus", "", "-", "", "-", 0.);
    EditRow("grouped", "", "1,234", "", "1,234", 1234.);
    EditRow("down 1.25", "fig=1", "1.25", "", "1.25", 1.2);
    EditRow("round 1.25", "fig=1 round", "1.25", "", "1.25", 1.3);
    EditRow("up 1.201", "fig=1 up", "1.201", "", "1.201", 1.3);
    EditRow("up 1.200", "fig=1 up", "1.200", "", "1.200", 1.2);
    EditRow("round carries 9.99", "fig=1 round", "9.99", "", "9.99", 10.);
    EditRow("up carries 9.91", "fig=1 up", "9.91", "", "9.91", 10.);
    EditRow("hex -1F", "hex", "-1F", "", "-1F", -31.);
    EditRow("show comma", "comma", "", "set:1234567", "1,234,567", 1234567.);
    EditRow("show fixed", "fig=2 fixed", "", "set:1.5", "1.50", 1.5);
    EditRow("show rounded", "fig=2 round", "", "set:1.235", "1.24", 1.24);
    EditRow("show a tenth", "", "", "set:0.1", "0.1", 0.1);
    EditRow("hide zero", "nozero", "", "set:0", "", 0.);
    EditRow("show hex", "hex fig=4", "", "set:255", "00FF", 255.);
    EditRow("show German", "comma de", "", "set:-1234.5", "-1.234,5", -1234.5);
  }
  void edit() {
    QFETCH(QString, settings);
    QFETCH(QString, start);
    QFETCH(QString, steps);
    QFETCH(QString, text);
    QFETCH(double, value);
    Form form(settings);
    const qsizetype caret = QString(start).remove(u'[').indexOf(u'|');
    form.edit->setText(QString(start).remove(u'|').remove(u'[').remove(u']'));
    if (caret >= 0) form.edit->setCursorPosition(int(caret));
    if (start.startsWith(u'[')) form.edit->selectAll();
    for (const QString& step : steps.split(", ", Qt::SkipEmptyParts)) form.Do(step);
    QCOMPARE(form.edit->text(), text);
    QCOMPARE(double(form.edit->Value()), value);
  }

  void intValue_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("12.7 cut") << "" << 12.7 << 12;
    QTest::newRow("12.7 rounded") << "round" << 12.7 << 13;
    QTest::newRow("beyond int") << "" << 5e9 << INT_MAX;
  }
  void intValue() {
    QFETCH(QString, settings);
    QFETCH(double, value);
    QFETCH(int, expected);
    TNumberEdit edit;
    Configure(edit, settings);
    edit.SetValue(value);
    QCOMPARE(edit.IntValue(), expected);
  }

  void events_data() {
    QTest::addColumn<bool>("buttons");  // visible
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("cancel");  // by OnUDClick
    QTest::newRow("button allowed") << true << "button up" << false;
    QTest::newRow("button cancelled") << true << "button up" << true;
    QTest::newRow("key allowed") << true << "key up" << false;
    QTest::newRow("key cancelled") << true << "key up" << true;
    QTest::newRow("key without buttons") << false << "key up" << false;
  }
  void events() {
    QFETCH(bool, buttons);
    QFETCH(QString, step);
    QFETCH(bool, cancel);
    Form form;
    TUpdownNumberEdit& edit = *form.edit;
    edit.SetVisibleUpdown(buttons);
    edit.SetIntValue(5);
    long double asked = 0, announced = 0;
    int changes = 0;
    edit.OnUDClick = [&](TUpdownNumberEdit&, bool& allow, TArrowKeyDirection, long double v) {
      asked = v;
      allow = !cancel;
    };
    edit.OnUDChanged = [&](TUpdownNumberEdit&) { ++changes; };
    edit.OnArrowKeyChange = [&](TNumberEdit&, TArrowKeyDirection, long double v) { announced = v; };
    form.Do(step);
    QCOMPARE(double(asked), buttons ? 6.0 : 0.0);
    QCOMPARE(double(announced), buttons ? 0.0 : 6.0);
    QCOMPARE(edit.IntValue(), cancel ? 5 : 6);
    QCOMPARE(changes, buttons && !cancel ? 1 : 0);
    QCOMPARE(edit.UserModified(), !cancel);
  }

  void enterPressesDefaultButton_data() {
    QTest::addColumn<bool>("embedded");  // inside a dialog without a default button
    QTest::newRow("the dialog's default button") << false;
    QTest::newRow("the outer dialog's default button") << true;
  }
  void enterPressesDefaultButton() {
    QFETCH(bool, embedded);
    QDialog dialog;
    auto* inner = new QDialog(&dialog, Qt::Widget);
    auto* edit = new TUpdownNumberEdit(embedded ? inner : static_cast<QWidget*>(&dialog));
    auto* ok = new QPushButton("OK", &dialog);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(inner);
    if (!embedded) layout->addWidget(edit);
    layout->addWidget(ok);
    ok->setDefault(true);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    edit->setFocus();
    QSignalSpy clicked(ok, &QPushButton::clicked);
    QTest::keyClicks(edit, "7");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(edit->IntValue(), 7);
  }

  void updownGeometry_data() {
    QTest::addColumn<Qt::Orientation>("orientation");
    QTest::addColumn<int>("extra");
    QTest::newRow("vertical") << Qt::Vertical << 0;
    QTest::newRow("horizontal") << Qt::Horizontal << 10;
  }
  void updownGeometry() {
    QFETCH(Qt::Orientation, orientation);
    QFETCH(int, extra);
    TUpdownNumberEdit edit;
    edit.SetOrientation(orientation);
    edit.show();  // a hidden widget gets its resize event only when shown
    edit.resize(80, 24);
    const int frame = edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &edit);
    const int w = edit.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &edit) + extra;
    QCOMPARE(edit.UpDown()->geometry(), QRect(80 - frame - w, frame, w, 24 - 2 * frame));
    QCOMPARE(edit.textMargins().right(), w + 2);
    edit.setEnabled(false);
    QVERIFY(!edit.UpDown()->isEnabled());
    edit.SetVisibleUpdown(false);
    QVERIFY(edit.UpDown()->isHidden());
    QCOMPARE(edit.textMargins().right(), 0);
  }
};

}  // namespace vexo

QTEST_MAIN(vexo::NumberEditTest)
#include "number_edit_test.moc"
