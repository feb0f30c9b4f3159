// The Qt front end of a conversion run: the run dialogs (run_dialogs.h) shown on the GUI thread
// while the run goes on beside the event loop.
#pragma once
#include <functional>

#include "app/front_end.h"

namespace vexo {

// Runs run(frontEnd) on a thread beside the Qt event loop, with the run dialogs as its front end,
// and returns when the run has ended and its report (if any) has been closed. Call it on the
// thread of the QApplication, which must exist. An exception thrown by run is rethrown here.
void RunWithDialogs(const std::function<void(RunFrontEnd&)>& run);

}  // namespace vexo
