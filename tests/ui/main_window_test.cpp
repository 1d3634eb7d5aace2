// The main window as the operator meets it: layout, page buttons, glyphs, log box, tray menu,
// minimise and restore, the error report and the close request.

#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>
#include <sstream>
#include <string>
#include <vector>

#include "app/glyph.h"
#include "support/run_until.h"
#include "ui/access_dialog.h"
#include "ui/message_window.h"
#include "ui_test_util.h"

namespace drvnt {
namespace {

using testing::Find;
using testing::RunUntil;
using testing::WhenModal;

class MainWindowTest : public ::testing::Test {
 protected:
  TForm1 window;
};

struct Placement {
  const char* name;
  int left, top;      // in the parent's coordinates; -1: not checked
  int width, height;  // 0: fits its text, not checked
  const char* text;   // nullptr: no text to check
};

TEST_F(MainWindowTest, ControlsSitWhereTheOperatorExpectsThem) {
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Драйвер NT417P"));
  EXPECT_EQ(window.size(), QSize(447, 331));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());  // the border cannot be dragged

  const Placement placements[] = {
      {"CaptionBand", 0, 0, 447, 57, nullptr},
      {"CaptionText", -1, -1, 0, 0, "ЛМС Сайвер 2008 - Драйвер NT417"},
      {"PageBar", 0, 57, 447, 81, nullptr},
      {"AdvGlowButton28Bar", 3, 4, 76, 74, nullptr},
      {"AdvGlowButton28", 2, 2, 72, 54, nullptr},
      {"AdvGlowButton28Caption", -1, -1, 0, 0, "Состояние"},
      {"AdvGlowButton47Bar", 83, 4, 76, 74, nullptr},
      {"AdvGlowButton47", 2, 2, 72, 54, nullptr},
      {"AdvGlowButton47Caption", -1, -1, 0, 0, "Настройки"},
      {"Notebook1", 0, 138, 447, 193, nullptr},
      {"Label12", 8, 10, 0, 0, "Контроль связи со станцией"},
      {"Image2", 176, 8, 16, 16, nullptr},
      {"Label23", 256, 10, 0, 0, "Связь с сервером сообщений"},
      {"Image3", 416, 8, 16, 16, nullptr},
      {"Label1", 7, 37, 111, 0, "Дата и время запуска"},
      {"Label6", 124, 37, 0, 0, ""},
      {"Label13", 256, 37, 0, 0, "Связь с сервером сообщений"},
      {"Image1", 416, 35, 16, 16, nullptr},
      {"Label17", 7, 65, 0, 0, "Пароль для закрытия"},
      {"Label15", 124, 65, 0, 0, "Пароль"},
      {"Memo1", 7, 84, 432, 100, nullptr},
      {"GroupBox1", 9, 3, 428, 62, nullptr},
      {"AdvOfficeComboBox1", 18, 25, 103, 19, nullptr},
      {"AdvGlowButton2", 143, 22, 94, 25, "Остановить"},
      {"AdvGlowButton1", 243, 22, 170, 25, "Сканировать заново"},
  };
  for (const Placement& p : placements) {
    SCOPED_TRACE(p.name);
    QWidget* w = Find(window, p.name);
    ASSERT_NE(w, nullptr);
    if (p.left >= 0) {
      EXPECT_EQ(w->pos(), QPoint(p.left, p.top));
    }
    if (p.width > 0) {
      EXPECT_EQ(w->width(), p.width);
    }
    if (p.height > 0) {
      EXPECT_EQ(w->height(), p.height);
    }
    if (p.text == nullptr)
      continue;
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w))
      text = label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
      text = button->text();
    EXPECT_EQ(text, QString::fromUtf8(p.text));
  }
  // Each caption ends before the glyph of its row, and the right-aligned one keeps its first
  // letters.
  auto* label1 = Find<QLabel>(window, "Label1");
  EXPECT_LE(label1->sizeHint().width(), label1->width());
  EXPECT_LT(Find(window, "Label12")->geometry().right(), 176);
  EXPECT_LT(Find(window, "Label23")->geometry().right(), 416);
  EXPECT_LT(Find(window, "Label13")->geometry().right(), 416);
  EXPECT_EQ(Find<QGroupBox>(window, "GroupBox1")->title(), QStringLiteral("Com порт"));
  EXPECT_TRUE(Find<QLabel>(window, "Label1")->alignment() & Qt::AlignRight);

  auto* box = Find<QComboBox>(window, "AdvOfficeComboBox1");
  EXPECT_TRUE(box->isEditable());
  EXPECT_EQ(box->maxVisibleItems(), 8);
  EXPECT_FALSE(box->isEnabled());  // created in the running state
  EXPECT_FALSE(Find(window, "AdvGlowButton1")->isEnabled());
  EXPECT_TRUE(Find(window, "AdvGlowButton2")->isEnabled());

  auto* memo = Find<QPlainTextEdit>(window, "Memo1");
  EXPECT_TRUE(memo->isReadOnly());
}

TEST_F(MainWindowTest, PageButtonsSwitchPagesAndADownButtonStaysDown) {
  auto* status = Find<QToolButton>(window, "AdvGlowButton28");
  auto* setup = Find<QToolButton>(window, "AdvGlowButton47");
  auto* notebook = Find<QStackedWidget>(window, "Notebook1");
  ASSERT_EQ(window.ActivePageName(), QStringLiteral("Default"));
  ASSERT_TRUE(status->isChecked());

  struct Step {
    QToolButton* click;
    const char* page;
  };
  const Step steps[] = {{status, "Default"},
                        {setup, "setup"},
                        {setup, "setup"},
                        {status, "Default"},
                        {status, "Default"}};
  for (const Step& s : steps) {
    QTest::mouseClick(s.click, Qt::LeftButton);
    EXPECT_EQ(notebook->currentWidget()->objectName(), QString::fromLatin1(s.page));
    EXPECT_TRUE(s.click->isChecked());
    EXPECT_FALSE((s.click == status ? setup : status)->isChecked());
  }
}

TEST_F(MainWindowTest, V7RowShowsOnlyWhenTheLinkIsOn) {
  window.show();
  auto* label = Find(window, "Label13");
  auto* glyph = Find(window, "Image1");
  EXPECT_FALSE(label->isVisible());
  EXPECT_FALSE(glyph->isVisible());
  window.SetV7RowVisible(true);
  EXPECT_TRUE(label->isVisible());
  EXPECT_TRUE(glyph->isVisible());
  EXPECT_TRUE(Find(window, "Label23")->isVisible());
  EXPECT_TRUE(Find(window, "Image3")->isVisible());
  window.SetV7RowVisible(false);
  EXPECT_FALSE(label->isVisible());
  EXPECT_TRUE(Find(window, "Image3")->isVisible());  // the V8 row always shows
}

QImage Shown(const QLabel* glyph) {
  return glyph->pixmap().toImage();
}

TEST_F(MainWindowTest, PaintedGlyphShowsThePixelsAndUnpaintedOnesStayEmpty) {
  auto* receiver = Find<QLabel>(window, "Image2");
  auto* v7 = Find<QLabel>(window, "Image1");
  auto* v8 = Find<QLabel>(window, "Image3");
  for (const QLabel* glyph : {receiver, v7, v8})
    EXPECT_TRUE(glyph->pixmap().isNull());

  window.PaintGlyph(LinkGlyph::V8, true, 13);
  EXPECT_TRUE(receiver->pixmap().isNull());
  EXPECT_TRUE(v7->pixmap().isNull());
  const QImage image = Shown(v8).convertToFormat(QImage::Format_ARGB32);
  ASSERT_EQ(image.size(), QSize(16, 16));
  const GlyphPixels expected = PaintGlyphPixels(true, 13);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      ASSERT_EQ(image.pixel(x, y), GlyphPixel(expected, x, y)) << x << "," << y;
    }
  }

  window.PaintGlyph(LinkGlyph::Receiver, false, 0);
  window.PaintGlyph(LinkGlyph::V7, true, 4);
  EXPECT_EQ(Shown(receiver).pixel(2, 7), kGlyphRed);
  EXPECT_EQ(Shown(v7).pixel(6, 7), kGlyphGreen);
  EXPECT_EQ(Shown(v7).pixel(2, 7), kGlyphWhite);
}

TEST_F(MainWindowTest, StartUpFieldsAndLogLines) {
  window.ShowStartTime("12.03.2024 10:15:02");
  window.ShowClosePassword("48213");
  window.AppendLogLine("12.03.2024 10:15:03 Соединение...");
  window.AppendLogLine("12.03.2024 10:15:03 Соединение установлено.");
  EXPECT_EQ(Find<QLabel>(window, "Label6")->text(), QStringLiteral("12.03.2024 10:15:02"));
  EXPECT_EQ(Find<QLabel>(window, "Label15")->text(), QStringLiteral("48213"));
  EXPECT_EQ(Find<QPlainTextEdit>(window, "Memo1")->toPlainText(),
            QStringLiteral("12.03.2024 10:15:03 Соединение...\n"
                           "12.03.2024 10:15:03 Соединение установлено."));
}

TEST_F(MainWindowTest, TrayMenuRestoresOrAsksToClose) {
  auto* tray = Find<QSystemTrayIcon>(window, "RxTrayIcon1");
  EXPECT_EQ(tray->toolTip(), QStringLiteral("Драйвер NT417"));
  QMenu* menu = tray->contextMenu();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu->objectName(), QStringLiteral("AdvPopupMenu1"));
  const QList<QAction*> items = menu->actions();
  ASSERT_EQ(items.size(), 3);
  EXPECT_EQ(items[0]->objectName(), QStringLiteral("N4"));
  EXPECT_EQ(items[0]->text(), QStringLiteral("Восстановить"));
  EXPECT_TRUE(items[1]->isSeparator());
  EXPECT_EQ(items[2]->objectName(), QStringLiteral("N6"));
  EXPECT_EQ(items[2]->text(), QStringLiteral("Закрыть"));
  EXPECT_EQ(menu->defaultAction(), nullptr);

  int asked = 0;
  window.SetCloseRequestHandler([&] {
    ++asked;
    return false;
  });
  items[2]->trigger();
  EXPECT_EQ(asked, 1);
}

TEST_F(MainWindowTest, MinimiseHidesIntoTheTrayAndRestoreBringsThePageBack) {
  window.SetTrayMode(true);
  window.show();
  QTest::mouseClick(Find<QToolButton>(window, "AdvGlowButton47"), Qt::LeftButton);
  QTest::mouseClick(Find<QToolButton>(window, "MinimizeButton"), Qt::LeftButton);
  ASSERT_TRUE(RunUntil([&] { return window.isHidden(); }));

  Find<QAction>(window, "N4")->trigger();
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
  EXPECT_EQ(window.ActivePageName(), QStringLiteral("setup"));
}

TEST_F(MainWindowTest, WithoutATrayMinimiseLeavesANormalMinimisedWindow) {
  window.SetTrayMode(false);
  window.show();
  window.showMinimized();
  testing::RunFor(50);
  EXPECT_TRUE(window.isMinimized());
  EXPECT_FALSE(window.isHidden());
  EXPECT_FALSE(Find<QSystemTrayIcon>(window, "RxTrayIcon1")->isVisible());
}

enum class CloseSource { CaptionButton, TrayMenu, RequestClose, WindowClose };

struct CloseCase {
  const char* name;
  CloseSource source;
  bool allowed;
};

class CloseRequestTest : public MainWindowTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseRequestTest, EveryWayOfClosingAsksTheEngineFirst) {
  int asked = 0;
  int closed = 0;
  window.SetCloseRequestHandler([&] {
    ++asked;
    return GetParam().allowed;
  });
  window.SetClosedHandler([&] { ++closed; });
  window.show();

  switch (GetParam().source) {
    case CloseSource::CaptionButton:
      QTest::mouseClick(Find<QToolButton>(window, "CloseButton"), Qt::LeftButton);
      break;
    case CloseSource::TrayMenu:
      Find<QAction>(window, "N6")->trigger();
      break;
    case CloseSource::RequestClose:
      window.RequestClose();
      break;
    case CloseSource::WindowClose:
      window.close();
      break;
  }
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(window.isVisible(), !GetParam().allowed);
  EXPECT_EQ(closed, GetParam().allowed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CloseRequestTest,
    ::testing::Values(CloseCase{"CaptionButtonRefused", CloseSource::CaptionButton, false},
                      CloseCase{"CaptionButtonAllowed", CloseSource::CaptionButton, true},
                      CloseCase{"TrayMenuRefused", CloseSource::TrayMenu, false},
                      CloseCase{"TrayMenuAllowed", CloseSource::TrayMenu, true},
                      CloseCase{"RequestCloseAllowed", CloseSource::RequestClose, true},
                      CloseCase{"WindowCloseRefused", CloseSource::WindowClose, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, TrayCloseWhileHiddenShowsTheAccessDialogOnItsOwn) {
  TForm2 dialog;
  window.SetAccessDialog(&dialog);
  window.SetTrayMode(true);
  window.SetCloseRequestHandler([&] { return window.ShowAccessDialog("48213") == 1; });
  window.show();
  window.showMinimized();
  ASSERT_TRUE(RunUntil([&] { return window.isHidden(); }));

  bool dialogShown = false;
  WhenModal([&] {
    dialogShown = dialog.isVisible();
    Find<QPushButton>(dialog, "BitBtn2")->click();
  });
  Find<QAction>(window, "N6")->trigger();
  EXPECT_TRUE(dialogShown);
  EXPECT_TRUE(window.isHidden());  // cancelled: still in the tray, not closed
  EXPECT_FALSE(dialog.isVisible());
}

// SIGTERM (or the V7 server's close command) while the operator's own close request waits in
// the access dialog: the close that needs no password goes through at once. In the program the
// closed handler ends the event loop, which ends the dialog's loop too; here it cancels the dialog.
TEST_F(MainWindowTest, CloseWithoutPasswordWhileTheAccessDialogIsOpen) {
  TForm2 dialog;
  window.SetAccessDialog(&dialog);
  bool signalled = false;
  int closed = 0;
  window.SetCloseRequestHandler([&] { return signalled || window.ShowAccessDialog("48213") == 1; });
  window.SetClosedHandler([&] {
    ++closed;
    dialog.reject();
  });
  window.show();
  WhenModal([&] {
    signalled = true;
    window.RequestClose();
  });
  // Without the close going through, nothing would end the dialog.
  QTimer::singleShot(3000, &dialog, [&] { dialog.reject(); });
  Find<QToolButton>(window, "CloseButton")->click();
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(window.isHidden());
}

TEST_F(MainWindowTest, TheCaptionBandIsTheOnlyTitleBarAndTheTitleIsExact) {
  EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Драйвер NT417P"));
  EXPECT_TRUE(QGuiApplication::applicationDisplayName().isEmpty() ||
              QGuiApplication::applicationDisplayName() == QCoreApplication::applicationName())
      << "a display name would be appended to every window title";
}

TEST_F(MainWindowTest, MaximiseButtonMaximisesAndRestoresTheFixedSize) {
  window.show();
  ASSERT_TRUE(RunUntil([&] { return window.isVisible(); }));
  auto* maximise = Find<QToolButton>(window, "MaximizeButton");
  maximise->click();
  ASSERT_TRUE(RunUntil([&] { return window.isMaximized(); }, 2000));
  ASSERT_TRUE(RunUntil([&] { return window.width() > 447; }, 2000));
  auto* close = Find<QToolButton>(window, "CloseButton");
  EXPECT_EQ(close->geometry().right(), window.width() - 5) << "the buttons follow the edge";
  maximise->click();
  ASSERT_TRUE(RunUntil([&] { return !window.isMaximized(); }, 2000));
  EXPECT_EQ(window.size(), QSize(447, 331));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
}

TEST_F(MainWindowTest, ANotificationAreaThatAppearsLaterIsUsed) {
  bool available = false;
  window.SetTrayAvailability([&] { return available; });
  window.SetTrayMode(false);
  window.CheckForTray();
  EXPECT_FALSE(window.TrayMode());
  available = true;
  window.CheckForTray();
  EXPECT_TRUE(window.TrayMode());
  EXPECT_TRUE(Find<QSystemTrayIcon>(window, "RxTrayIcon1")->isVisible());
}

std::vector<QMessageBox*> OpenErrorBoxes() {
  std::vector<QMessageBox*> boxes;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box != nullptr && box->objectName() == QStringLiteral("ErrorReport") && box->isVisible()) {
      boxes.push_back(box);
    }
  }
  return boxes;
}

TEST_F(MainWindowTest, ErrorReportKeepsOneBoxOpenAndWritesEveryLine) {
  // Only the reports' own lines count: the platform may write notes of its own.
  ::testing::internal::CaptureStderr();
  window.ReportError("Cannot open file \"a.dd8\"");
  window.ReportError("Cannot open file \"b.dd8\"");
  auto boxes = OpenErrorBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]->text(), QStringLiteral("Cannot open file \"a.dd8\""));

  boxes[0]->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(OpenErrorBoxes().empty());
  window.ReportError("Cannot open file \"c.dd8\"");
  std::istringstream err(::testing::internal::GetCapturedStderr());
  std::vector<std::string> reported;
  for (std::string line; std::getline(err, line);) {
    if (line.rfind("Cannot open", 0) == 0)
      reported.push_back(line);
  }
  boxes = OpenErrorBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]->text(), QStringLiteral("Cannot open file \"c.dd8\""));
  EXPECT_EQ(reported,
            (std::vector<std::string>{"Cannot open file \"a.dd8\"", "Cannot open file \"b.dd8\"",
                                      "Cannot open file \"c.dd8\""}));
}

TEST_F(MainWindowTest, MessagesAndTheAccessDialogGoThroughTheirWindows) {
  window.ShowMessageWindow("Порт уже занят!");  // no message window yet: returns at once
  EXPECT_EQ(window.ShowAccessDialog("48213"), kAccessCancelled);  // no dialog: refused

  Tadvsm message;
  TForm2 dialog;
  window.SetMessageWindow(&message);
  window.SetAccessDialog(&dialog);
  QString shown;
  WhenModal([&] {
    shown = Find<QLabel>(message, "label1")->text();
    Find<QPushButton>(message, "BitBtn1")->click();
  });
  window.ShowMessageWindow("Порт уже занят!");
  EXPECT_EQ(shown, QStringLiteral("Порт уже занят!"));

  WhenModal([&] {
    QTest::keyClicks(Find(dialog, "MaskEdit1"), "48213");
    Find<QPushButton>(dialog, "BitBtn1")->click();
  });
  EXPECT_EQ(window.ShowAccessDialog("48213"), kAccessAccepted);
}

}  // namespace
}  // namespace drvnt
