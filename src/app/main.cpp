// The program entry: the application, the engine, and its three windows on the Qt event loop. The
// driver takes no command-line arguments; its configuration is "drvnt417.ini" in the current
// directory. Without a display it runs on the offscreen platform with the same console output.

#include <QApplication>
#include <csignal>

#include "app/driver.h"
#include "platform/files.h"
#include "platform/qt/qt_event_loop.h"
#include "platform/termination_signals.h"
#include "ui/access_dialog.h"
#include "ui/main_window.h"
#include "ui/message_window.h"

int main(int argc, char** argv) {
  // A peer that closes its connection must never end the process through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Драйвер NT417"));
  QApplication::setApplicationDisplayName(QStringLiteral("Драйвер NT417"));
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
  const auto termination = drvnt::WatchTerminationSignals(loop, [&] { driver.CloseBySignal(); });

  driver.Start();
  window.show();
  const int rc = QApplication::exec();
  driver.Shutdown();
  return rc;
}
