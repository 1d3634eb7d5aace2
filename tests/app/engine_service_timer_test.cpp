// The service timer: resending spooled .ddk files over the V7 link and .dd8 files to the V8 link,
// setting aside spool files that cannot be used, and supervising the receiver link.

#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "engine_fixture.h"
#include "loopback_server.h"
#include "support/run_until.h"

namespace drvnt::testing {
namespace {

class ServiceTimerTest : public EngineTest {
 protected:
  Driver& Started(const std::string& extra) {
    std::filesystem::create_directory(dir_ + "/spool");
    WriteIni("[main]\nhost=" + DottedAddress(address_) + "\nPathForSoob=" + dir_ + "/spool/\n" +
             extra);
    Driver& d = MakeDriver();
    d.Start();
    return d;
  }

  void Spool(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(dir_ + "/spool/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  }

  static std::vector<std::uint8_t> V7File(std::uint8_t marker) {
    std::vector<std::uint8_t> m(555, 0);
    m[0] = m[1] = 0xFF;
    m[2] = 0x15;
    m[3] = marker;
    return m;
  }

  static std::vector<std::uint8_t> Dd8File(std::uint8_t marker) {
    std::vector<std::uint8_t> f = {0x32, 0x00, 0x00, 0x03, 0x18, marker};
    f.resize(26, 0);
    return f;
  }

  bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    return RunUntilServed(server_, done, ms);
  }

  const std::uint32_t address_ = OwnLoopbackAddress(4);
  // A small receive buffer: a server that stops reading fills up soon.
  LoopbackServer server_{address_, 7788, 16384};
};

TEST_F(ServiceTimerTest, DdkFilesGoOnePerTickWhileTheV7LinkIsUp) {
  Driver& d = Started("SendV7=1\n");
  for (std::uint8_t i = 1; i <= 3; ++i)
    Spool(std::to_string(i) + ".ddk", V7File(i));
  Spool("short.ddk", {0xFF, 0xFF, 0x15, 4});

  // Link still down: every file stays, and the receiver link's "I" of the first tick joins them.
  d.Timer2Timer();
  ASSERT_EQ(Files(".ddk").size(), 5u);

  ASSERT_TRUE(WaitFor([&] { return d.V7Connected() && server_.Received().size() >= 1110; }));
  server_.ClearReceived();
  // A file goes once the server's system has acknowledged its message, at a later tick.
  for (int tick = 1; tick <= 5; ++tick) {
    d.Timer2Timer();
    EXPECT_TRUE(WaitFor([&] { return server_.Received().size() >= tick * 555u; })) << tick;
  }
  ASSERT_TRUE(WaitFor([&] {
    d.Timer2Timer();
    return Files(".ddk").empty();
  }));
  ASSERT_EQ(server_.Received().size(), 5 * 555u) << "each file once";
  // Every message whole; the short file went out zero-filled to 555 bytes.
  std::vector<int> markers;
  for (std::size_t at = 0; at < server_.Received().size(); at += 555) {
    markers.push_back(server_.Received()[at + 3]);
    if (server_.Received()[at + 3] == 4) {
      EXPECT_TRUE(std::all_of(server_.Received().begin() + static_cast<long>(at) + 4,
                              server_.Received().begin() + static_cast<long>(at) + 555,
                              [](std::uint8_t b) { return b == 0; }));
    }
  }
  std::sort(markers.begin(), markers.end());
  EXPECT_EQ(markers, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(ServiceTimerTest, DdkFileWhoseSendFailsIsKept) {
  Driver& d = Started("SendV7=1\n");
  ASSERT_TRUE(WaitFor([&] { return d.V7Connected() && server_.Received().size() >= 1110; }));
  Spool("1.ddk", V7File(1));
  server_.ResetClient();
  usleep(50 * 1000);
  const std::uint8_t probe[2] = {0xFF, 'I'};
  // The first send after a reset may still be taken; the status message sent first takes it.
  d.SendStatusMessage(probe);
  d.Timer2Timer();
  EXPECT_FALSE(d.V7Connected());
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/spool/1.ddk"));
}

// A server that stops reading: a .ddk file goes only once the server's system acknowledged its
// message, at most the window's messages wait for that at once, and every file reaches the server
// once it reads again.
TEST_F(ServiceTimerTest, DdkFilesStayWhileTheServerDoesNotRead) {
  Driver& d = Started("SendV7=1\n");
  ASSERT_TRUE(WaitFor([&] { return d.V7Connected() && server_.Received().size() >= 1110; }));
  d.Timer2Timer();  // the receiver link's first "I" goes now
  server_.ClearReceived();
  server_.SetReading(false);
  const int small = 16384;
  ::setsockopt(d.SimpleTCPClient1().Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  constexpr int kFiles = 200;
  for (int i = 1; i <= kFiles; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%03d.ddk", i);
    Spool(name, V7File(static_cast<std::uint8_t>(i)));
  }

  // One file per tick, each deleted once acknowledged, until the server's buffers are full: then
  // the window is full and the files stay.
  std::size_t left = kFiles;
  for (int unchanged = 0; unchanged < 10;) {
    d.Timer2Timer();
    usleep(5 * 1000);  // time for the acknowledgements of the last messages
    const std::size_t now = Files(".ddk").size();
    unchanged = now == left ? unchanged + 1 : 0;
    left = now;
  }
  EXPECT_GT(left, V7DeliveryWindow::kMaxInFlight);
  EXPECT_TRUE(d.V7Connected());

  server_.SetReading(true);
  std::set<int> markers;
  ASSERT_TRUE(WaitFor([&] {
    d.Timer2Timer();
    const auto& got = server_.Received();
    for (std::size_t at = 0; at + 555 <= got.size(); at += 555) {
      if (got[at + 2] == 0x15)
        markers.insert(got[at + 3]);
    }
    return markers.size() == kFiles;
  }));
  EXPECT_TRUE(Files(".ddk").empty());
}

TEST_F(ServiceTimerTest, Dd8FileIsHandedOverEveryThreeSecondsUntilAcknowledged) {
  Driver& d = Started("SendV8=1\n");
  Spool("A.dd8", Dd8File(1));

  d.Timer2Timer();  // link down: left alone
  EXPECT_TRUE(v8_->queued.empty());

  v8_->connected = true;
  d.Timer2Timer();
  ASSERT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(v8_->queued[0].type, 0x03000032u);
  const auto file = Dd8File(1);
  EXPECT_EQ(v8_->queued[0].body, (std::vector<std::uint8_t>(file.begin() + 4, file.end())));
  EXPECT_EQ(v8_->queued[0].spoolFile, dir_ + "/spool/A.dd8");
  EXPECT_EQ(d.HandOver().PendingDd8File(), dir_ + "/spool/A.dd8");

  for (int i = 0; i < 15; ++i) {  // 3 s of ticks: not again yet
    clock_.AdvanceMs(200);
    d.Timer2Timer();
  }
  EXPECT_EQ(v8_->queued.size(), 1u);
  clock_.AdvanceMs(200);
  d.Timer2Timer();
  EXPECT_EQ(v8_->queued.size(), 1u) << "not again while its record still waits in the queue";
  // The worker's exchange of it ended without an acknowledgement: the file waits for a tick.
  d.HandOver().ReleaseQueued(dir_ + "/spool/A.dd8");
  d.Timer2Timer();
  EXPECT_EQ(v8_->queued.size(), 2u);  // more than 3 s later: handed over again
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/spool/A.dd8"));

  // The worker acknowledges: it deletes the file and lets the next one go at the next tick.
  std::filesystem::remove(dir_ + "/spool/A.dd8");
  d.HandOver().ReleaseQueued(dir_ + "/spool/A.dd8");
  Spool("B.dd8", Dd8File(2));
  d.HandOver().LetNextDd8GoAtOnce();
  d.Timer2Timer();
  ASSERT_EQ(v8_->queued.size(), 3u);
  EXPECT_EQ(v8_->queued[2].body[1], 2);
}

TEST_F(ServiceTimerTest, Dd8FilesStayWithTheV8LinkOff) {
  Driver& d = Started("SendV8=0\n");
  Spool("A.dd8", Dd8File(1));
  d.Timer2Timer();
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/spool/A.dd8"));
  EXPECT_EQ(v8_, nullptr);
}

TEST_F(ServiceTimerTest, UnusableSpoolFileIsSetAsideAndTheNextOneStillGoes) {
  Driver& d = Started("SendV8=1\n");
  v8_->connected = true;
  Spool("bad.dd8", {0x32, 0x00});  // shorter than a record type
  Spool("good.dd8", Dd8File(7));
  ::testing::internal::CaptureStderr();
  d.Timer2Timer();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(v8_->queued[0].body[1], 7);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/spool/bad.dd8.bad"));
  EXPECT_NE(err.find("bad.dd8"), std::string::npos) << err;
  EXPECT_TRUE(ui_.errors.empty());
}

TEST_F(ServiceTimerTest, ReceiverSupervisionReportsOnlyChanges) {
  Driver& d = Started("SendV7=1\nAttention=0:01:00\nn_abs=-1\n");
  ASSERT_TRUE(WaitFor([&] { return d.V7Connected() && server_.Received().size() >= 1110; }));
  server_.ClearReceived();
  auto statuses = [&] {
    server_.Poll();
    std::string s;
    for (std::size_t at = 0; at + 555 <= server_.Received().size(); at += 555) {
      s += static_cast<char>(server_.Received()[at + 2]);
    }
    return s;
  };

  d.Timer2Timer();  // first tick after start-up: restored
  EXPECT_TRUE(d.ReceiverLinkOk());
  clock_.AdvanceMs(60000);  // silent for exactly the attention time: still alive
  d.Timer2Timer();
  EXPECT_TRUE(d.ReceiverLinkOk());
  clock_.AdvanceMs(200);
  d.Timer2Timer();
  EXPECT_FALSE(d.ReceiverLinkOk());
  d.Timer2Timer();
  clock_.AdvanceMs(200000);
  d.Timer2Timer();
  ASSERT_TRUE(WaitFor([&] { return statuses().size() >= 2; }));
  RunFor(50);
  EXPECT_EQ(statuses(), "IH");
  const auto paints = ui_.PaintsOf(LinkGlyph::Receiver);
  ASSERT_EQ(paints.size(), 2u);
  EXPECT_TRUE(paints[0].linkUp);
  EXPECT_FALSE(paints[1].linkUp);

  // A frame brings the link back; with the V7 link down the status message is spooled.
  server_.CloseClient();
  ASSERT_TRUE(WaitFor([&] { return !d.V7Connected(); }));
  const std::string frame = "1011\x14";
  d.CommPortDriver1ReceivePacket(reinterpret_cast<const std::uint8_t*>(frame.data()), 5);
  d.Timer2Timer();
  EXPECT_TRUE(d.ReceiverLinkOk());
  const auto spooled = Files(".ddk");
  ASSERT_EQ(spooled.size(), 1u);
  EXPECT_EQ(FileBytes(spooled[0])[2], 'I');
}

// The wall clock is stepped (the V7 server's time message, daylight saving, NTP) while the
// monotonic tick runs on: the supervision judges the silence by the tick alone.
TEST_F(ServiceTimerTest, ReceiverSupervisionIsNotMisledByStepsOfTheWallClock) {
  constexpr double kHour = 1.0 / 24;
  struct Case {
    const char* name;
    double step;  // days, between two frames
    bool framesKeepComing;
    std::uint32_t startTicks;
  };
  const Case cases[] = {
      {"2 h forward, live receiver", 2 * kHour, true, 1000},
      {"2 h back, live receiver", -2 * kHour, true, 1000},
      {"2 h forward, silent receiver", 2 * kHour, false, 1000},
      {"2 h back, silent receiver", -2 * kHour, false, 1000},
      {"tick wraps, silent receiver", 0, false, 0xFFFFF000u},
  };
  const std::string frame = "1011\x14";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock_.SetTicks(c.startTicks);
    Driver& d = Started("SendV7=0\nAttention=0:00:08\n");
    d.Timer2Timer();
    ASSERT_TRUE(d.ReceiverLinkOk());
    d.CommPortDriver1ReceivePacket(reinterpret_cast<const std::uint8_t*>(frame.data()), 5);
    std::string changes;  // "H" or "I" and the silence in ms, for each change
    int silentMs = 0;
    for (int ms = 200; ms <= 20000; ms += 200) {
      clock_.AdvanceMs(200);
      silentMs += 200;
      if (ms == 1400)
        clock_.SetNow(clock_.Now() + c.step);
      if (c.framesKeepComing && ms % 1000 == 0) {
        d.CommPortDriver1ReceivePacket(reinterpret_cast<const std::uint8_t*>(frame.data()), 5);
        silentMs = 0;
      }
      const bool wasOk = d.ReceiverLinkOk();
      d.Timer2Timer();
      if (d.ReceiverLinkOk() != wasOk)
        changes += (d.ReceiverLinkOk() ? "I@" : "H@") + std::to_string(silentMs) + " ";
    }
    // Alive after exactly `Attention` of silence, lost one tick later, and only then.
    EXPECT_EQ(changes, c.framesKeepComing ? "" : "H@8200 ");
  }
}

// After a hand-over that the V8 server does not acknowledge, the same file goes again 3 s later
// by the tick, whichever way the wall clock was stepped meanwhile.
TEST_F(ServiceTimerTest, Dd8PacingIsNotMisledByStepsOfTheWallClock) {
  constexpr double kHour = 1.0 / 24;
  struct Case {
    const char* name;
    double step;
    std::uint32_t startTicks;
  };
  const Case cases[] = {
      {"2 h forward", 2 * kHour, 1000},
      {"2 h back", -2 * kHour, 1000},
      {"tick wraps", 0, 0xFFFFF800u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock_.SetTicks(c.startTicks);
    Driver& d = Started("SendV8=1\n");
    Spool("A.dd8", Dd8File(1));
    v8_->connected = true;
    d.Timer2Timer();
    ASSERT_EQ(v8_->queued.size(), 1u);
    clock_.SetNow(clock_.Now() + c.step);
    for (int i = 0; i < 15; ++i) {  // 3 s of ticks: not again yet
      clock_.AdvanceMs(200);
      d.Timer2Timer();
    }
    EXPECT_EQ(v8_->queued.size(), 1u);
    // The worker's exchange of it ended without an acknowledgement.
    d.HandOver().ReleaseQueued(v8_->queued[0].spoolFile);
    clock_.AdvanceMs(200);
    d.Timer2Timer();
    EXPECT_EQ(v8_->queued.size(), 2u);
  }
}

// A worker faster than the main thread: the acknowledgement comes back before Enqueue has
// returned. The next file still goes at the next tick, not 3 s later.
TEST_F(ServiceTimerTest, Dd8AcknowledgedBeforeTheHandOverEndsLetsTheNextFileGoAtOnce) {
  Driver& d = Started("SendV8=1\n");
  Spool("A.dd8", Dd8File(1));
  Spool("B.dd8", Dd8File(2));
  v8_->connected = true;
  v8_->onEnqueue = [&](const FakeV8Worker::Packet& p) {
    std::filesystem::remove(p.spoolFile);
    d.HandOver().LetNextDd8GoAtOnce();
  };
  d.Timer2Timer();
  ASSERT_EQ(v8_->queued.size(), 1u);
  clock_.AdvanceMs(200);
  d.Timer2Timer();
  ASSERT_EQ(v8_->queued.size(), 2u);
  EXPECT_NE(v8_->queued[0].body[1], v8_->queued[1].body[1]);
  EXPECT_TRUE(Files(".dd8").empty());
}

TEST_F(ServiceTimerTest, WithTheV7LinkOffTheGlyphStillChangesAndNothingIsSent) {
  Driver& d = Started("SendV7=0\n");
  d.Timer2Timer();
  clock_.AdvanceMs(11 * 60 * 1000);
  d.Timer2Timer();
  EXPECT_EQ(ui_.PaintsOf(LinkGlyph::Receiver).size(), 2u);
  EXPECT_TRUE(Files(".ddk").empty());
  EXPECT_EQ(server_.Accepted(), 0);
}

}  // namespace
}  // namespace drvnt::testing
