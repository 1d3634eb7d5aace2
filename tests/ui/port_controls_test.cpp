// The port controls of the settings page wired to the real port-box model: what the operator's
// typing, picking, Enter and button clicks store, and that mirroring the model back into the
// widgets never counts as an operator action.

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <set>

#include "app/port_manager.h"
#include "support/run_until.h"
#include "ui/main_window.h"
#include "ui_test_util.h"

namespace drvnt {
namespace {

using testing::Find;

// The engine's side, reduced to what the settings page shows: free ports, INI writes, and the
// controls handed on to the window.
class WindowHost final : public PortManagerHost {
 public:
  explicit WindowHost(TForm1& window) : window_(window) {}

  std::set<std::string> freePorts;
  std::vector<std::string> iniWrites;
  std::string portName;
  bool open = false;

  void SetPortName(const std::string& deviceName) override { portName = deviceName; }
  bool OpenPort() override { return open = freePorts.count(portName.substr(4)) != 0; }
  void ClosePort() override { open = false; }
  bool IsPortOpen() override { return open; }
  void SetDtr(bool) override {}
  void WriteComPort(const std::string& value) override { iniWrites.push_back(value); }
  void SetRememberedPortName(const std::string&) override {}
  void SendPortStatus() override {}
  void LogError(int) override {}
  int ShowAccessDialog() override { return kAccessAccepted; }
  void ShowMessageWindow(const std::string&) override {}
  void PortControlsChanged(const PortControls& controls) override {
    window_.ShowPortControls(controls);
  }

 private:
  TForm1& window_;
};

class PortControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window.SetPortActions(PortActionsFor(manager));
    window.show();
    window.AdvGlowButton47Click();
    host.freePorts = {"COM2", "COM5"};
    manager.StartupScan();
    manager.ShowConfiguredPort("COM255");
    manager.EnterStoppedState();
    host.iniWrites.clear();
  }

  QComboBox* Box() { return Find<QComboBox>(window, "AdvOfficeComboBox1"); }
  QLineEdit* Edit() { return Box()->lineEdit(); }

  TForm1 window;
  WindowHost host{window};
  PortManager manager{host};
};

TEST_F(PortControlsTest, MirrorShowsTheModelAndTriggersNothing) {
  EXPECT_TRUE(Box()->isEnabled());
  EXPECT_TRUE(Find(window, "AdvGlowButton1")->isEnabled());
  EXPECT_EQ(Find<QPushButton>(window, "AdvGlowButton2")->text(), QStringLiteral("Запустить"));
  ASSERT_EQ(Box()->count(), 2);
  EXPECT_EQ(Box()->itemText(0), QStringLiteral("COM2"));
  EXPECT_EQ(Box()->itemText(1), QStringLiteral("COM5"));
  EXPECT_EQ(Box()->currentText(), QStringLiteral("COM255"));  // a text that is not an entry
  EXPECT_TRUE(host.iniWrites.empty());

  PortControls other = manager.Controls();
  other.text = "COM5";
  other.list = {"COM1", "COM5", "COM7"};
  window.ShowPortControls(other);
  EXPECT_EQ(Box()->count(), 3);
  EXPECT_EQ(Box()->currentText(), QStringLiteral("COM5"));
  EXPECT_TRUE(host.iniWrites.empty());
  EXPECT_EQ(manager.Controls().text, "COM255");
}

TEST_F(PortControlsTest, TypingStoresEachKeystrokeAndEnterOnceMore) {
  // Keys go to the box, which hands them to its field, as the keyboard delivers them.
  Edit()->clear();  // not an operator edit: the model keeps COM255
  EXPECT_TRUE(host.iniWrites.empty());
  QTest::keyClicks(Box(), "COM5");  // ends on an entry of the list
  EXPECT_EQ(host.iniWrites, (std::vector<std::string>{"C", "CO", "COM", "COM5"}));
  EXPECT_EQ(Edit()->text(), QStringLiteral("COM5"));
  EXPECT_EQ(Edit()->cursorPosition(), 4);

  QTest::keyClick(Box(), Qt::Key_Return);
  Find(window, "AdvGlowButton1")->setFocus();  // leaving the field is no pick
  EXPECT_EQ(host.iniWrites, (std::vector<std::string>{"C", "CO", "COM", "COM5", "COM5"}));

  host.iniWrites.clear();
  Edit()->setFocus();
  Edit()->selectAll();
  QTest::keyClicks(Box(), "COM9");  // not an entry
  QTest::keyClick(Box(), Qt::Key_Enter);
  EXPECT_EQ(host.iniWrites, (std::vector<std::string>{"C", "CO", "COM", "COM9", "COM9"}));
}

TEST_F(PortControlsTest, EditingInTheMiddleKeepsTheCursor) {
  Edit()->clear();
  QTest::keyClicks(Box(), "CM5");
  QTest::keyClick(Box(), Qt::Key_Home);
  QTest::keyClick(Box(), Qt::Key_Right);
  QTest::keyClicks(Box(), "O");  // the text becomes an entry, and the box follows it
  EXPECT_EQ(Edit()->text(), QStringLiteral("COM5"));
  EXPECT_EQ(Box()->currentIndex(), 1);
  EXPECT_EQ(Edit()->cursorPosition(), 2);
  EXPECT_EQ(host.iniWrites.back(), "COM5");
}

TEST_F(PortControlsTest, PickingFromTheListRunsTheSelectionTwice) {
  QAbstractItemView* view = Box()->view();
  Box()->showPopup();
  ASSERT_TRUE(testing::RunUntil([&] { return view->isVisible(); }));
  const QModelIndex entry = view->model()->index(1, 0);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(entry).center());
  EXPECT_EQ(host.iniWrites, (std::vector<std::string>{"COM5", "COM5"}));
  EXPECT_EQ(Edit()->text(), QStringLiteral("COM5"));
}

TEST_F(PortControlsTest, ButtonsReachTheModel) {
  host.freePorts = {"COM3"};
  QTest::mouseClick(Find<QPushButton>(window, "AdvGlowButton1"), Qt::LeftButton);
  ASSERT_EQ(Box()->count(), 1);
  EXPECT_EQ(Box()->currentText(), QStringLiteral("COM3"));

  QTest::mouseClick(Find<QPushButton>(window, "AdvGlowButton2"), Qt::LeftButton);
  EXPECT_TRUE(host.open);
  EXPECT_EQ(Find<QPushButton>(window, "AdvGlowButton2")->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(Box()->isEnabled());
  EXPECT_FALSE(Find(window, "AdvGlowButton1")->isEnabled());
}

TEST_F(PortControlsTest, ControlCharactersNeverReachTheIniFile) {
  Edit()->selectAll();
  Edit()->insert(QStringLiteral("COM1\nx=1"));
  EXPECT_FALSE(Edit()->text().contains(QLatin1Char('\n')));
  for (const std::string& value : host.iniWrites)
    EXPECT_EQ(value.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace drvnt
