#include "app/qt/application.h"

#include <QFont>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdlib>

// The resources live in a static library, so they are registered by hand (outside any
// namespace, as the macro needs).
static void initResources() {
  Q_INIT_RESOURCE(vexo_qt);
}

namespace vexo {

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

void SetUpApplication(QApplication& app) {
  initResources();
  app.setApplicationName("Vexo");
  app.setApplicationDisplayName("Vexo");
  app.setApplicationVersion(VEXO_VERSION);
  app.setDesktopFileName("vexo");
  // The program ends when its run or dialog is done, not when a window closes: closing the
  // progress window (or a question, when it was the only window) must not end the event loops
  // that the next question and the report run in.
  QApplication::setQuitOnLastWindowClosed(false);
  QIcon icon;
  for (int size : {16, 32, 64, 256}) icon.addFile(QString(":/vexo/vexo-%1.png").arg(size));
  app.setWindowIcon(icon);

  // Japanese whatever the locale: the dialogs' own texts are Japanese, and Qt's (file dialog,
  // standard buttons) come from its Japanese translation.
  QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  auto* translator = new QTranslator(&app);
  if (translator->load("qtbase_ja", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(translator);

  // A sans-serif face with Japanese glyphs at 11 pixels, the size the dialogs are laid out for.
  QFont font;
  font.setFamilies(
      {"VL PGothic", "VL Gothic", "Noto Sans CJK JP", "IPAPGothic", "IPAGothic", "Sans Serif"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  QApplication::setFont(font);
}

Application::Application(int& argc, char** argv) : app_(argc, argv) {
  SetUpApplication(app_);
}

}  // namespace vexo
