// The port-box model against a fake engine: which ports a scan finds, what a selection stores,
// and what Start and Stop do, with the INI writes and port-status records they cause.

#include "app/port_manager.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace drvnt {
namespace {

struct Record {
  std::string name;
  bool open;
  bool operator==(const Record&) const = default;
};

// The engine's side: ports that open (or throw), the INI file, the V8 records and the dialogs.
// Every call that the operator or a server could notice goes into `events` in order.
class FakeHost final : public PortManagerHost {
 public:
  std::set<std::string> freePorts;      // "COM3" opens
  std::set<std::string> throwingPorts;  // OpenPort throws
  int accessResult = kAccessAccepted;
  bool failIniWrite = false;

  std::string portName;
  bool open = false;
  bool dtr = false;
  std::string remembered = "COM255";
  std::vector<std::string> iniWrites;
  std::vector<Record> records;
  std::vector<int> errors;
  std::vector<std::string> messages;
  std::vector<std::string> events;
  PortControls shown;

  void SetPortName(const std::string& deviceName) override {
    if (!open)
      portName = deviceName;  // the driver ignores a new name while the port is open
  }
  bool OpenPort() override {
    if (portName.rfind("\\\\.\\", 0) != 0)
      return false;
    const std::string name = portName.substr(4);
    if (throwingPorts.count(name) != 0)
      throw std::runtime_error("open failed");
    open = freePorts.count(name) != 0;
    return open;
  }
  void ClosePort() override { open = false; }
  bool IsPortOpen() override { return open; }
  void SetDtr(bool on) override { dtr = on; }
  void WriteComPort(const std::string& value) override {
    if (failIniWrite)
      throw std::runtime_error("disk full");
    iniWrites.push_back(value);
    events.push_back("ini " + value);
  }
  void SetRememberedPortName(const std::string& name) override { remembered = name; }
  void SendPortStatus() override {
    records.push_back({remembered, open});
    events.push_back("record " + remembered);
  }
  void LogError(int code) override { errors.push_back(code); }
  int ShowAccessDialog() override {
    events.push_back("access");
    return accessResult;
  }
  void ShowMessageWindow(const std::string& text) override {
    messages.push_back(text);
    events.push_back("message " + text);
  }
  void PortControlsChanged(const PortControls& controls) override { shown = controls; }

  void ClearLog() {
    iniWrites.clear();
    records.clear();
    messages.clear();
    events.clear();
  }
};

// A port manager after start-up: the scan has filled the list, ComPort is in the box, and the
// configured port either runs or the controls are stopped.
class PortManagerTest : public ::testing::Test {
 protected:
  void StartUp(const std::string& comPort, bool opens) {
    manager.StartupScan();
    manager.ShowConfiguredPort(comPort);
    if (opens) {
      host.SetPortName("\\\\.\\" + comPort);
      ASSERT_TRUE(host.OpenPort());
    } else {
      manager.EnterStoppedState();
    }
    host.remembered = comPort;
    host.ClearLog();
  }

  FakeHost host;
  PortManager manager{host};
};

TEST_F(PortManagerTest, StartUpListsFreePortsAndStoresNothing) {
  host.freePorts = {"COM2", "COM5", "COM32"};
  host.throwingPorts = {"COM3"};  // an error on open is a busy port
  manager.StartupScan();
  EXPECT_EQ(manager.Controls().list, (std::vector<std::string>{"COM2", "COM5", "COM32"}));
  EXPECT_EQ(manager.Controls().text, "COM2");
  manager.ShowConfiguredPort("COM7");  // not among the free ports: the box shows it anyway

  const PortControls c = manager.Controls();
  EXPECT_EQ(c.text, "COM7");
  EXPECT_FALSE(c.boxAndRescanEnabled);
  EXPECT_EQ(c.startStopCaption, "Остановить");
  EXPECT_EQ(host.shown.text, "COM7");
  EXPECT_FALSE(host.open);  // every port the scan opened was closed again
  EXPECT_TRUE(host.iniWrites.empty());
  EXPECT_TRUE(host.records.empty());

  manager.EnterStoppedState();
  EXPECT_TRUE(host.shown.boxAndRescanEnabled);
  EXPECT_EQ(host.shown.startStopCaption, "Запустить");
  EXPECT_TRUE(host.iniWrites.empty());
}

struct RescanCase {
  const char* name;
  std::set<std::string> freePorts;
  bool listFilledBefore;
  std::string textBefore;
  std::vector<std::string> iniWrites;  // every record carries the same names
};

class RescanTest : public PortManagerTest, public ::testing::WithParamInterface<RescanCase> {};

TEST_P(RescanTest, StoppedRescanStoresEachTextTheBoxTakes) {
  const RescanCase& p = GetParam();
  host.freePorts = p.listFilledBefore ? std::set<std::string>{"COM1", "COM4"} : p.freePorts;
  if (p.listFilledBefore) {
    StartUp("COM255", false);
  } else {
    manager.EnterStoppedState();
  }
  manager.TextEdited(p.textBefore);
  host.ClearLog();
  host.freePorts = p.freePorts;

  manager.AdvGlowButton1Click();

  EXPECT_EQ(host.iniWrites, p.iniWrites);
  std::vector<Record> expected;
  for (const auto& name : p.iniWrites)
    expected.push_back({name, false});
  EXPECT_EQ(host.records, expected);
  EXPECT_EQ(host.remembered, p.iniWrites.back());
  EXPECT_EQ(manager.Controls().text, p.iniWrites.back());
  EXPECT_EQ(manager.Controls().list.size(), p.freePorts.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RescanTest,
    ::testing::Values(
        // Clearing the list clears the text; the first entry is then stored twice.
        RescanCase{"FreePorts", {"COM3", "COM9"}, true, "COM4", {"", "COM3", "COM3"}},
        RescanCase{"NoFreePort", {}, true, "COM4", {"", ""}},
        // An empty list clears nothing; the typed text goes when the first entry arrives.
        RescanCase{"EmptyListTypedText", {"COM3"}, false, "COM9", {"", "COM3", "COM3"}},
        RescanCase{"EmptyListEmptyText", {"COM3"}, false, "", {"COM3", "COM3"}},
        // Clearing comes first, so even a text that the new list holds is cleared on the way.
        RescanCase{"TextAmongNewEntries", {"COM2", "COM4"}, true, "COM4", {"", "COM2", "COM2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortManagerTest, TypingStoresEveryIntermediateText) {
  StartUp("COM255", false);
  for (const char* text : {"C", "CO", "COM", "COM1", "COM12"})
    manager.TextEdited(text);
  manager.TextEdited("COM12");  // the same text again is no change

  EXPECT_EQ(host.iniWrites, (std::vector<std::string>{"C", "CO", "COM", "COM1", "COM12"}));
  EXPECT_EQ(host.records.size(), 5u);
  EXPECT_EQ(host.remembered, "COM12");
  EXPECT_EQ(host.shown.text, "COM12");
}

TEST_F(PortManagerTest, PickingAnEntryRunsTheSelectionOnceMorePerPick) {
  host.freePorts = {"COM2", "COM5"};
  StartUp("COM255", false);
  manager.AdvGlowButton1Click();  // box shows COM2
  host.ClearLog();

  manager.EntryPicked(1);  // a different entry: the text changes, then the selection once more
  EXPECT_EQ(host.iniWrites, (std::vector<std::string>{"COM5", "COM5"}));
  manager.EntryPicked(1);  // the entry already shown
  manager.EnterPressed();
  EXPECT_EQ(host.iniWrites, (std::vector<std::string>{"COM5", "COM5", "COM5", "COM5"}));
  EXPECT_EQ(host.records.size(), 4u);

  manager.EntryPicked(2);  // no such entry
  manager.EntryPicked(-1);
  EXPECT_EQ(host.iniWrites.size(), 4u);
}

TEST_F(PortManagerTest, RunningStateStoresNothing) {
  host.freePorts = {"COM2", "COM5"};
  StartUp("COM2", true);
  manager.TextEdited("COM5");
  manager.EntryPicked(0);
  manager.EnterPressed();
  EXPECT_TRUE(host.iniWrites.empty());
  EXPECT_TRUE(host.records.empty());
  EXPECT_EQ(host.remembered, "COM2");
}

TEST_F(PortManagerTest, SelectionErrorIsLoggedAndSkipsTheRest) {
  StartUp("COM255", false);
  host.failIniWrite = true;
  manager.TextEdited("COM4");
  EXPECT_EQ(host.errors, std::vector<int>{19});
  EXPECT_EQ(host.remembered, "COM255");
  EXPECT_TRUE(host.records.empty());
  EXPECT_TRUE(host.messages.empty());  // the operator is not told
}

TEST_F(PortManagerTest, StartOpensTheBoxPortAndStoresNothing) {
  host.freePorts = {"COM2", "COM5"};
  StartUp("COM255", false);
  manager.EntryPicked(1);
  host.ClearLog();
  host.remembered = "COM255";  // Start must not replace it

  manager.AdvGlowButton2Click();

  EXPECT_EQ(host.portName, "\\\\.\\COM5");
  EXPECT_TRUE(host.open);
  EXPECT_TRUE(host.dtr);
  EXPECT_TRUE(manager.IsRunning());
  EXPECT_EQ(host.shown.startStopCaption, "Остановить");
  EXPECT_FALSE(host.shown.boxAndRescanEnabled);
  EXPECT_TRUE(host.iniWrites.empty());
  EXPECT_EQ(host.records, (std::vector<Record>{{"COM255", true}}));
}

struct FailedStartCase {
  const char* name;
  std::set<std::string> freeAfterwards;
  bool throws;
  std::vector<std::string> recordNames;
};

class FailedStartTest : public PortManagerTest,
                        public ::testing::WithParamInterface<FailedStartCase> {};

TEST_P(FailedStartTest, MessageThenRescanThenRecord) {
  const FailedStartCase& p = GetParam();
  host.freePorts = {"COM2", "COM5"};
  StartUp("COM255", false);
  manager.EntryPicked(1);  // COM5, then taken by another program
  host.ClearLog();
  host.freePorts = p.freeAfterwards;
  if (p.throws)
    host.throwingPorts = {"COM5"};

  manager.AdvGlowButton2Click();

  EXPECT_FALSE(manager.IsRunning());
  EXPECT_EQ(host.shown.startStopCaption, "Запустить");
  ASSERT_FALSE(host.events.empty());
  EXPECT_EQ(host.events.front(), "message Порт уже занят!");  // before the scan stores anything
  std::vector<Record> expected;
  for (const auto& name : p.recordNames)
    expected.push_back({name, false});
  EXPECT_EQ(host.records, expected);
  EXPECT_EQ(host.iniWrites.back(), p.recordNames.back());
  EXPECT_EQ(host.events.back(), "record " + p.recordNames.back());  // Start's own record last
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedStartTest,
    ::testing::Values(
        FailedStartCase{"FreePortFound", {"COM2"}, false, {"", "COM2", "COM2", "COM2"}},
        FailedStartCase{"NoFreePort", {}, false, {"", "", ""}},
        FailedStartCase{"OpenThrows", {"COM2"}, true, {"", "COM2", "COM2", "COM2"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct StopCase {
  const char* name;
  int accessResult;
  bool stops;
};

class StopTest : public PortManagerTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, OnlyTheRightPasswordStopsAndEveryUseSendsARecord) {
  host.freePorts = {"COM2"};
  StartUp("COM2", true);
  host.accessResult = GetParam().accessResult;

  manager.AdvGlowButton2Click();

  EXPECT_EQ(manager.IsRunning(), !GetParam().stops);
  EXPECT_EQ(host.open, !GetParam().stops);
  EXPECT_EQ(host.shown.boxAndRescanEnabled, GetParam().stops);
  std::vector<std::string> events{"access"};
  if (!GetParam().stops)
    events.push_back("message Неправильный пароль. В доступе отказано");
  events.push_back("record COM2");
  EXPECT_EQ(host.events, events);
  EXPECT_EQ(host.records, (std::vector<Record>{{"COM2", !GetParam().stops}}));
  EXPECT_TRUE(host.iniWrites.empty());
}

INSTANTIATE_TEST_SUITE_P(Results, StopTest,
                         ::testing::Values(StopCase{"Accepted", kAccessAccepted, true},
                                           StopCase{"WrongPassword", kAccessWrongPassword, false},
                                           StopCase{"Cancelled", kAccessCancelled, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortManagerTest, StopThenStartAgainRunsTheSamePort) {
  host.freePorts = {"COM2"};
  StartUp("COM2", true);
  manager.AdvGlowButton2Click();
  ASSERT_FALSE(host.open);
  manager.AdvGlowButton2Click();
  EXPECT_TRUE(host.open);
  EXPECT_EQ(host.portName, "\\\\.\\COM2");
  EXPECT_EQ(host.records, (std::vector<Record>{{"COM2", false}, {"COM2", true}}));
}

}  // namespace
}  // namespace drvnt
