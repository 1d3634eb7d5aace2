// The access dialog and the message window as real windows, driven from inside their modal loops.

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/message_geometry.h"
#include "app/operator_ui.h"
#include "ui/access_dialog.h"
#include "ui/message_window.h"
#include "ui_test_util.h"

namespace drvnt {
namespace {

using testing::Find;
using testing::WhenModal;

TEST(AccessDialogTest, Layout) {
  TForm2 dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Закрытый доступ"));
  EXPECT_EQ(dialog.size(), QSize(281, 93));
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint);
  auto* prompt = Find<QLabel>(dialog, "Label1");
  EXPECT_EQ(prompt->pos(), QPoint(48, 8));
  EXPECT_EQ(prompt->text(), QStringLiteral("Введите пароль для доступа"));
  EXPECT_EQ(Find(dialog, "MaskEdit1")->geometry(), QRect(120, 33, 49, 19));
  auto* ok = Find<QPushButton>(dialog, "BitBtn1");
  auto* cancel = Find<QPushButton>(dialog, "BitBtn2");
  EXPECT_EQ(ok->geometry(), QRect(67, 58, 72, 25));
  EXPECT_EQ(ok->text(), QStringLiteral("ОК"));
  EXPECT_EQ(cancel->geometry(), QRect(145, 58, 72, 25));
  EXPECT_EQ(cancel->text(), QStringLiteral("Отмена"));
}

TEST(AccessDialogTest, FieldTakesFiveDigitsAndShowsStars) {
  TForm2 dialog;
  auto* field = Find<QLineEdit>(dialog, "MaskEdit1");
  QTest::keyClicks(field, "12a-3 4567");
  EXPECT_EQ(field->text(), QStringLiteral("12345"));
  EXPECT_EQ(field->displayText(), QStringLiteral("*****"));
}

enum class Act { TypeAndOk, Cancel, Escape, CloseWindow };

struct AccessCase {
  const char* name;
  const char* typed;
  Act act;
  int result;
};

class AccessResultTest : public ::testing::TestWithParam<AccessCase> {};

TEST_P(AccessResultTest, ResultOfWhatTheOperatorDid) {
  TForm2 dialog;
  const AccessCase& c = GetParam();
  WhenModal([&] {
    QTest::keyClicks(Find(dialog, "MaskEdit1"), c.typed);
    switch (c.act) {
      case Act::TypeAndOk:
        Find<QPushButton>(dialog, "BitBtn1")->click();
        break;
      case Act::Cancel:
        Find<QPushButton>(dialog, "BitBtn2")->click();
        break;
      case Act::Escape:
        QTest::keyClick(&dialog, Qt::Key_Escape);
        break;
      case Act::CloseWindow:
        dialog.close();
        break;
    }
  });
  EXPECT_EQ(dialog.Ask("48213"), c.result);
  EXPECT_FALSE(dialog.isVisible());
}

INSTANTIATE_TEST_SUITE_P(
    Acts, AccessResultTest,
    ::testing::Values(AccessCase{"RightPassword", "48213", Act::TypeAndOk, kAccessAccepted},
                      AccessCase{"FewerDigits", "4821", Act::TypeAndOk, kAccessWrongPassword},
                      AccessCase{"WrongDigits", "48214", Act::TypeAndOk, kAccessWrongPassword},
                      AccessCase{"NothingTyped", "", Act::TypeAndOk, kAccessWrongPassword},
                      AccessCase{"Cancel", "48213", Act::Cancel, kAccessCancelled},
                      AccessCase{"Escape", "48213", Act::Escape, kAccessCancelled},
                      AccessCase{"WindowClosed", "48213", Act::CloseWindow, kAccessCancelled}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AccessDialogTest, EmptyClosePasswordAcceptsAnything) {
  TForm2 dialog;
  WhenModal([&] {
    QTest::keyClicks(Find(dialog, "MaskEdit1"), "777");
    Find<QPushButton>(dialog, "BitBtn1")->click();
  });
  EXPECT_EQ(dialog.Ask(""), kAccessAccepted);
}

TEST(AccessDialogTest, FieldKeepsTheLastTextSelectedForTheNextUse) {
  TForm2 dialog;
  auto* field = Find<QLineEdit>(dialog, "MaskEdit1");
  WhenModal([&] {
    QTest::keyClicks(field, "48213");
    Find<QPushButton>(dialog, "BitBtn1")->click();
  });
  ASSERT_EQ(dialog.Ask("48213"), kAccessAccepted);

  QString selected;
  WhenModal([&] {
    selected = field->selectedText();
    Find<QPushButton>(dialog, "BitBtn1")->click();  // no typing
  });
  EXPECT_EQ(dialog.Ask("48213"), kAccessAccepted);
  EXPECT_EQ(selected, QStringLiteral("48213"));

  WhenModal([&] {
    QTest::keyClicks(field, "9");  // replaces the selected text
    Find<QPushButton>(dialog, "BitBtn1")->click();
  });
  EXPECT_EQ(dialog.Ask("48213"), kAccessWrongPassword);
  EXPECT_EQ(field->text(), QStringLiteral("9"));
}

struct MessageCase {
  const char* text;
  int width;
  int buttonLeft;
};

class MessageWindowTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageWindowTest, WindowFitsTheText) {
  Tadvsm window;
  window.FitText(GetParam().text);
  EXPECT_EQ(window.size(), QSize(GetParam().width, 73));
  auto* label = Find<QLabel>(window, "label1");
  EXPECT_EQ(label->text(), QString::fromUtf8(GetParam().text));
  EXPECT_EQ(label->x(), 2);
  EXPECT_EQ(label->y(), 16);
  EXPECT_EQ(label->width(), GetParam().width);
  EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(label->font().bold());
  EXPECT_EQ(label->font().pointSize(), 12);
  auto* ok = Find<QPushButton>(window, "BitBtn1");
  EXPECT_EQ(ok->geometry(), QRect(GetParam().buttonLeft, 41, 72, 25));
  EXPECT_EQ(ok->text(), QStringLiteral("ОК"));
  // The text fits inside the window, with a few pixels to spare at each end.
  if (GetParam().width >= 100) {  // the program's own messages
    EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(label->text()),
              GetParam().width - 2 * kMessageTextMargin)
        << "the text is cut at both ends in " << label->font().family().toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, MessageWindowTest,
                         ::testing::Values(MessageCase{"Порт уже занят!", 150, 39},
                                           MessageCase{"Не правильный пароль.", 210, 69},
                                           MessageCase{"Порт уже занят. Смените его.", 280, 104},
                                           MessageCase{"Неправильный пароль. В доступе отказано",
                                                       390, 159},
                                           MessageCase{"Текст", 50, -11}));

TEST(MessageWindowShowTest, ShowsModallyUntilOkAndRefitsEachTime) {
  Tadvsm window;
  EXPECT_EQ(window.windowTitle(), QStringLiteral("advsm"));
  QSize shownSize;
  bool modal = false;
  WhenModal([&] {
    shownSize = window.size();
    modal = window.isVisible() && window.isModal();
    Find<QPushButton>(window, "BitBtn1")->click();
  });
  window.ShowText("Неправильный пароль. В доступе отказано");
  EXPECT_TRUE(modal);
  EXPECT_EQ(shownSize, QSize(390, 73));
  EXPECT_FALSE(window.isVisible());

  WhenModal([&] { Find<QPushButton>(window, "BitBtn1")->click(); });
  window.ShowText("Порт уже занят!");
  EXPECT_EQ(window.size(), QSize(150, 73));
  EXPECT_EQ(Find<QLabel>(window, "label1")->text(), QStringLiteral("Порт уже занят!"));
}

}  // namespace
}  // namespace drvnt
