// The engine's V7 link against a message server on port 7788 of the test's own address: the
// greeting and port status on every connection, reconnection, server messages (framing, time,
// close), the event hand-over and the status messages, sent or spooled, also when the server stalls
// or closes.

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "engine_fixture.h"
#include "loopback_server.h"
#include "support/run_until.h"

namespace drvnt::testing {
namespace {

std::vector<std::uint8_t> ServerMessage(std::uint8_t type, std::uint8_t first = 0xFF) {
  std::vector<std::uint8_t> m(555, 0);
  m[0] = first;
  m[1] = 0xFF;
  m[2] = type;
  return m;
}

std::vector<std::uint8_t> TimeMessage(double when) {
  auto m = ServerMessage(0x04);
  std::memcpy(&m[30], &when, 8);  // little-endian on this machine, as on the wire
  return m;
}

class EngineV7Test : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(server_.Ok()) << host_ << ":7788 is taken";
    ASSERT_EQ(openpty(&master_, &slave_, ptyName_, nullptr, nullptr), 0);
  }
  void TearDown() override {
    EngineTest::TearDown();
    ::close(master_);
    ::close(slave_);
  }

  Driver& Started(const std::string& port = "COM3", const std::string& extra = "") {
    WriteIni("[main]\nSendV7=1\nhost=" + host_ + "\nPathForSoob=" + dir_ + "/\nComPort=" + port +
             "\n" + extra + "[ComPorts]\n" + port + "=" + ptyName_ + "\n");
    Driver& d = MakeDriver();
    d.Start();
    return d;
  }

  bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    return RunUntilServed(server_, done, ms);
  }

  bool WaitConnected() {
    return WaitFor([&] { return driver_->V7Connected() && server_.Received().size() >= 1110; });
  }

  const std::uint32_t address_ = OwnLoopbackAddress(3);
  const std::string host_ = DottedAddress(address_);
  // A small receive buffer: a server that stops reading fills up soon.
  LoopbackServer server_{address_, 7788, 16384};
  int master_ = -1, slave_ = -1;
  char ptyName_[256] = {};
};

TEST_F(EngineV7Test, EveryConnectionStartsWithGreetingThenPortStatus) {
  Started();
  ASSERT_TRUE(WaitConnected());
  RunFor(100);
  server_.Poll();
  const auto& got = server_.Received();
  ASSERT_EQ(got.size(), 1110u);
  EXPECT_EQ((std::vector<std::uint8_t>(got.begin(), got.begin() + 4)),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0x14, 9}));
  EXPECT_EQ((std::vector<std::uint8_t>(got.begin() + 555, got.begin() + 559)),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0x32, 3}));
  EXPECT_TRUE(ui_.PaintsOf(LinkGlyph::V7).back().linkUp);

  // The server restarts; the reconnect timer brings the link back within about 3 s.
  server_.Stop();
  server_.ClearReceived();
  ASSERT_TRUE(WaitFor([&] { return !driver_->V7Connected(); }));
  EXPECT_FALSE(ui_.PaintsOf(LinkGlyph::V7).back().linkUp);
  RunFor(500);
  server_.Listen();
  ASSERT_TRUE(server_.Ok());
  ASSERT_TRUE(WaitFor([&] { return server_.Received().size() >= 1110; }, 6000));
  EXPECT_EQ(server_.Accepted(), 2);
  EXPECT_EQ(server_.Received()[2], 0x14);
  EXPECT_EQ(server_.Received()[557], 0x32);
}

TEST_F(EngineV7Test, PortNameThatIsNoNumberSendsOnlyTheGreetingAndReportsTheError) {
  Started("COMX");
  ASSERT_TRUE(WaitFor([&] { return server_.Received().size() >= 555 && !ui_.errors.empty(); }));
  RunFor(100);
  server_.Poll();
  EXPECT_EQ(server_.Received().size(), 555u);
  EXPECT_TRUE(driver_->V7Connected());
}

TEST_F(EngineV7Test, ServerMessagesAreFramedCountedAndObeyed) {
  Driver& d = Started();
  ASSERT_TRUE(WaitConnected());

  auto m = ServerMessage(0x30);
  server_.Send({m.begin(), m.begin() + 300});
  RunFor(50);
  EXPECT_EQ(d.V7MessageCount(), 0);
  server_.Send({m.begin() + 300, m.end()});
  ASSERT_TRUE(WaitFor([&] { return d.V7MessageCount() == 1; }));

  server_.Send(ServerMessage(0x30, 0xFE));  // no marker: dropped whole, not counted
  RunFor(50);
  EXPECT_EQ(d.V7MessageCount(), 1);

  CalendarTime t{2027, 1, 2, 3, 4, 5, 600, 0};
  DateTime when;
  ASSERT_TRUE(TryEncodeDateTime(t, when));
  std::vector<std::uint8_t> burst = TimeMessage(when);
  const auto bad = TimeMessage(std::nan(""));  // consumed, the clock left alone
  burst.insert(burst.end(), bad.begin(), bad.end());
  for (int i = 0; i < 14; ++i) {
    const auto other = ServerMessage(0x31);
    burst.insert(burst.end(), other.begin(), other.end());
  }
  ::testing::internal::CaptureStderr();
  server_.Send(burst);
  ASSERT_TRUE(WaitFor([&] { return d.V7MessageCount() == 0; }));  // 17 messages: back to 0
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("time message"), std::string::npos);
  const auto set = clock_.SetTimes();
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].year, 2027);
  EXPECT_EQ(set[0].month, 1);
  EXPECT_EQ(set[0].day, 2);
  EXPECT_EQ(set[0].hour, 3);
  EXPECT_EQ(set[0].minute, 4);
  EXPECT_EQ(set[0].second, 5);
  EXPECT_EQ(set[0].millisecond, 600);
  EXPECT_EQ(set[0].dayOfWeek, 6);  // a Saturday

  // A close command closes without the password; the rest of that read is still handled.
  std::vector<std::uint8_t> closing = ServerMessage(0x11);
  const auto after = ServerMessage(0x31);
  closing.insert(closing.end(), after.begin(), after.end());
  server_.Send(closing);
  ASSERT_TRUE(WaitFor([&] { return d.V7MessageCount() == 2; }));
  EXPECT_TRUE(d.ServerCloseRequested());
  EXPECT_TRUE(ui_.closed);
  EXPECT_TRUE(ui_.dialogPasswords.empty());
  EXPECT_FALSE(d.CommPortDriver1().IsPortOpen());
  EXPECT_TRUE(ui_.errors.empty());
}

TEST_F(EngineV7Test, IncompleteMessageOfALostConnectionIsNotCarriedOver) {
  Driver& d = Started();
  ASSERT_TRUE(WaitConnected());
  const auto m = ServerMessage(0x30);
  server_.Send({m.begin(), m.begin() + 100});
  RunFor(50);
  server_.CloseClient();
  ASSERT_TRUE(WaitFor([&] { return !d.V7Connected(); }));
  ASSERT_TRUE(WaitFor([&] { return d.V7Connected(); }, 6000));
  server_.Send(m);
  ASSERT_TRUE(WaitFor([&] { return d.V7MessageCount() == 1; }));
}

TEST_F(EngineV7Test, EventsGoOnTheLinkOrIntoDdkFiles) {
  Driver& d = Started();
  const std::string frame = "9015 120123E13001015\x14";
  const std::vector<std::uint8_t> bytes(frame.begin(), frame.end());

  // Link down: spooled, byte for byte what would have been sent.
  d.CommPortDriver1ReceivePacket(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  const auto spooled = Files(".ddk");
  ASSERT_EQ(spooled.size(), 1u);
  const auto file = FileBytes(spooled[0]);
  ASSERT_EQ(file.size(), 555u);
  EXPECT_EQ(file[2], 0x15);
  EXPECT_EQ(file[5], 0xBB);  // object number 40123
  EXPECT_EQ(file[6], 0x9C);

  ASSERT_TRUE(WaitConnected());
  // The service timer may send the spooled file meanwhile: the server's stream is counted whole.
  d.CommPortDriver1ReceivePacket(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  // Its file, and the one spooled before, go once the server's system acknowledged them.
  const auto events = [&] {
    int n = 0;
    for (std::size_t at = 0; at + 555 <= server_.Received().size(); at += 555)
      n += server_.Received()[at + 2] == 0x15;
    return n;
  };
  ASSERT_TRUE(WaitFor([&] {
    d.Timer2Timer();
    return Files(".ddk").empty() && events() >= 2;
  }));
  d.Timer2Timer();
  EXPECT_EQ(events(), 2) << "each once";
}

TEST_F(EngineV7Test, MessageTheSocketRefusesIsSpooledNotLost) {
  Driver& d = Started();
  ASSERT_TRUE(WaitConnected());
  server_.ResetClient();
  usleep(50 * 1000);  // the reset reaches the client's socket, the client has not seen it yet
  const std::uint8_t lost[2] = {0xFF, 'H'};
  // The first send after a reset may still be taken by the kernel; a second one fails for sure.
  d.SendStatusMessage(lost);
  d.SendStatusMessage(lost);
  EXPECT_FALSE(d.V7Connected());
  ASSERT_GE(Files(".ddk").size(), 1u);
  for (const auto& f : Files(".ddk")) {
    EXPECT_NE(f.find("_-1.ddk"), std::string::npos) << f;
    EXPECT_EQ(FileBytes(f)[2], 'H');
  }
}

// An event frame for account `account` (object number 40000 + account).
std::vector<std::uint8_t> EventFrame(int account) {
  char text[32];
  std::snprintf(text, sizeof text, "9015 12%04dE13001015\x14", account);
  return {text, text + std::strlen(text)};
}

void HandOver(Driver& d, int account) {
  const auto frame = EventFrame(account);
  d.CommPortDriver1ReceivePacket(frame.data(), static_cast<std::uint32_t>(frame.size()));
}

// The object numbers of the whole event messages in `bytes`.
std::set<std::int32_t> EventObjects(const std::vector<std::uint8_t>& bytes) {
  std::set<std::int32_t> objects;
  for (std::size_t at = 0; at + 555 <= bytes.size(); at += 555) {
    if (bytes[at + 2] != 0x15)
      continue;
    std::int32_t object;
    std::memcpy(&object, &bytes[at + 5], 4);
    objects.insert(object);
  }
  return objects;
}

// A server that accepts, stops reading, then resets. Every event is in a .ddk file before its
// acknowledgement, at most the window's messages go out without the server's TCP acknowledging
// them, and a file goes only once it has: after the reset nothing is lost but what the server's
// own system had acknowledged and not yet read, and every other event follows on the next
// connection.
TEST_F(EngineV7Test, ServerThatStopsReadingThenResetsLosesOnlyWhatItsOwnSystemTook) {
  Driver& d = Started();
  ASSERT_TRUE(WaitConnected());
  server_.ClearReceived();
  server_.SetReading(false);
  const int small = 16384;
  ::setsockopt(d.SimpleTCPClient1().Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  constexpr int kEvents = 200;
  for (int account = 1; account <= kEvents; ++account)
    HandOver(d, account);
  const std::size_t spooled = Files(".ddk").size();
  EXPECT_GT(spooled, V7DeliveryWindow::kMaxInFlight);
  const auto& client = d.SimpleTCPClient1();
  EXPECT_LE(client.StreamEnd() - client.AcknowledgedBytes(), V7DeliveryWindow::kMaxInFlight * 555u)
      << "a server that does not read holds the window's messages unacknowledged, not thousands";

  // The server takes what reached it, then resets; what the driver's system still held is lost.
  server_.SetReading(true);
  server_.Poll();
  std::vector<std::uint8_t> first = server_.Received();
  server_.ResetClient();
  server_.ClearReceived();
  ASSERT_TRUE(WaitFor([&] { return !d.V7Connected(); }));

  // One spooled message per tick of the service timer.
  ASSERT_TRUE(WaitFor([&] { return d.V7Connected(); }, 6000));
  std::set<std::int32_t> second;
  ASSERT_TRUE(WaitFor(
      [&] {
        d.Timer2Timer();
        second = EventObjects(server_.Received());
        return Files(".ddk").empty();
      },
      10000));
  std::set<std::int32_t> seen = EventObjects(first);
  seen.insert(second.begin(), second.end());
  const auto missing = kEvents - seen.size();
  EXPECT_LE(missing, V7DeliveryWindow::kMaxInFlight)
      << "events lost beyond what the server's own system took after it last read";
}

// An orderly stop while the server reads late: the sending side is shut and the server gets a
// bounded time to acknowledge; nothing is reset away, and every event is at the server or in a
// .ddk file for the next start.
TEST_F(EngineV7Test, OrderlyStopWhileTheServerReadsLateLosesNothing) {
  Driver& d = Started();
  ASSERT_TRUE(WaitConnected());
  server_.ClearReceived();
  server_.SetReading(false);
  constexpr int kEvents = 60;
  for (int account = 1; account <= kEvents; ++account)
    HandOver(d, account);
  d.Shutdown();

  server_.SetReading(true);  // it reads to the end of what it was sent
  for (int i = 0; i < 200 && server_.HasClient(); ++i) {
    server_.Poll();
    usleep(10 * 1000);
  }
  std::set<std::int32_t> seen = EventObjects(server_.Received());
  const auto atTheServer = seen.size();
  for (const std::string& file : Files(".ddk")) {
    const auto kept = EventObjects(FileBytes(file));
    seen.insert(kept.begin(), kept.end());
  }
  EXPECT_GT(atTheServer, 0u);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kEvents)) << "events lost at the stop";
}

// A server that closes right after an event: the driver sees the close before its next writes, so
// the events that follow are spooled, not written into the half-closed connection.
TEST_F(EngineV7Test, EventsAfterTheServerClosedAreSpooled) {
  Driver& d = Started();
  ASSERT_TRUE(WaitConnected());
  server_.ClearReceived();
  HandOver(d, 1);
  ASSERT_TRUE(WaitFor([&] { return server_.Received().size() >= 555; }));
  server_.CloseClient();
  usleep(50 * 1000);  // the close reaches the driver's socket; the driver has not handled it yet
  for (int account = 2; account <= 5; ++account)
    HandOver(d, account);
  // The first message's file went once the server's system had acknowledged it.
  EXPECT_EQ(Files(".ddk").size(), 4u);

  // The driver reconnects and its service timer sends them.
  server_.ClearReceived();
  ASSERT_TRUE(WaitFor(
      [&] {
        d.Timer2Timer();
        return Files(".ddk").empty() && EventObjects(server_.Received()).size() == 4;
      },
      8000));
  EXPECT_EQ(server_.Accepted(), 2);
  EXPECT_EQ(EventObjects(server_.Received()), (std::set<std::int32_t>{40002, 40003, 40004, 40005}));
}

// A server that floods the link with junk: the driver takes it in bounded pieces between its other
// work, so a receiver frame is still acknowledged while the junk streams.
TEST_F(EngineV7Test, ReceiverIsServedWhileTheServerFloodsJunk) {
  Driver& d = Started();
  ASSERT_TRUE(WaitConnected());
  const int fd = server_.ClientFd();
  const int large = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &large, sizeof large);
  std::atomic<bool> flooding = true, stop = false;
  std::thread flood([&] {
    const std::vector<std::uint8_t> junk(1 << 20, 0x5A);
    for (std::size_t sent = 0; !stop && sent < (128u << 20);) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0)
        break;
      const ssize_t n = ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (errno != EAGAIN)
        break;
    }
    flooding = false;
  });
  ::usleep(50 * 1000);  // the junk is streaming

  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  const auto frame = EventFrame(1);
  ASSERT_EQ(::write(master_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  bool ackedWhileFlooding = false;
  const bool acked = RunUntil(
      [&] {
        clock_.AdvanceMs(5);  // the serial port's packet boundary counts on this clock
        char c = 0;
        if (::read(master_, &c, 1) != 1 || c != 0x06)
          return false;
        ackedWhileFlooding = flooding;
        return true;
      },
      20000);
  stop = true;
  flood.join();
  ASSERT_TRUE(acked);
  EXPECT_TRUE(ackedWhileFlooding);
  EXPECT_TRUE(d.V7Connected());
}

TEST_F(EngineV7Test, StatusMessageSpoolNameCarriesNAbs) {
  WriteIni("[main]\nSendV7=1\nhost=127.0.0.9\nn_abs=12\nPathForSoob=" + dir_ + "/\n");
  Driver& d = MakeDriver();
  d.Start();
  const std::uint8_t restored[2] = {0xFF, 'I'};
  d.SendStatusMessage(restored);
  const auto files = Files(".ddk");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find("_12.ddk"), std::string::npos) << files[0];
  const auto bytes = FileBytes(files[0]);
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 9)),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 'I', 0, 0, 9, 0, 0, 0}));
}

TEST_F(EngineV7Test, LinkOffCreatesNoSocket) {
  WriteIni("[main]\nSendV7=0\nhost=" + host_ + "\n");
  Driver& d = MakeDriver();
  d.Start();
  d.Timer3Timer();
  RunFor(100);
  server_.Poll();
  EXPECT_EQ(server_.Accepted(), 0);
  EXPECT_EQ(d.SimpleTCPClient1().Socket(), -1);
}

}  // namespace
}  // namespace drvnt::testing
