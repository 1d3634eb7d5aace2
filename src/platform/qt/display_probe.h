#pragma once
// Whether this process can show a window: a display is named (DISPLAY, WAYLAND_DISPLAY, or a Qt
// platform chosen by QT_QPA_PLATFORM) and Qt can open it. Qt ends the process when its platform
// cannot start, so the opening is tried in a short-lived child process first; the caller then
// starts either the window or the headless front end. Run it before any thread is started.

#include <string>

namespace drvnt {

struct DisplayProbe {
  bool available = false;
  // Why there is no window, for the one line the program prints.
  std::string reason;
};

DisplayProbe ProbeDisplay(int argc, char** argv);

}  // namespace drvnt
