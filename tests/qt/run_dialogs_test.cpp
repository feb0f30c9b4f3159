// The run dialogs driving real runs: each answer of the format selection and the overwrite
// confirmation, the stop button, and the report, checked in the files written and the report
// lines shown.
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <functional>
#include <stdexcept>

#include "app/command_line.h"
#include "app/ini_file.h"
#include "app/naming.h"
#include "app/pipeline.h"
#include "app/qt/application.h"
#include "app/qt/qt_front_end.h"
#include "app/qt/run_dialogs.h"
#include "core/bitmap.h"
#include "input/bmp.h"
#include "input/images.h"

namespace vexo {
namespace {

QByteArray smallBmp() {
  const auto bytes = EncodeBmp(Bitmap(2, 2, 24));
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

QByteArray readFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Answers the run's dialogs as they come up, from a timer on the GUI thread. An answer is the
// object name of a button, "enter", "esc" or "close" (the window's close).
class Answerer {
 public:
  QStringList select = {};  // format selections in turn, then "btnOk"
  QStringList comf = {};    // overwrite confirmations in turn, then "btnSkip"
  int format = kFormatPng;  // chosen in each selection before its answer
  std::function<void(QMessageBox&)> onQuestion = [](QMessageBox&) {};
  std::function<void()> onTick = [] {};

  int selects = 0, comfs = 0;
  QList<int> preselected;  // the format selected as each selection came up
  QStringList report, notes;
  bool enterClosedReport = false;

  Answerer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    timer_.start(10);
  }

 private:
  static void press(QDialog& dialog, const QString& answer) {
    QWidget* focus = dialog.focusWidget() ? dialog.focusWidget() : &dialog;
    if (answer == "enter")
      QTest::keyClick(focus, Qt::Key_Return);
    else if (answer == "esc")
      QTest::keyClick(focus, Qt::Key_Escape);
    else if (answer == "close")
      dialog.close();
    else
      dialog.findChild<QPushButton*>(answer)->click();
  }

  void tick() {
    onTick();
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* s = qobject_cast<TfrmSelect*>(modal)) {
      preselected << s->GetFormat();
      s->SetFormat(format);
      press(*s, selects < select.size() ? select[selects] : "btnOk");
      ++selects;
    } else if (auto* c = qobject_cast<TfrmComf*>(modal)) {
      press(*c, comfs < comf.size() ? comf[comfs] : "btnSkip");
      ++comfs;
    } else if (auto* r = qobject_cast<TfrmReport*>(modal)) {
      report = r->Lines();
      for (int i = 0; i < report.size(); ++i) notes << r->NoteAt(i);
      press(*r, "enter");
      enterClosedReport = !r->isVisible();
      if (!enterClosedReport) r->btnClose.click();
    } else if (auto* box = qobject_cast<QMessageBox*>(modal); box && box != question_) {
      question_ = box;
      onQuestion(*box);
    }
  }

  QTimer timer_;
  QPointer<QMessageBox> question_;
};

// Converts the files of dir with the dialogs as front end, the report on; wrap may put a front
// end of its own around the dialogs'.
void runDialogs(
    const QTemporaryDir& dir, const QStringList& names, int imageType,
    std::function<void(RunFrontEnd&, const std::function<void(RunFrontEnd&)>&)> wrap =
        [](RunFrontEnd& f, const std::function<void(RunFrontEnd&)>& run) { run(f); }) {
  TExtIniFile ini;
  ini.AutoUpdate = false;
  ini.WriteInteger("Options", "Same", kAsk);
  ini.WriteBool("Options", "UseOutput", false);
  RunSettings settings;
  settings.Report = true;
  settings.ImageType = imageType;
  FileList files;
  for (const auto& name : names) files.push_back(dir.filePath(name).toStdString());
  const TImages images;
  RunWithDialogs([&](RunFrontEnd& dialogs) {
    wrap(dialogs, [&](RunFrontEnd& f) { RunConversion(settings, files, ini, f, images); });
  });
}

// Whether the report says the file named output was written.
bool written(const QStringList& report, const QString& output) {
  for (const auto& line : report)
    if (line.startsWith("[O] ") && line.endsWith(" -> " + output)) return true;
  return false;
}

// Holds the run at the second file's Step until released, so that the stop question is open when
// the run gets there.
class HoldSecondStep : public RunFrontEnd {
 public:
  explicit HoldSecondStep(RunFrontEnd& inner) : inner_(inner) {}
  std::atomic<bool> holding = false;
  QSemaphore release;

  void Prepare(int count, bool hide) override { inner_.Prepare(count, hide); }
  void Show() override { inner_.Show(); }
  void Step(const std::string& path) override {
    if (++steps_ == 2) {
      holding = true;
      release.tryAcquire(1, 10000);
    }
    inner_.Step(path);
  }
  bool Stopped() const override { return inner_.Stopped(); }
  int AskFormat(const std::string& path, int& format) override {
    return inner_.AskFormat(path, format);
  }
  int AskOverwrite(const std::string& path) override { return inner_.AskOverwrite(path); }
  void Close() override { inner_.Close(); }
  void ShowReport(const std::vector<std::string>& lines) override { inner_.ShowReport(lines); }

 private:
  RunFrontEnd& inner_;
  int steps_ = 0;
};

}  // namespace

class RunDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { SetUpApplication(*qApp); }

  // a.bmp and b.bmp with the format asked: the first selection gets the row's answer.
  void selectAnswers_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("asked");
    QTest::addColumn<QStringList>("report");
    const QStringList both = {"[O] a.bmp -> a.png", "[O] b.bmp -> b.png"};
    QTest::newRow("OK asks again") << "btnOk" << 2 << both;
    QTest::newRow("Enter is OK") << "enter" << 2 << both;
    QTest::newRow("すべて applies to later files") << "btnAll" << 1 << both;
    QTest::newRow("スキップ leaves the file out")
        << "btnSkip" << 2 << QStringList{"[O] b.bmp -> b.png"};
    QTest::newRow("中止 ends the run") << "btnCancel" << 1 << QStringList{};
    QTest::newRow("Esc is 中止") << "esc" << 1 << QStringList{};
    QTest::newRow("closing the window is 中止") << "close" << 1 << QStringList{};
  }
  void selectAnswers() {
    QFETCH(QString, answer);
    QFETCH(int, asked);
    QFETCH(QStringList, report);
    QTemporaryDir dir;
    writeFile(dir.filePath("a.bmp"), smallBmp());
    writeFile(dir.filePath("b.bmp"), smallBmp());
    Answerer answers;
    answers.select = {answer};
    runDialogs(dir, {"a.bmp", "b.bmp"}, kFormatAsk);
    QCOMPARE(answers.selects, asked);
    QCOMPARE(answers.report, report);
    QVERIFY(answers.enterClosedReport);
    // The first file starts at the first format; later ones keep the last choice.
    QCOMPARE(answers.preselected.first(), 0);
    if (asked == 2) QCOMPARE(answers.preselected.last(), int{kFormatPng});
    for (const QString output : {"a.png", "b.png"})
      QCOMPARE(QFile::exists(dir.filePath(output)), written(report, output));
  }

  // a.bmp and b.bmp become PNG where a.png and b.png exist: the first question gets the row's
  // answer, a second one スキップ.
  void overwriteAnswers_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("asked");
    QTest::addColumn<QStringList>("report");
    const QStringList skipped = {"[S] a.bmp", "[S] b.bmp"};
    QTest::newRow("別名保存") << "btnRename" << 2
                              << QStringList{"[O] a.bmp -> a_1.png", "[S] b.bmp"};
    QTest::newRow("Enter is 別名保存")
        << "enter" << 2 << QStringList{"[O] a.bmp -> a_1.png", "[S] b.bmp"};
    QTest::newRow("上書き") << "btnOverwrite" << 2
                            << QStringList{"[O] a.bmp -> a.png", "[S] b.bmp"};
    QTest::newRow("スキップ") << "btnSkip" << 2 << skipped;
    QTest::newRow("すべて別名 renames later files unasked")
        << "btnRenameAll" << 1 << QStringList{"[O] a.bmp -> a_1.png", "[O] b.bmp -> b_1.png"};
    QTest::newRow("すべて上書き overwrites later files unasked")
        << "btnOverAll" << 1 << QStringList{"[O] a.bmp -> a.png", "[O] b.bmp -> b.png"};
    QTest::newRow("Esc is スキップ") << "esc" << 2 << skipped;
    QTest::newRow("closing the window is スキップ") << "close" << 2 << skipped;
  }
  void overwriteAnswers() {
    QFETCH(QString, answer);
    QFETCH(int, asked);
    QFETCH(QStringList, report);
    QTemporaryDir dir;
    const QByteArray old = "old";
    for (const QString name : {"a", "b"}) {
      writeFile(dir.filePath(name + ".bmp"), smallBmp());
      writeFile(dir.filePath(name + ".png"), old);
    }
    Answerer answers;
    answers.comf = {answer};
    runDialogs(dir, {"a.bmp", "b.bmp"}, kFormatPng);
    QCOMPARE(answers.comfs, asked);
    QCOMPARE(answers.report, report);
    for (const QString name : {"a.png", "b.png"})
      QCOMPARE(readFile(dir.filePath(name)) != old, written(report, name));
    for (const QString name : {"a_1.png", "b_1.png"})
      QCOMPARE(QFile::exists(dir.filePath(name)), written(report, name));
  }

  // The stop button pressed just as the run reaches the second of three files: the run waits
  // for the answer there.
  void stopQuestion_data() {
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QStringList>("report");
    QTest::newRow("No goes on") << false
                                << QStringList{"[O] a.bmp -> a.png", "[O] b.bmp -> b.png",
                                               "[O] c.bmp -> c.png"};
    QTest::newRow("Yes stops before the next file") << true << QStringList{"[O] a.bmp -> a.png"};
  }
  void stopQuestion() {
    QFETCH(bool, yes);
    QFETCH(QStringList, report);
    QTemporaryDir dir;
    for (const QString name : {"a.bmp", "b.bmp", "c.bmp"})
      writeFile(dir.filePath(name), smallBmp());
    HoldSecondStep* hold = nullptr;
    bool pressed = false;
    Answerer answers;
    answers.onTick = [&] {
      if (!hold || !hold->holding || std::exchange(pressed, true)) return;
      for (QWidget* w : QApplication::topLevelWidgets()) {
        // Pressed from its own event, as the question's loop would block this timer.
        if (auto* conv = qobject_cast<TfrmConv*>(w))
          QTimer::singleShot(0, conv, [conv] { conv->btnStop.click(); });
      }
    };
    answers.onQuestion = [&](QMessageBox& box) {
      QCOMPARE(box.text(), QString("処理を中止してもよろしいですか？"));
      hold->release.release();  // the run goes to its Step while the question is open
      QTimer::singleShot(200, &box, [&box, yes] {
        box.button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
      });
    };
    runDialogs(dir, {"a.bmp", "b.bmp", "c.bmp"}, kFormatPng,
               [&](RunFrontEnd& dialogs, const std::function<void(RunFrontEnd&)>& run) {
                 HoldSecondStep held(dialogs);
                 hold = &held;
                 run(held);
                 hold = nullptr;
               });
    QVERIFY(pressed);
    QCOMPARE(answers.report, report);
    QCOMPARE(QFile::exists(dir.filePath("c.png")), !yes);
  }

  // A failed file's reason is shown beside its line; the lines read back as the run made them.
  void reportShowsReasons() {
    QTemporaryDir dir;
    writeFile(dir.filePath("a.bmp"), smallBmp());
    writeFile(dir.filePath("bad.jpg"), "not a JPEG at all");
    Answerer answers;
    runDialogs(dir, {"a.bmp", "bad.jpg"}, kFormatPng);
    QCOMPARE(answers.report, (QStringList{"[O] a.bmp -> a.png", "[X] bad.jpg"}));
    QCOMPARE(answers.notes.first(), QString());
    QVERIFY2(!answers.notes.last().isEmpty(), "no reason beside the failed file");
  }

  void fileNameShortened_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shown");
    QTest::newRow("fits: unchanged") << "/tmp/a.jpg"
                                     << "/tmp/a.jpg";
    const QString longName = QString(200, 'x') + ".jpg";
    QTest::newRow("very long name: the name alone") << "/home/user/photos/" + longName << longName;
  }
  void fileNameShortened() {
    QFETCH(QString, path);
    QFETCH(QString, shown);
    TfrmSelect select;
    select.SetFileName(path.toStdString());
    QCOMPARE(select.lblFileName.text(), shown);
  }

  // A plug-in that lacks GetPluginInfo ends the run before its first file, in a message box.
  void pluginWithoutItsFunctionsEndsTheRun() {
    QTemporaryDir dir, plugins;
    writeFile(dir.filePath("a.bmp"), smallBmp());
    const QString plugin = plugins.filePath("noinfo.spi");
    QVERIFY(QFile::copy(VEXO_TEST_SPI_DIR "/noinfo.spi", plugin));
    qputenv("SUSIE_PLUGIN_PATH", plugins.path().toUtf8());
    Answerer answers;
    QString shown;
    answers.onQuestion = [&](QMessageBox& box) {
      shown = box.text();
      QTimer::singleShot(0, &box, [&box] { box.accept(); });
    };
    runDialogs(dir, {"a.bmp"}, kFormatPng);
    qunsetenv("SUSIE_PLUGIN_PATH");
    QCOMPARE(shown, "GetPluginInfoは[" + plugin + "]では使えないSusie Plugin APIです");
    QVERIFY(answers.report.isEmpty());
    QVERIFY(!QFile::exists(dir.filePath("a.png")));
  }

  void exceptionOfTheRunIsRethrown() {
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, RunWithDialogs([](RunFrontEnd& f) {
                               f.Prepare(0, false);
                               throw std::runtime_error("broken");
                             }));
  }
};

}  // namespace vexo

QTEST_MAIN(vexo::RunDialogsTest)
#include "run_dialogs_test.moc"
