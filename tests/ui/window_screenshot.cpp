// Renders the main window with sample state to a PNG file, for the documentation:
//   window-screenshot FILE [status|setup]

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/main_window.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [status|setup]\n", argv[0]);
    return 2;
  }
  if (std::getenv("QT_QPA_PLATFORM") == nullptr)
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Драйвер NT417"));

  drvnt::TForm1 window;
  window.SetTrayMode(false);
  window.ShowStartTime("12.03.2024 10:15:02");
  window.ShowClosePassword("48213");
  window.SetV7RowVisible(true);
  window.PaintGlyph(drvnt::LinkGlyph::Receiver, true, 3);
  window.PaintGlyph(drvnt::LinkGlyph::V8, true, 9);
  window.PaintGlyph(drvnt::LinkGlyph::V7, false, 14);
  window.AppendLogLine("12.03.2024 10:15:02 Соединение...");
  window.AppendLogLine("12.03.2024 10:15:02 Соединение установлено.");
  window.AppendLogLine("12.03.2024 10:41:37 Сервер дал команду на рассоединение.");
  window.AppendLogLine("12.03.2024 10:41:43 Соединение...");
  window.ShowPortControls({"COM3", {"COM1", "COM3", "COM4"}, true, "Запустить"});
  if (argc > 2 && std::strcmp(argv[2], "setup") == 0)
    window.AdvGlowButton47Click();

  window.show();
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
