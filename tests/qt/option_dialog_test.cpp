// The options dialog against a real Vexo.ini: each key loads into its control and is saved back,
// a whole file survives a round trip, and the enabling and coupling rules hold.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "app/ini_file.h"
#include "app/options/color_box.h"
#include "app/options/number_edit.h"
#include "app/options/option_dialog.h"
#include "app/qt/application.h"

using vexo::TfrmOption;

namespace {

// The settings folder is named after the program.
constexpr const char* kProgram = "qt_option_dialog_test";

// The settings file the dialog uses, below a fresh XDG_CONFIG_HOME.
class Settings {
 public:
  Settings() {
    qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
    path_ = dir_.path() + "/" + kProgram + "/Vexo.ini";
  }
  void write(const QByteArray& text) {
    QDir().mkpath(QFileInfo(path_).path());
    QFile file(path_);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
  }
  QByteArray read() const {
    QFile file(path_);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  // The value of a key as the file holds it.
  QString value(const char* section, const char* key) const {
    vexo::TExtIniFile ini(kProgram);
    ini.SetDefaultFolder(vexo::TDefaultFolder::dfAppData);
    ini.SetFileName("Vexo.ini");
    return QString::fromStdString(ini.ReadString(section, key, "(missing)"));
  }

 private:
  QTemporaryDir dir_;
  QString path_;
};

QWidget* control(TfrmOption& dialog, const QString& name) {
  QWidget* w = dialog.findChild<QWidget*>(name);
  if (!w) qWarning("no control %s", qPrintable(name));
  return w;
}

// A control's state as text: check boxes and radios 1/0, lists and radio groups their item
// index, numeric edits their value, colour lists the colour in hex, edits their text.
QString state(TfrmOption& dialog, const QString& name) {
  QWidget* w = control(dialog, name);
  if (auto* colors = qobject_cast<vexo::TColorBox*>(w))
    return QString::number(colors->Selected(), 16);
  if (auto* combo = qobject_cast<QComboBox*>(w))
    return combo->isEditable() ? combo->currentText() : QString::number(combo->currentIndex());
  if (auto* number = qobject_cast<vexo::TNumberEdit*>(w))
    return QString::number(number->IntValue());
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
  if (auto* box = qobject_cast<QAbstractButton*>(w)) return box->isChecked() ? "1" : "0";
  if (auto* group = w ? w->findChild<QButtonGroup*>() : nullptr)
    return QString::number(group->checkedId());
  return "?";
}

void clickSet(TfrmOption& dialog) {
  QTest::mouseClick(dialog.findChild<QPushButton*>("btnSet"), Qt::LeftButton);
}

}  // namespace

class OptionDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { vexo::SetUpApplication(*qApp); }

  // One key at a time: loaded into its control, then saved (the stored form may be normalised).
  void keyMapsToControl_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("saved");
    auto row = [](const char* section, const char* key, const char* stored, const char* name,
                  const char* shown, const char* saved) {
      QTest::addRow("%s %s=%s", section, key, stored)
          << section << key << stored << name << shown << saved;
    };
    row("Options", "UseOutput", "1", "rdoUserFolder", "1", "1");
    row("Options", "UseOutput", "0", "rdoSameFolder", "1", "0");
    row("Options", "Output", "/srv/out", "cmbOutFolder", "/srv/out", "/srv/out");
    row("Options", "Same", "2", "rdgSameFile", "2", "2");
    row("Options", "ImageType", "7", "rdgImageType", "7", "7");
    row("Options", "ImageType", "3", "rdgImageType", "3", "3");
    row("Options", "Susie", "1", "chkUsePlugin", "1", "1");
    row("Options", "Plugin", "/opt/spi", "edtPluginPath", "/opt/spi", "/opt/spi");
    row("Options", "ShowDlg", "1", "chkBeforeOpen", "1", "1");
    row("Options", "Report", "true", "chkAfterOpen", "1", "1");
    row("Options", "HideProgress", "1", "chkHideProgress", "1", "1");
    row("Options", "ChangeSize", "1", "chkSizeChange", "1", "1");
    row("Options", "MaxSize", "2", "cmbSizeBase", "2", "2");
    row("Options", "Size", "1600", "edtMaxSize", "1600", "1600");
    row("Options", "Size", "0", "edtMaxSize", "1", "1");
    row("Options", "SizeUnit", "0", "cmbSizeUnit", "0", "0");
    row("Options", "Rotate", "1", "chkRotate", "1", "1");
    row("Options", "Angle", "180", "rdoAngle180", "1", "180");
    row("Options", "Angle", "270", "rdoAngle270", "1", "270");
    row("Options", "Angle", "45", "rdoAngle90", "0", "45");
    row("Options", "Mirror", "1", "chkMirror", "1", "1");
    row("Options", "Flip", "1", "chkFlip", "1", "1");
    row("Jpeg", "Compress", "75", "edtCompressRatio", "25", "75");
    row("Jpeg", "Compress", "100", "edtCompressRatio", "0", "100");
    row("Jpeg", "Compress", "1", "tbrCompressRatio", "?", "1");
    row("Jpeg", "Sampling", "2", "rdgSubSampleRatio", "2", "2");
    row("Jpeg", "Xden", "300", "edtResoX", "300", "300");
    row("Jpeg", "Yden", "65535", "edtResoY", "65535", "65535");
    row("Jpeg", "Unit", "2", "cmbResoUnit", "2", "2");
    row("Jpeg", "Gray", "1", "chkJpegGrayscale", "1", "1");
    row("Jpeg", "Exif", "1", "chkJpegExif", "1", "1");
    row("Jpeg", "ExifThumb", "1", "chkJpegIncThumb", "1", "1");
    row("Jpeg", "Interval", "16", "edtJpegRestart", "16", "16");
    row("Jpeg", "Comment", "a=b c", "edtJpegComment", "a=b c", "a=b c");
    row("BMP", "Color", "8", "cmbBmpColor", "3", "8");
    row("BMP", "Color", "32", "cmbBmpColor", "7", "32");
    row("BMP", "Color", "12", "cmbBmpColor", "7", "32");
    row("BMP", "Error", "1", "chkBmpError", "1", "1");
    row("BMP", "Mono", "1", "chkBmpMono", "1", "1");
    row("PNG", "Compress", "3", "rdgPngCompress", "3", "3");
    row("PNG", "Color", "15", "cmbPngColor", "4", "15");
    row("PNG", "Color", "32", "cmbPngColor", "6", "24");
    row("PNG", "Error", "1", "chkPngUseError", "1", "1");
    row("PNG", "Gray", "1", "chkPngGrayscale", "1", "1");
    row("PNG", "UseTrans", "1", "chkPngTrans", "1", "1");
    row("PNG", "TransColor", "$000000FF", "cmbPngTransColor", "ff", "$000000FF");
    row("PNG", "FilterVal", "10", "chkPngFilterSub", "1", "10");
    row("PNG", "FilterVal", "10", "chkPngFilterUp", "0", "10");
    row("PNG", "FilterVal", "17", "chkPngFilterPaeth", "1", "17");
    row("PNG", "Interlace", "1", "chkPngInteres", "1", "1");
    row("PNG", "UseText", "1", "chkPngUseComment", "1", "1");
    row("PNG", "Text", "日本語", "edtPngComment", "日本語", "日本語");
    row("GIF", "Palette", "6", "cmbGifReduct", "6", "6");
    row("GIF", "Color", "2", "cmbGifColor", "2", "2");
    row("GIF", "Dither", "0", "rdoGifError", "1", "0");
    row("GIF", "Dither", "1", "rdoGifNearest", "1", "1");
    row("GIF", "Error", "3", "cmbGifErrorType", "3", "3");
    row("GIF", "UseTrans", "1", "chkGifTrans", "1", "1");
    row("GIF", "TransColor", "$00FFFFFF", "cmbGifTransColor", "ffffff", "$00FFFFFF");
    row("GIF", "Compress", "1", "rdgGifCompress", "1", "1");
    row("WMF", "Create", "me", "edtCreate", "me", "me");
    row("WMF", "Text", "desc", "edtDesc", "desc", "desc");
    row("ICO", "SizeIndex", "4", "cmbIconSize", "4", "4");
    row("ICO", "Size", "48", "edtIconSize", "48", "48");
    row("ICO", "Size", "99", "edtIconSize", "72", "72");
    row("ICO", "Colors", "5", "cmbIconColors", "5", "5");
    row("ICO", "ColorCount", "100", "edtIconColors", "100", "100");
    row("ICO", "Trans", "1", "chkIconTrans", "1", "1");
    row("ICO", "TransColor", "$80000005", "cmbIconTransColor", "80000005", "$80000005");
    row("ICO", "Stretch", "1", "chkIconStretch", "1", "1");
  }
  void keyMapsToControl() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(QString, control);
    QFETCH(QString, shown);
    QFETCH(QString, saved);
    Settings settings;
    settings.write(QString("[%1]\r\n%2=%3\r\n").arg(section, key, stored).toUtf8());
    {
      TfrmOption dialog;
      if (shown != "?") QCOMPARE(state(dialog, control), shown);
      clickSet(dialog);
      QCOMPARE(dialog.result(), int(vexo::kOptionSet));
    }
    QCOMPARE(settings.value(qPrintable(section), qPrintable(key)), saved);
  }

  // A file the dialog wrote comes back from loading and saving unchanged.
  void roundTripChangesNothing() {
    Settings settings;
    settings.write(
        "[Options]\r\nUseOutput=1\r\nOutput=/srv/b\r\nSame=0\r\nImageType=3\r\nSusie=1\r\n"
        "Plugin=/opt/spi\r\nShowDlg=1\r\nReport=1\r\nHideProgress=1\r\nChangeSize=1\r\n"
        "MaxSize=1\r\nSize=640\r\nSizeUnit=0\r\nRotate=1\r\nAngle=270\r\nMirror=1\r\nFlip=1\r\n\r\n"
        "[History]\r\nOut=LIST\r\nOut.count=2\r\nOut.0=/srv/b\r\nOut.1=/srv/a\r\n\r\n"
        "[Jpeg]\r\nCompress=60\r\nSampling=1\r\nXden=72\r\nYden=96\r\nUnit=1\r\nGray=1\r\n"
        "Exif=1\r\nExifThumb=1\r\nInterval=8\r\nComment=hello\r\n\r\n"
        "[BMP]\r\nColor=16\r\nError=0\r\nMono=1\r\n\r\n"
        "[PNG]\r\nCompress=2\r\nColor=4\r\nError=1\r\nGray=1\r\nUseTrans=1\r\n"
        "TransColor=$00C0DCC0\r\nFilterVal=21\r\nInterlace=1\r\nUseText=1\r\nText=t\r\n\r\n"
        "[GIF]\r\nPalette=6\r\nColor=3\r\nDither=0\r\nError=5\r\nUseTrans=1\r\n"
        "TransColor=$20000000\r\nCompress=1\r\n\r\n"
        "[WMF]\r\nCreate=me\r\nText=desc\r\n\r\n"
        "[ICO]\r\nSizeIndex=4\r\nSize=64\r\nColors=5\r\nColorCount=77\r\nTrans=1\r\n"
        "TransColor=$00123456\r\nStretch=1\r\n\r\n");
    const QByteArray before = settings.read();
    {
      TfrmOption dialog;
      clickSet(dialog);
    }
    const QByteArray after = settings.read();
    QCOMPARE(after.left(after.indexOf("[Restore]")), before);
    QVERIFY(after.contains("frmOption=FORM\r\n"));
  }

  // What each enabling rule greys out, and what an action brings back.
  void enablingRules_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("after");
    auto row = [](const char* name, const char* action, const char* target, bool before,
                  bool after) { QTest::newRow(name) << action << target << before << after; };
    row("user folder enables the folder list", "click rdoUserFolder", "cmbOutFolder", false, true);
    row("user folder enables browsing", "click rdoUserFolder", "btnRefOut", false, true);
    row("resizing enables the size edit", "click chkSizeChange", "edtMaxSize", false, true);
    row("resizing enables the unit list", "click chkSizeChange", "cmbSizeUnit", false, true);
    row("rotation enables the angles", "click chkRotate", "rdoAngle270", false, true);
    row("Exif enables the thumbnail", "click chkJpegExif", "chkJpegIncThumb", false, true);
    row("15 bits disable diffusion", "select cmbBmpColor 4", "chkBmpError", true, false);
    row("8 bits keep diffusion", "select cmbBmpColor 3", "chkBmpError", true, true);
    row("PNG transparency enables its colour", "click chkPngTrans", "cmbPngTransColor", false,
        true);
    row("PNG comment enables its edit", "click chkPngUseComment", "edtPngComment", false, true);
    row("optimised palette enables the count", "select cmbGifReduct 6", "cmbGifColor", false, true);
    row("web palette keeps the count off", "select cmbGifReduct 5", "cmbGifColor", false, false);
    row("diffusion enables the kernels", "click rdoGifError", "cmbGifErrorType", false, true);
    row("GIF transparency enables its colour", "click chkGifTrans", "cmbGifTransColor", false,
        true);
    row("given icon size enables its edit", "select cmbIconSize 4", "edtIconSize", false, true);
    row("given colour count enables its edit", "select cmbIconColors 5", "edtIconColors", false,
        true);
    row("icon transparency enables its colour", "click chkIconTrans", "cmbIconTransColor", false,
        true);
  }
  void enablingRules() {
    QFETCH(QString, action);
    QFETCH(QString, target);
    QFETCH(bool, before);
    QFETCH(bool, after);
    Settings settings;
    TfrmOption dialog;
    dialog.show();
    QCOMPARE(control(dialog, target)->isEnabled(), before);
    const QStringList words = action.split(' ');
    if (words[0] == "click") {
      auto* button = qobject_cast<QAbstractButton*>(control(dialog, words[1]));
      button->click();
    } else {
      auto* combo = qobject_cast<QComboBox*>(control(dialog, words[1]));
      combo->setCurrentIndex(words[2].toInt());
      emit combo->activated(words[2].toInt());
    }
    QCOMPARE(control(dialog, target)->isEnabled(), after);
  }

  // Exif needs 4:2:2: a stored Exif forces it, and leaving 4:2:2 drops Exif.
  void exifAndSampling() {
    Settings settings;
    settings.write("[Jpeg]\r\nExif=1\r\nSampling=0\r\n");
    {
      TfrmOption dialog;
      QCOMPARE(state(dialog, "rdgSubSampleRatio"), QString("1"));
      auto* sampling = dialog.findChild<QGroupBox*>("rdgSubSampleRatio");
      sampling->findChildren<QAbstractButton*>()[2]->click();  // ４：４：４
      QCOMPARE(state(dialog, "chkJpegExif"), QString("0"));
      QVERIFY(!control(dialog, "chkJpegIncThumb")->isEnabled());
      qobject_cast<QAbstractButton*>(control(dialog, "chkJpegExif"))->click();
      QCOMPARE(state(dialog, "rdgSubSampleRatio"), QString("1"));
      clickSet(dialog);
    }
    QCOMPARE(settings.value("Jpeg", "Sampling"), QString("1"));
  }

  void compressRatioFollowsTrackBar() {
    Settings settings;
    TfrmOption dialog;
    auto* bar = dialog.findChild<QSlider*>("tbrCompressRatio");
    auto* edit = dialog.findChild<vexo::TNumberEdit*>("edtCompressRatio");
    bar->setValue(40);
    QCOMPARE(edit->IntValue(), 40);
    edit->SetIntValue(7);
    QCOMPARE(bar->value(), 7);
  }

  // The folder just saved goes to the top of the history, once; at most five are kept.
  void folderHistory_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("saved");
    QTest::newRow("third entry moves to the top") << "a b C"
                                                  << "c"
                                                  << "C a b";
    QTest::newRow("top entry stays") << "a b"
                                     << "a"
                                     << "a b";
    QTest::newRow("new folder goes first") << "a b"
                                           << "n"
                                           << "n a b";
    QTest::newRow("sixth folder pushes the oldest out") << "a b c d e"
                                                        << "n"
                                                        << "n a b c d";
  }
  void folderHistory() {
    QFETCH(QString, stored);
    QFETCH(QString, output);
    QFETCH(QString, saved);
    const QStringList items = stored.split(' ');
    QByteArray text = "[Options]\r\nUseOutput=1\r\nOutput=" + output.toUtf8() +
                      "\r\n[History]\r\nOut=LIST\r\nOut.count=" + QByteArray::number(items.size()) +
                      "\r\n";
    for (int i = 0; i < items.size(); ++i)
      text += "Out." + QByteArray::number(i) + "=" + items[i].toUtf8() + "\r\n";
    Settings settings;
    settings.write(text);
    {
      TfrmOption dialog;
      clickSet(dialog);
    }
    vexo::TExtIniFile ini(kProgram);
    ini.SetDefaultFolder(vexo::TDefaultFolder::dfAppData);
    ini.SetFileName("Vexo.ini");
    std::vector<std::string> history;
    ini.ReadStrings("History", "Out", history);
    QStringList got;
    for (const auto& item : history) got << QString::fromStdString(item);
    QCOMPARE(got.join(' '), saved);
  }

  // Cancelling changes no setting; the placement is written either way and read back.
  void cancelKeepsSettingsAndPlacementIsRestored() {
    Settings settings;
    settings.write(
        "[Options]\r\nMirror=0\r\n[Restore]\r\nfrmOption.left=120\r\n"
        "frmOption.top=80\r\n");
    {
      TfrmOption dialog;
      QCOMPARE(dialog.pos(), QPoint(120, 80));
      qobject_cast<QAbstractButton*>(control(dialog, "chkMirror"))->click();
      QTest::mouseClick(dialog.findChild<QPushButton*>("btnCancel"), Qt::LeftButton);
      QCOMPARE(dialog.result(), int(vexo::kOptionCancel));
    }
    QCOMPARE(settings.value("Options", "Mirror"), QString("0"));
    QCOMPARE(settings.value("Restore", "frmOption.cwidth"), QString("445"));
    QCOMPARE(settings.value("Restore", "frmOption.left"), QString("120"));
  }

  // Qt's own texts are Japanese whatever the locale (the stop question's buttons, the file dialog).
  void qtTextsAreJapanese() {
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    QVERIFY2(box.button(QMessageBox::Yes)->text().contains("はい"),
             qPrintable(box.button(QMessageBox::Yes)->text()));
    QVERIFY(box.button(QMessageBox::No)->text().contains("いいえ"));
  }

  // The help button and the version page's link open the help file beside the program.
  void helpOpensTheHelpFile() {
    Settings settings;
    TfrmOption dialog;
    QStringList opened;
    dialog.OpenDocument = [&](const QString& path) { opened << path; };
    QTest::mouseClick(dialog.findChild<QPushButton*>("btnHelp"), Qt::LeftButton);
    const QString help = vexo::HelpFilePath();
    if (help.isEmpty()) {
      QVERIFY(opened.isEmpty());
      QSKIP("no help file beside the test program");
    }
    QCOMPARE(opened, QStringList{help});
    QVERIFY(help.endsWith("vexo.html"));
  }
};

QTEST_MAIN(OptionDialogTest)
#include "option_dialog_test.moc"
