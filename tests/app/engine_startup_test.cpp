// Start-up and closing of the engine: defaults without an INI file, the port at start, the close
// password and the close request.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

#include "engine_fixture.h"
#include "support/run_until.h"

namespace drvnt::testing {
namespace {

TEST_F(EngineTest, StartWithoutIniFileTakesEveryDefault) {
  Driver& d = MakeDriver();
  d.Start();
  EXPECT_FALSE(d.CommPortDriver1().IsPortOpen());
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(ui_.controls.startStopCaption, "Запустить");
  EXPECT_TRUE(ui_.controls.boxAndRescanEnabled);
  EXPECT_EQ(ui_.controls.text, "COM255");
  EXPECT_FALSE(ui_.v7RowVisible);
  EXPECT_EQ(d.SimpleTCPClient1().Socket(), -1);
  EXPECT_EQ(d.SimpleTCPClient1().Host(), "localhost");
  ASSERT_NE(v8_, nullptr);
  EXPECT_TRUE(v8_->started);
  const auto v8Paints = ui_.PaintsOf(LinkGlyph::V8);
  ASSERT_EQ(v8Paints.size(), 1u);
  EXPECT_FALSE(v8Paints[0].linkUp);
  EXPECT_EQ(ui_.startTime, "10.12.2026 12:00:00");
  EXPECT_EQ(d.LastFrameTime(), clock_.Now());
  EXPECT_FALSE(d.ReceiverLinkOk());
  d.Shutdown();
  EXPECT_TRUE(v8_->stopped);
}

TEST_F(EngineTest, ClosePasswordIsFiveDigitsAndNewAtEveryStart) {
  std::set<std::string> seen;
  for (int i = 0; i < 5; ++i) {
    Driver& d = MakeDriver();
    d.Start();
    const std::string& p = d.ClosePassword();
    ASSERT_EQ(p.size(), 5u);
    EXPECT_GE(std::stoi(p), 10000);
    EXPECT_LE(std::stoi(p), 99998);
    EXPECT_EQ(ui_.shownPassword, p);
    seen.insert(p);
  }
  EXPECT_GT(seen.size(), 1u);
}

TEST_F(EngineTest, SendV8OffCreatesNoWorkerAndPaintsNoV8Glyph) {
  WriteIni("[main]\nSendV8=0\nSendV7=0\n");
  Driver& d = MakeDriver();
  d.Start();
  EXPECT_EQ(d.Worker(), nullptr);
  EXPECT_EQ(v8_, nullptr);
  EXPECT_TRUE(ui_.PaintsOf(LinkGlyph::V8).empty());
}

TEST_F(EngineTest, PortHeldByAnotherProgramGivesTheMessageAndStoppedControls) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  WriteIni(std::string("[main]\nComPort=COM1\n[ComPorts]\nCOM1=") + name + "\n");
  Driver& first = MakeDriver();
  first.Start();
  ASSERT_TRUE(first.CommPortDriver1().IsPortOpen());
  EXPECT_EQ(ui_.controls.startStopCaption, "Остановить");
  EXPECT_FALSE(ui_.controls.boxAndRescanEnabled);
  EXPECT_TRUE(ui_.messages.empty());

  RecordingUi secondUi;
  DriverEnvironment env{
      loop_, clock_, secondUi, SystemSpoolDir(), dir_, nullptr, [](V8Host&, SpoolHandOver&) {
        return std::make_unique<FakeV8Worker>();
      }};
  Driver second(std::move(env));
  second.Start();
  EXPECT_FALSE(second.CommPortDriver1().IsPortOpen());
  EXPECT_EQ(secondUi.controls.startStopCaption, "Запустить");
  ASSERT_TRUE(RunUntil([&] { return !secondUi.messages.empty(); }, 2000));
  EXPECT_EQ(secondUi.messages, (std::vector<std::string>{"Порт уже занят. Смените его."}));
  ::close(master);
  ::close(slave);
}

// The message about the port waits for an OK that may never come (nobody at the screen): the
// links and the timers are running by the time it is shown, and keep running while it is open.
TEST_F(EngineTest, PortMessageAtStartHoldsUpNoLink) {
  WriteIni(
      "[main]\nComPort=COM1\nSendV7=1\nhost=127.0.0.2\n"
      "[ComPorts]\nCOM1=/dev/drvnt417-no-such-device\n");
  // A V7 server that only listens: the kernel completes the connection.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kV7Port);
  a.sin_addr.s_addr = htonl(0x7F000002);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "127.0.0.2:7788";
  ASSERT_EQ(::listen(listener, 4), 0);
  Driver& d = MakeDriver();
  bool workerStarted = false, v7Connected = false, serviceTimerRan = false;
  ui_.onMessage = [&](const std::string&) {
    workerStarted = v8_ != nullptr && v8_->started;
    v7Connected = RunUntil([&] { return d.V7Connected(); }, 2000);
    // A modal window runs its own loop: the service timer's first tick sets the receiver link up.
    serviceTimerRan = RunUntil([&] { return d.ReceiverLinkOk(); }, 2000);
  };
  d.Start();
  ASSERT_TRUE(RunUntil([&] { return !ui_.messages.empty(); }, 2000));
  EXPECT_EQ(ui_.messages, (std::vector<std::string>{"Порт уже занят. Смените его."}));
  EXPECT_TRUE(workerStarted) << "the V8 worker waited for the message";
  EXPECT_TRUE(v7Connected) << "the V7 connection waited for the message";
  EXPECT_TRUE(serviceTimerRan) << "the service timer waited for the message";
  d.Shutdown();
  ::close(listener);
}

TEST_F(EngineTest, CloseRequestNeedsTheClosePassword) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  WriteIni(std::string("[main]\nComPort=COM1\n[ComPorts]\nCOM1=") + name + "\n");
  Driver& d = MakeDriver();
  d.Start();

  ui_.accessAnswer = kAccessCancelled;
  EXPECT_FALSE(d.CloseRequest());
  EXPECT_TRUE(ui_.messages.empty());

  ui_.accessAnswer = kAccessWrongPassword;
  EXPECT_FALSE(d.CloseRequest());
  EXPECT_EQ(ui_.messages, (std::vector<std::string>{"Не правильный пароль."}));
  EXPECT_TRUE(d.CommPortDriver1().IsPortOpen());

  ui_.accessAnswer = kAccessAccepted;
  EXPECT_TRUE(d.CloseRequest());
  EXPECT_FALSE(d.CommPortDriver1().IsPortOpen());
  EXPECT_EQ(ui_.dialogPasswords, (std::vector<std::string>(3, d.ClosePassword())));
  ::close(master);
  ::close(slave);
}

TEST_F(EngineTest, SignalClosesWithoutTheDialog) {
  Driver& d = MakeDriver();
  d.Start();
  d.CloseBySignal();
  EXPECT_EQ(ui_.closeRequests, 1);
  EXPECT_TRUE(ui_.closed);
  EXPECT_TRUE(ui_.dialogPasswords.empty());
}

}  // namespace
}  // namespace drvnt::testing
