// The Qt application of the dialogs: Japanese interface whatever the locale, the dialog font and
// the program icon.
#pragma once
#include <QApplication>

namespace vexo {

// True when there is a screen to show dialogs on: an X or Wayland display, or a Qt platform set
// explicitly (QT_QPA_PLATFORM, as the tests' offscreen platform).
bool DisplayAvailable();

class Application {
 public:
  Application(int& argc, char** argv);
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  QApplication& qt() { return app_; }

 private:
  QApplication app_;
};

// Sets up an existing QApplication as Application does (for the tests' QTEST_MAIN).
void SetUpApplication(QApplication& app);

}  // namespace vexo
