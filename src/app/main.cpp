// The program entry: the engine on the Qt event loop, behind the operator window when a display
// can be opened, else behind the headless front end (standard output and error only, no widget).
// The driver takes no command-line arguments; its configuration is "drvnt417.ini" in the current
// directory.

#include <QApplication>
#include <QCoreApplication>
#include <csignal>
#include <iostream>

#include "app/driver.h"
#include "app/headless_ui.h"
#include "app/service_heartbeat.h"
#include "platform/files.h"
#include "platform/qt/display_probe.h"
#include "platform/qt/qt_event_loop.h"
#include "platform/termination_signals.h"
#include "ui/access_dialog.h"
#include "ui/main_window.h"
#include "ui/message_window.h"

namespace {

const char* const kApplicationTitle = "Драйвер NT417";

// Runs the engine until the front end's close request lets it end, then shuts it down in order.
int RunEngine(drvnt::EventLoop& loop, drvnt::Driver& driver) {
  const auto termination = drvnt::WatchTerminationSignals(loop, [&] { driver.CloseBySignal(); });
  drvnt::ServiceHeartbeat heartbeat(loop, drvnt::ServiceNotifierFromEnvironment());
  driver.Start();
  heartbeat.Ready();
  const int rc = QCoreApplication::exec();
  heartbeat.Stopping();
  driver.Shutdown();
  return rc;
}

int RunWindowed(int argc, char** argv) {
  QApplication app(argc, argv);
  // The title of the task-bar button. No display name: Qt would append it to every window title.
  QApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
  // The window may close while hidden in the tray; the program ends when the main window has
  // closed, never when a dialog does.
  QApplication::setQuitOnLastWindowClosed(false);

  drvnt::QtEventLoop loop;
  drvnt::TForm1 window;
  drvnt::TForm2 accessDialog;
  drvnt::Tadvsm messageWindow;
  window.SetAccessDialog(&accessDialog);
  window.SetMessageWindow(&messageWindow);

  drvnt::Driver driver({loop, drvnt::SystemClock(), window, drvnt::SystemSpoolDir(),
                        drvnt::CurrentDirectory(), nullptr, nullptr});
  window.SetCloseRequestHandler([&] { return driver.CloseRequest(); });
  window.SetClosedHandler([] { QCoreApplication::quit(); });
  window.SetPortActions(drvnt::PortActionsFor(driver.Ports()));
  window.show();
  return RunEngine(loop, driver);
}

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));

  drvnt::QtEventLoop loop;
  drvnt::HeadlessUi ui(std::cerr);
  drvnt::Driver driver({loop, drvnt::SystemClock(), ui, drvnt::SystemSpoolDir(),
                        drvnt::CurrentDirectory(), nullptr, nullptr});
  ui.SetCloseRequestHandler([&] {
    if (driver.CloseRequest())
      QCoreApplication::quit();
  });
  return RunEngine(loop, driver);
}

}  // namespace

int main(int argc, char** argv) {
  // A peer that closes its connection must never end the process through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit (a service's LimitFSIZE, prlimit) must fail a spool or log write with an
  // error the driver reports, never end the process through SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);
  const drvnt::DisplayProbe display = drvnt::ProbeDisplay(argc, argv);
  if (display.available)
    return RunWindowed(argc, argv);
  std::cout << display.reason << ": running without a window" << std::endl;
  return RunHeadless(argc, argv);
}
