// The V8 worker against servers that misbehave the way real ones do under load or while they
// restart: a reply that comes late, probes in place of acknowledgements, a reply trickled a byte
// at a time, a server that stops reading. Whatever they do, no reply may count for a packet it does
// not answer, a live record that is not acknowledged is handed back to be spooled, a spooled one
// keeps its file, and nothing holds the worker beyond its bounds.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "v8link/v8_worker_rig.h"

namespace drvnt {
namespace {

using namespace testing;  // the rig: server, host, worker

using SteadyClock = std::chrono::steady_clock;

long MsSince(SteadyClock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t0).count());
}

std::string SpoolFile(const TempDir& dir, const std::string& name) {
  const std::string path = dir.Path() + "/" + name;
  std::ofstream(path) << "dd8";
  return path;
}

bool IsEvent(const ServerPacket& p, std::uint8_t tag) {
  return p.type == kEventRecordType && !p.body.empty() && p.body[0] == tag;
}

std::vector<ServerPacket> OnConnection(const V8TestServer& server, int connection) {
  std::vector<ServerPacket> out;
  for (const ServerPacket& p : server.Packets()) {
    if (p.connection == connection)
      out.push_back(p);
  }
  return out;
}

// A well-behaved server: event records acknowledged, everything else answered with a poll.
ServerAction Plain(const ServerPacket& p) {
  return ServerAction{Reply(p.type == kEventRecordType ? kEventAckType : kPollType)};
}

// A reply that comes after the driver has given up on it is never read: the driver ends the
// connection, so that the late acknowledgement cannot pass for the reply to the next packet. The
// unconfirmed record goes again: a live one is handed back to be spooled, a spooled one keeps its
// file and is acknowledged on the next connection.
TEST(V8WorkerOutOfStep, LateReplyEndsTheConnectionAndCountsForNothing) {
  TempDir dir;
  const std::string spooled = SpoolFile(dir, "0C.dd8");
  Rig rig([](const ServerPacket& p) {
    ServerAction a = Plain(p);
    const bool late = (p.connection == 0 && IsEvent(p, 1)) || (p.connection == 1 && IsEvent(p, 3));
    a.delayMs = late ? 1500 : 0;
    return a;
  });
  HangupFirst hangup{rig.server};
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.worker.Enqueue(kEventRecordType, EventBody(1));
  rig.worker.Enqueue(kEventRecordType, EventBody(2));
  rig.worker.Enqueue(kEventRecordType, EventBody(3), spooled);

  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));
  EXPECT_FALSE(rig.worker.IsConnected());
  EXPECT_TRUE(rig.HasLine(kNetworkErrors));
  EXPECT_EQ(OnConnection(rig.server, 0).size(), 5u);  // the hello set and record 1, nothing after
  EXPECT_EQ(rig.host.Unconfirmed(), std::vector<Wire>{EventBody(1)});

  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(1); }));
  const auto second = OnConnection(rig.server, 1);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_TRUE(IsEvent(second[0], 2));
  EXPECT_TRUE(IsEvent(second[1], 3));
  EXPECT_TRUE(std::filesystem::exists(spooled));  // its acknowledgement came too late
  EXPECT_EQ(rig.host.Unconfirmed(), std::vector<Wire>{EventBody(1)});

  // The service timer hands the file over again; on a clean connection its acknowledgement counts.
  rig.worker.Enqueue(kEventRecordType, EventBody(3), spooled);
  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(Eventually([&] { return !std::filesystem::exists(spooled); }));
  EXPECT_TRUE(IsEvent(OnConnection(rig.server, 2).at(0), 3));
  ASSERT_TRUE(Eventually([&] { return rig.worker.QueuedPackets() == 0; }));
  EXPECT_TRUE(rig.worker.IsConnected());
  EXPECT_EQ(rig.host.Unconfirmed(), std::vector<Wire>{EventBody(1)});
}

// The server sends nothing unasked. Bytes found waiting before a request would be read as its
// reply although they answer none of it: the connection ends before the request is written, with
// the line of a late reply. The record stays queued, unconfirmed, and goes first on the next
// connection, where its own acknowledgement confirms it.
TEST(V8WorkerOutOfStep, UnaskedPacketBeforeARequestEndsTheConnectionAndConfirmsNothing) {
  struct Case {
    const char* name;
    bool afterRecord1;  // the stray comes after the reply to record 1, else after the hello set
    Wire stray;
    int strayAfterMs;
  };
  const Case cases[] = {
      {"an acknowledgement nobody asked for, after the hello set", false, Reply(kEventAckType), 50},
      {"a probe nobody asked for, after the hello set", false, Reply(kProbeType), 50},
      {"the acknowledgement of record 1, after its reply wait", true, Reply(kEventAckType), 1100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig([&c](const ServerPacket& p) {
      if (p.connection != 0)
        return Plain(p);
      if (IsEvent(p, 2))
        return ServerAction{};  // never answered: only the stray could confirm it
      const bool strayHere = c.afterRecord1 ? IsEvent(p, 1) : p.index == 3;
      if (!strayHere)
        return Plain(p);
      ServerAction a{Reply(kPollType)};
      a.unasked = c.stray;
      a.unaskedAfterMs = c.strayAfterMs;
      return a;
    });
    HangupFirst hangup{rig.server};
    rig.worker.Start();
    ASSERT_TRUE(rig.WaitExchanges(4));
    std::vector<Wire> handedBack;
    if (c.afterRecord1) {
      rig.worker.Enqueue(kEventRecordType, EventBody(1));
      ASSERT_TRUE(rig.WaitExchanges(5));
      handedBack.push_back(EventBody(1));  // answered by a poll in step
    }
    Pause(c.strayAfterMs + 200);
    rig.worker.Enqueue(kEventRecordType, EventBody(2));

    ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }, 3000));
    EXPECT_TRUE(rig.HasLine(kNetworkErrors));
    EXPECT_FALSE(rig.worker.IsConnected());
    for (const ServerPacket& p : OnConnection(rig.server, 0))
      EXPECT_FALSE(IsEvent(p, 2));
    EXPECT_EQ(rig.worker.QueuedPackets(), 1);
    EXPECT_EQ(rig.host.Unconfirmed(), handedBack);

    rig.clock.AdvanceMs(5001);
    ASSERT_TRUE(rig.server.WaitForPackets(OnConnection(rig.server, 0).size() + 5));
    EXPECT_TRUE(IsEvent(OnConnection(rig.server, 1).at(0), 2));
    ASSERT_TRUE(Eventually([&] { return rig.worker.QueuedPackets() == 0; }));
    EXPECT_TRUE(rig.worker.IsConnected());
    EXPECT_EQ(rig.host.Unconfirmed(), handedBack);
  }
}

// Two transmissions where one reply was asked for: which of them answers the record no one can
// tell, so neither confirms it, and the connection ends at once.
TEST(V8WorkerOutOfStep, PacketBehindAReplyMakesItCountForNothing) {
  Rig rig([](const ServerPacket& p) {
    if (!IsEvent(p, 1) || p.connection != 0)
      return Plain(p);
    Wire both = Reply(kEventAckType);  // unasked, ahead of the real reply
    const Wire poll = Reply(kPollType);
    both.insert(both.end(), poll.begin(), poll.end());
    return ServerAction{both};
  });
  HangupFirst hangup{rig.server};
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.worker.Enqueue(kEventRecordType, EventBody(1));
  ASSERT_TRUE(rig.WaitExchanges(5));
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }, 3000));
  EXPECT_TRUE(rig.HasLine(kNetworkErrors));
  EXPECT_EQ(rig.host.Unconfirmed(), std::vector<Wire>{EventBody(1)});
}

// Only an event acknowledgement confirms an event record; any other reply in step leaves a live
// record to be spooled and keeps the connection.
TEST(V8WorkerOutOfStep, OnlyAnAcknowledgementConfirmsAnEventRecord) {
  testing::ReplyShape brokenEnd;
  brokenEnd.type = kEventAckType;
  brokenEnd.packetEnd = 0x00;
  struct Case {
    const char* name;
    Wire reply;
    bool confirmed;
  };
  const Case cases[] = {
      {"event acknowledgement", Reply(kEventAckType), true},
      {"poll", Reply(kPollType), false},
      {"accepted", Reply(kAcceptedType), false},
      {"probe", Reply(kProbeType), false},
      {"a type of no meaning", Reply(0x12345678), false},
      {"acknowledgement with a wrong end marker", EncodeReply(brokenEnd), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig([&c](const ServerPacket& p) {
      return p.type == kEventRecordType ? ServerAction{c.reply} : Plain(p);
    });
    rig.worker.Start();
    ASSERT_TRUE(rig.WaitExchanges(4));
    rig.worker.Enqueue(kEventRecordType, EventBody(1));
    ASSERT_TRUE(rig.WaitExchanges(5));
    EXPECT_EQ(rig.host.Unconfirmed().empty(), c.confirmed);
    EXPECT_TRUE(rig.worker.IsConnected());
    EXPECT_FALSE(rig.server.Ended(0));
  }
}

// A server that stops reading but keeps sending probes: each record "answered" by a probe is
// unconfirmed. Every live one is handed back; the spooled one keeps its file.
TEST(V8WorkerOutOfStep, ProbesFromAServerThatStoppedReadingConfirmNothing) {
  TempDir dir;
  const std::string spooled = SpoolFile(dir, "0D.dd8");
  Rig rig([](const ServerPacket& p) {
    if (p.type != kEventRecordType)
      return Plain(p);
    ServerAction a{Reply(kProbeType)};
    a.stopReading = true;
    a.repeat = Reply(kProbeType);
    a.repeatEveryMs = 20;
    return a;
  });
  HangupFirst hangup{rig.server};
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  std::vector<Wire> live;
  for (std::uint8_t tag = 1; tag <= 5; ++tag) {
    live.push_back(EventBody(tag));
    rig.worker.Enqueue(kEventRecordType, live.back());
  }
  rig.worker.Enqueue(kEventRecordType, EventBody(6), spooled);
  ASSERT_TRUE(rig.WaitExchanges(10));
  EXPECT_TRUE(Eventually([&] { return rig.host.Unconfirmed().size() >= live.size(); }));
  EXPECT_EQ(rig.host.Unconfirmed(), live);
  EXPECT_TRUE(std::filesystem::exists(spooled));
}

// A header announcing a megabyte and then a byte now and then: each read gets something, so only
// the deadline of the whole reply (2000 ms after the request) ends the exchange.
TEST(V8WorkerOutOfStep, TrickledReplyIsCutAtItsDeadline) {
  Rig rig([](const ServerPacket& p) {
    if (!IsEvent(p, 1))
      return Plain(p);
    ServerAction a{TransportHeaderOnly(0xFF, 1000000, 1000000)};
    a.repeat = {0xFF};
    a.repeatEveryMs = 100;
    return a;
  });
  HangupFirst hangup{rig.server};
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  const auto t0 = SteadyClock::now();
  rig.worker.Enqueue(kEventRecordType, EventBody(1));
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }, 6000));
  EXPECT_LT(MsSince(t0), 4000);
  EXPECT_FALSE(rig.worker.IsConnected());
  EXPECT_TRUE(rig.HasLine(kNetworkErrors));
  EXPECT_EQ(rig.host.Unconfirmed(), std::vector<Wire>{EventBody(1)});
}

// A server that stops reading: once the system's buffers are full a write can go no further. It is
// given up after its bound (1000 ms), which ends the connection.
struct StopsReadingAfterTheHelloSet : Rig {
  StopsReadingAfterTheHelloSet()
      : Rig([](const ServerPacket& p) {
          ServerAction a = Plain(p);
          a.stopReading = p.connection == 0 && p.index == 3;
          return a;
        }) {}
  // More than the buffers of both ends hold.
  const Wire big = Wire(16 << 20, 0x5A);
};

TEST(V8WorkerWrite, AWriteTheServerDoesNotTakeIsGivenUpAfterItsBound) {
  StopsReadingAfterTheHelloSet rig;
  HangupFirst hangup{rig.server};
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  const auto t0 = SteadyClock::now();
  rig.worker.Enqueue(kVersionType, rig.big);
  ASSERT_TRUE(Eventually([&] { return rig.HasLine(kNetworkErrors); }));
  EXPECT_LT(MsSince(t0), 4000);
  EXPECT_FALSE(rig.worker.IsConnected());
}

// A stop wakes a write as it wakes a connect; the live record behind it is taken back.
TEST(V8WorkerWrite, StopWakesABlockedWrite) {
  StopsReadingAfterTheHelloSet rig;
  HangupFirst hangup{rig.server};
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.worker.Enqueue(kVersionType, rig.big);
  rig.worker.Enqueue(kEventRecordType, EventBody(7));
  Pause(200);  // the write is stuck now, 800 ms short of its bound
  const auto t0 = SteadyClock::now();
  rig.worker.Stop();
  EXPECT_TRUE(Eventually([&] { return rig.worker.Finished(); }, 500));
  EXPECT_LT(MsSince(t0), 500);
  rig.server.Hangup();
  rig.worker.Join();
  EXPECT_EQ(rig.worker.TakeUnsentEventRecords(), std::vector<Bytes>{EventBody(7)});
}

// A port or address that no attempt can use is said once on standard error, again only when the
// reason changes; the attempts go on, and a usable setting connects.
TEST(V8WorkerConnection, UnusableAddressOrPortIsReportedOnceAndAgainWhenItChanges) {
  Rig rig(Plain);
  rig.host.SetPort(99999999);
  rig.worker.Start();
  ASSERT_TRUE(Eventually([&] { return rig.Lines().size() == 1; }));
  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(Eventually([&] { return rig.Lines().size() == 2; }));
  Pause(50);
  ASSERT_EQ(rig.host.Problems().size(), 1u);
  EXPECT_NE(rig.host.Problems()[0].find("Port=99999999"), std::string::npos);

  rig.host.SetPort(rig.server.Port());
  rig.host.SetAddress("10.0.0.300");
  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(Eventually([&] { return rig.Lines().size() == 3; }));
  Pause(50);
  ASSERT_EQ(rig.host.Problems().size(), 2u);
  EXPECT_NE(rig.host.Problems()[1].find("Address=10.0.0.300"), std::string::npos);

  rig.host.SetAddress(kV8TestAddress);
  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(Eventually([&] { return rig.worker.IsConnected(); }));
  EXPECT_EQ(rig.host.Problems().size(), 2u);
  EXPECT_FALSE(rig.HasLine(kNetworkErrors));
}

}  // namespace
}  // namespace drvnt
