// Port management through the engine: the scan at start-up finds the free pseudo-terminal, the
// operator's choice is written to the INI file and announced to the V8 link, and Start and Stop
// open and close the real port.

#include <pty.h>
#include <unistd.h>

#include "engine_fixture.h"
#include "platform/files.h"

namespace drvnt::testing {
namespace {

struct PortRecord {
  std::string name;
  int open;
};

PortRecord Record(const FakeV8Worker::Packet& p) {
  return {std::string(p.body.begin() + 1, p.body.begin() + 1 + p.body[0]), p.body[7]};
}

class EnginePortsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(openpty(&master_, &slave_, name_, nullptr, nullptr), 0);
  }
  void TearDown() override {
    EngineTest::TearDown();
    ::close(master_);
    ::close(slave_);
  }
  int master_ = -1, slave_ = -1;
  char name_[256] = {};
};

// The device names of the scanned ports come from one reading of the INI file per scan, even
// right after the file was written, when its stamp cannot be trusted.
TEST_F(EnginePortsTest, ScanReadsTheIniFileOnce) {
  WriteIni(std::string("[main]\nComPort=COM255\n[ComPorts]\nCOM2=") + name_ + "\n");
  Driver& d = MakeDriver();
  d.Start();
  const auto before = d.Ini().Readings();
  d.Ports().AdvGlowButton1Click();
  const auto& found = ui_.controls.list;
  EXPECT_NE(std::find(found.begin(), found.end(), "COM2"), found.end());
  EXPECT_LE(d.Ini().Readings() - before, 1u);
}

TEST_F(EnginePortsTest, ChooseStartAndStopThePort) {
  WriteIni(std::string("; the receiver\n[main]\nComPort=COM255\n[ComPorts]\nCOM1=") + name_ + "\n");
  Driver& d = MakeDriver();
  d.Start();
  EXPECT_EQ(ui_.controls.list, (std::vector<std::string>{"COM1"}));
  EXPECT_EQ(ui_.controls.startStopCaption, "Запустить");
  EXPECT_TRUE(v8_->queued.empty());  // the start-up scan stores and sends nothing

  d.Ports().EntryPicked(0);  // the operator picks COM1: stored (twice) and announced
  EXPECT_EQ(d.RememberedPortName(), "COM1");
  EXPECT_EQ(IniFile(dir_).Load()->ReadString("main", "ComPort", ""), "COM1");
  EXPECT_EQ(ReadWholeFile(dir_ + "/drvnt417.ini")->rfind("; the receiver\n", 0), 0u);
  ASSERT_EQ(v8_->queued.size(), 2u);
  EXPECT_EQ(v8_->queued[0].type, 0x02200062u);
  EXPECT_EQ(Record(v8_->queued[0]).name, "COM1");
  EXPECT_EQ(Record(v8_->queued[0]).open, 0);

  d.Ports().AdvGlowButton2Click();  // Start
  EXPECT_TRUE(d.CommPortDriver1().IsPortOpen());
  EXPECT_EQ(ui_.controls.startStopCaption, "Остановить");
  EXPECT_EQ(Record(v8_->queued.back()).open, 1);

  ui_.accessAnswer = kAccessWrongPassword;
  d.Ports().AdvGlowButton2Click();  // a refused Stop
  EXPECT_TRUE(d.CommPortDriver1().IsPortOpen());
  EXPECT_EQ(ui_.messages.back(), "Неправильный пароль. В доступе отказано");
  EXPECT_EQ(Record(v8_->queued.back()).open, 1);

  ui_.accessAnswer = kAccessAccepted;
  d.Ports().AdvGlowButton2Click();  // Stop
  EXPECT_FALSE(d.CommPortDriver1().IsPortOpen());
  EXPECT_EQ(ui_.controls.startStopCaption, "Запустить");
  EXPECT_EQ(Record(v8_->queued.back()).open, 0);
  EXPECT_EQ(ui_.dialogPasswords.back(), d.ClosePassword());
}

TEST_F(EnginePortsTest, ChoiceThatCannotBeStoredIsErrorNineteen) {
  WriteIni("[main]\nSendV8=0\n");
  Driver& d = MakeDriver();
  d.Start();
  d.Ports().TextEdited("COM\n7");
  EXPECT_NE(ReadWholeFile(dir_ + "/error.txt")->find("19\r\n"), std::string::npos);
  EXPECT_EQ(IniFile(dir_).Load()->Find("main", "ComPort"), std::nullopt);
  d.Ports().TextEdited("COM7");  // without a V8 link nothing is announced, and nothing fails
  EXPECT_EQ(IniFile(dir_).Load()->ReadString("main", "ComPort", ""), "COM7");
}

}  // namespace
}  // namespace drvnt::testing
