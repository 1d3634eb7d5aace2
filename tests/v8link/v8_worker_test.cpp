// The V8 worker against a real loopback server that encodes and decodes its bytes itself. Pacing
// of connection attempts and polls runs on a FakeClock (started just before the 32-bit tick wrap);
// reply time-outs are real.

#include "v8link/v8_worker.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "v8link/v8_worker_rig.h"

namespace drvnt {
namespace {

using namespace testing;  // the rig: server, host, worker

TEST(V8WorkerConnection, QueuesTheHelloSetOnEveryNewConnection) {
  Rig rig(AnswerWith(kPollType));
  rig.host.SetFirstNumber(300);
  rig.spool.Dd8HandedOver("", kStartTicks);  // a new connection lets the next .dd8 file go
  rig.worker.Start();
  ASSERT_TRUE(rig.server.WaitForPackets(4));

  struct Expected {
    std::uint32_t type;
    Wire body;
  };
  const Expected expected[] = {
      {kHelloType, {0x1B, 0x00}},
      {kPortStatusType, {0x04, 0x43, 0x4F, 0x4D, 0x31, 0x00, 0x00, 0x01}},
      {kFirstNumberType, {44}},  // 300 mod 256
      {kVersionType, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}},
  };
  const auto packets = rig.server.Packets();
  ASSERT_EQ(packets.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const ServerPacket& p = packets[i];
    EXPECT_EQ(p.type, expected[i].type);
    EXPECT_EQ(p.sequence, static_cast<std::int64_t>(i));
    EXPECT_EQ(p.body, expected[i].body);
    const std::uint8_t n = static_cast<std::uint8_t>(18 + expected[i].body.size());
    EXPECT_EQ(p.wire.size(), 21u + n);
    EXPECT_EQ(p.wire[0], 0xFF);
    EXPECT_EQ(p.wire[5], n);
    EXPECT_EQ(p.wire[17], n);
    EXPECT_EQ(p.wire[21], 0xFF);
    EXPECT_EQ(p.wire[38], 0xFE);
  }
  EXPECT_EQ(rig.Lines(), (std::vector<std::string>{kConnecting, kConnected}));
  EXPECT_TRUE(rig.spool.NextDd8AtOnce());
  EXPECT_TRUE(rig.worker.IsConnected());
  EXPECT_EQ(rig.worker.PacketSize(), 2000);
}

// The drop order closes the connection without a word; the next attempt comes when due, with a
// fresh hello set whose sequence numbers carry on from the last connection.
TEST(V8WorkerConnection, DropOrderClosesAndReconnectsWhenDue) {
  Rig rig([](const ServerPacket& p) {
    const bool drop = p.connection == 0 && p.index == 3;
    return ServerAction{testing::Reply(drop ? kDropOrderType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));
  EXPECT_FALSE(rig.worker.IsConnected());
  rig.host.SetPortStatus({"COM1000", false});
  Pause(100);
  EXPECT_EQ(rig.server.Connections(), 1);

  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(rig.server.WaitForPackets(8));
  const auto packets = rig.server.Packets();
  for (std::size_t i = 4; i < 8; ++i) {
    EXPECT_EQ(packets[i].connection, 1);
    EXPECT_EQ(packets[i].sequence, static_cast<std::int64_t>(i));
  }
  EXPECT_EQ(packets[5].body, (Wire{0x06, 0x43, 0x4F, 0x4D, 0x31, 0x30, 0x30, 0x00}));
  EXPECT_EQ(rig.Lines(),
            (std::vector<std::string>{kConnecting, kConnected, kConnecting, kConnected}));
}

TEST(V8WorkerConnection, WithoutServerTriesEveryFiveSecondsReadingTheAddressAfresh) {
  Rig rig(AnswerWith(kPollType));
  rig.host.SetPort(UnusedPort());
  rig.worker.Start();
  ASSERT_TRUE(Eventually([&] { return rig.Lines().size() == 1; }));
  Pause(100);
  rig.clock.AdvanceMs(5000);  // not yet: more than 5000 ms must have passed
  Pause(100);
  EXPECT_EQ(rig.Lines(), std::vector<std::string>{kConnecting});
  EXPECT_EQ(rig.host.Steps(), 1);

  rig.clock.AdvanceMs(1);  // across the tick wrap
  ASSERT_TRUE(Eventually([&] { return rig.Lines().size() == 2; }));
  Pause(50);
  EXPECT_EQ(rig.Lines(), (std::vector<std::string>{kConnecting, kConnecting}));
  EXPECT_EQ(rig.host.Steps(), 2);

  rig.host.SetPort(rig.server.Port());
  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(Eventually([&] { return rig.worker.IsConnected(); }));
  EXPECT_EQ(rig.Lines().back(), kConnected);
  EXPECT_EQ(rig.host.HostReads(), 4);  // at start and at each of the three attempts
}

TEST(V8WorkerConnection, AccessDeniedIsLoggedOnceAndEndsTheAttempts) {
  Rig rig(AnswerWith(kAccessDeniedType));
  rig.worker.Start();
  ASSERT_TRUE(Eventually([&] { return rig.Lines().size() == 3; }));
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));
  EXPECT_FALSE(rig.worker.IsConnected());
  EXPECT_FALSE(rig.worker.Enabled());

  rig.clock.AdvanceMs(10001);
  Pause(150);
  EXPECT_EQ(rig.server.Connections(), 1);
  EXPECT_EQ(rig.Lines(), (std::vector<std::string>{kConnecting, kConnected, "Доступ запрещен."}));
}

// The order marks the link down at once but leaves the connection open; the next attempt comes
// more than 5000 ms after the order, not after the last attempt.
TEST(V8WorkerConnection, DisconnectOrderDelaysTheNextAttemptFromTheOrder) {
  Rig rig([](const ServerPacket& p) {
    return ServerAction{
        testing::Reply(p.type == kEventRecordType ? kDisconnectOrderType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.clock.AdvanceMs(3000);
  rig.worker.Enqueue(kEventRecordType, EventBody(1));
  ASSERT_TRUE(Eventually([&] { return rig.Lines().size() == 3; }));
  EXPECT_EQ(rig.Lines()[2], "Сервер дал команду на рассоединение.");
  EXPECT_FALSE(rig.worker.IsConnected());
  EXPECT_EQ(rig.worker.ErrorCount(), 0);

  rig.clock.AdvanceMs(4000);  // 7000 ms after the attempt, 4000 ms after the order
  Pause(100);
  EXPECT_EQ(rig.server.Connections(), 1);
  EXPECT_FALSE(rig.server.Ended(0));

  rig.clock.AdvanceMs(1001);
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Connections() == 2; }));
  EXPECT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));
}

// A stop lets the exchange in flight finish: a reply within its wait is still read, so a record
// the server is acknowledging is neither counted as failed nor handed back for spooling; a silent
// server holds the stop up for no more than the reply wait.
TEST(V8WorkerConnection, StopLetsTheExchangeInFlightFinish) {
  Rig rig([](const ServerPacket& p) {
    return ServerAction{testing::Reply(p.type == kEventRecordType ? kEventAckType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.server.SetReplyDelayMs(300);
  rig.worker.Enqueue(kEventRecordType, EventBody(3));
  ASSERT_TRUE(rig.server.WaitForPackets(5));
  rig.worker.Stop();
  rig.worker.Join();
  EXPECT_EQ(rig.worker.ExchangeCount(), 5u);
  EXPECT_EQ(rig.worker.ErrorCount(), 0);
  EXPECT_TRUE(rig.host.Unconfirmed().empty());
}

TEST(V8WorkerConnection, StopWithASilentServerEndsWithinTheReplyWait) {
  Rig rig(Silent());
  rig.worker.Start();
  ASSERT_TRUE(rig.server.WaitForPackets(1));  // the worker now waits up to 1000 ms for a reply
  const auto t0 = std::chrono::steady_clock::now();
  rig.worker.Stop();
  rig.worker.Join();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_LT(ms, 1800);
  EXPECT_TRUE(rig.worker.Finished());
  EXPECT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));
}

// A server that accepts the connection and never answers: the first packet costs the reply wait
// and one error, and the connection. Each new connection's hello set replaces what is left of the
// last one, so the queue does not fill however long the server stays silent.
TEST(V8WorkerExchange, SilentServerCostsOneReplyWaitAndTheConnection) {
  Rig rig(Silent());
  const auto t0 = std::chrono::steady_clock::now();
  rig.worker.Start();
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 950);
  EXPECT_EQ(rig.server.Packets().size(), 1u);
  EXPECT_EQ(rig.worker.ErrorCount(), 1);
  EXPECT_FALSE(rig.worker.IsConnected());
  EXPECT_EQ(rig.Lines(), (std::vector<std::string>{kConnecting, kConnected, kNetworkErrors}));
  EXPECT_EQ(rig.worker.QueuedPackets(), 3);

  for (int connection = 1; connection <= 2; ++connection) {
    rig.clock.AdvanceMs(5001);
    ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(connection); }));
    const auto packets = rig.server.Packets();
    EXPECT_EQ(packets.back().connection, connection);
    EXPECT_EQ(packets.back().type, kHelloType);
    EXPECT_EQ(rig.worker.QueuedPackets(), 3);
  }
  EXPECT_EQ(rig.server.Packets().size(), 3u);
}

// Packets that waited while the link was down go first, ahead of the hello set, one reply read
// after each; without acceptance no poll goes out.
TEST(V8WorkerExchange, DeliversQueuedPacketsOneByOneWithoutPollsUntilAccepted) {
  Rig rig(AnswerWith(kPollType));
  rig.server.SetReplyDelayMs(20);
  rig.worker.Enqueue(kPortStatusType, Wire(8, 0));
  for (std::uint8_t i = 0; i < 4; ++i)
    rig.worker.Enqueue(kEventRecordType, EventBody(i));
  rig.worker.Start();
  ASSERT_TRUE(rig.server.WaitForPackets(9));
  rig.clock.AdvanceMs(1000);
  Pause(100);

  const auto packets = rig.server.Packets();
  ASSERT_EQ(packets.size(), 9u);
  const std::uint32_t types[] = {kPortStatusType,  kEventRecordType, kEventRecordType,
                                 kEventRecordType, kEventRecordType, kHelloType,
                                 kPortStatusType,  kFirstNumberType, kVersionType};
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(packets[i].type, types[i]) << i;
    EXPECT_EQ(packets[i].sequence, static_cast<std::int64_t>(i));
  }
  EXPECT_EQ(packets[2].body, EventBody(1));
  EXPECT_FALSE(rig.server.SawPipelining());
}

TEST(V8WorkerExchange, AcceptedServerIsPolledWhenMoreThan500MsHavePassed) {
  Rig rig([](const ServerPacket& p) {
    return ServerAction{testing::Reply(p.index == 0 ? kAcceptedType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  EXPECT_TRUE(rig.worker.Accepted());
  rig.clock.AdvanceMs(500);
  Pause(100);
  EXPECT_EQ(rig.server.Packets().size(), 4u);

  rig.clock.AdvanceMs(1);
  ASSERT_TRUE(rig.server.WaitForPackets(5));
  const Wire poll = {0xFF, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x02,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE};
  EXPECT_EQ(rig.server.Packets()[4].wire, poll);

  rig.clock.AdvanceMs(501);
  ASSERT_TRUE(rig.server.WaitForPackets(6));
  EXPECT_EQ(rig.server.Packets()[5].wire, poll);
  EXPECT_EQ(rig.worker.NextSequence(), 4);  // polls take no sequence number
}

TEST(V8WorkerExchange, ProbeIsAnsweredBehindWhatWaits) {
  Rig rig([](const ServerPacket& p) {
    return ServerAction{testing::Reply(p.index == 0 ? kProbeType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.server.WaitForPackets(5));
  const ServerPacket answer = rig.server.Packets()[4];
  EXPECT_EQ(answer.type, kProbeAnswerType);
  EXPECT_EQ(answer.sequence, 4);
  EXPECT_TRUE(answer.body.empty());
  EXPECT_EQ(answer.wire.size(), 39u);
}

// One broken or odd reply, given to the last packet of the hello set: what it costs, and that the
// worker goes on. A whole reply with odd markers leaves the exchange in step and the connection
// open; anything else leaves it out of step, and the worker ends the connection and goes on with
// the next one.
TEST(V8WorkerExchange, BrokenRepliesCostWhatTheyShouldAndTheWorkerGoesOn) {
  const auto accepted = [](std::uint8_t marker, std::uint8_t start, std::uint8_t end) {
    testing::ReplyShape shape;
    shape.type = kAcceptedType;
    shape.marker = marker;
    shape.packetStart = start;
    shape.packetEnd = end;
    return testing::EncodeReply(shape);
  };
  Wire markerF0 = accepted(0xF0, 0xFF, 0xFE);
  markerF0[17] = 0x78;  // the second length field holds anything but N
  markerF0[18] = 0x56;
  Wire cutAndClosed = testing::Reply(kAcceptedType);
  cutAndClosed.resize(21 + 10);
  struct Case {
    const char* name;
    ServerAction reply;
    std::int32_t errors;
    bool accepted;
    bool inStep;
  };
  const Case cases[] = {
      {"marker F0, second length ignored", {markerF0}, 0, true, true},
      {"wrong transport marker", {testing::TransportHeaderOnly(0x00, 0, 0)}, 1, false, false},
      {"wrong packet start", {accepted(0xFF, 0x00, 0xFE)}, 0, false, true},
      {"wrong packet end", {accepted(0xFF, 0xFF, 0x00)}, 0, false, true},
      {"shorter than a packet header",
       {[] {
         Wire w = testing::TransportHeaderOnly(0xFF, 5, 5);
         w.insert(w.end(), {0xFF, 0x03, 0x00, 0x00, 0x02});
         return w;
       }()},
       0,
       false,
       true},
      {"length 0x7FFFFFFF", {testing::TransportHeaderOnly(0xFF, 0x7FFFFFFF, 0)}, 2, false, false},
      {"negative length", {testing::TransportHeaderOnly(0xFF, -1, 0)}, 2, false, false},
      {"closed mid-packet", {cutAndClosed, true}, 2, false, false},
      {"silent mid-packet", {cutAndClosed}, 2, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig([&c](const ServerPacket& p) {
      if (p.connection == 0 && p.index == 3)
        return c.reply;
      return ServerAction{testing::Reply(p.type == kEventRecordType ? kEventAckType : kPollType)};
    });
    rig.worker.Start();
    ASSERT_TRUE(rig.WaitExchanges(4));
    EXPECT_EQ(rig.worker.ErrorCount(), c.errors);
    EXPECT_EQ(rig.worker.Accepted(), c.accepted);
    EXPECT_EQ(rig.worker.IsConnected(), c.inStep);
    EXPECT_EQ(rig.HasLine(kNetworkErrors), !c.inStep);
    EXPECT_EQ(rig.server.WaitFor([&] { return rig.server.Ended(0); }, c.inStep ? 100 : 5000),
              !c.inStep);

    rig.clock.AdvanceMs(5001);
    rig.worker.Enqueue(kEventRecordType, EventBody(7));
    EXPECT_TRUE(rig.server.WaitFor([&] {
      for (const ServerPacket& p : rig.server.Packets()) {
        if (p.type == kEventRecordType)
          return true;
      }
      return false;
    }));
    EXPECT_TRUE(
        Eventually([&] { return rig.worker.ErrorCount() == 0 && rig.worker.IsConnected(); }));
  }
}

TEST(V8WorkerQueue, RefusesThe101stPacketWhoseNumberNeverReachesTheWire) {
  Rig rig(AnswerWith(kPollType));
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(rig.worker.Enqueue(kEventRecordType, EventBody(static_cast<std::uint8_t>(i))));
  }
  EXPECT_FALSE(rig.worker.Enqueue(kEventRecordType, EventBody(100)));
  EXPECT_EQ(rig.worker.NextSequence(), 101);
  EXPECT_EQ(rig.worker.QueuedPackets(), 100);

  rig.worker.Start();
  ASSERT_TRUE(rig.server.WaitForPackets(100));
  ASSERT_TRUE(Eventually([&] { return rig.worker.QueuedPackets() == 0; }));
  Pause(50);
  const auto packets = rig.server.Packets();
  for (std::size_t i = 0; i < 100; ++i)
    EXPECT_EQ(packets[i].sequence, static_cast<std::int64_t>(i));
  for (const ServerPacket& p : packets)
    EXPECT_NE(p.sequence, 100);
}

bool HasPortName(const ServerPacket& p, const std::string& name) {
  return p.type == kPortStatusType && p.body.size() == 8 &&
         std::string(p.body.begin() + 1, p.body.begin() + 1 + p.body[0]) == name;
}

// A write into a connection the server has closed fails. An event record whose write failed
// waits for the next connection and goes out first; any other packet is dropped.
TEST(V8WorkerQueue, EventRecordWhoseWriteFailedGoesOutOnTheNextConnection) {
  Rig rig([](const ServerPacket& p) {
    return ServerAction{testing::Reply(kPollType), p.type == kVersionType};
  });
  Wire lostStatus(8, 0);
  lostStatus[0] = 4;
  std::copy_n("LOST", 4, lostStatus.begin() + 1);
  rig.worker.Start();

  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));
  Pause(50);
  rig.worker.Enqueue(kPortStatusType, lostStatus);
  ASSERT_TRUE(rig.WaitExchanges(5));
  EXPECT_FALSE(rig.worker.IsConnected());
  EXPECT_EQ(rig.worker.ErrorCount(), 2);  // the write error and the missing reply

  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(1); }));
  Pause(50);
  rig.worker.Enqueue(kEventRecordType, EventBody(9));
  ASSERT_TRUE(rig.WaitExchanges(10));
  EXPECT_FALSE(rig.worker.IsConnected());

  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(rig.server.WaitFor([&] {
    int onThird = 0;
    for (const ServerPacket& p : rig.server.Packets())
      onThird += p.connection == 2;
    return onThird >= 5;
  }));
  std::vector<ServerPacket> third;
  for (const ServerPacket& p : rig.server.Packets()) {
    EXPECT_FALSE(HasPortName(p, "LOST"));
    if (p.connection == 2)
      third.push_back(p);
  }
  EXPECT_EQ(third[0].type, kEventRecordType);
  EXPECT_EQ(third[0].body, EventBody(9));
  EXPECT_EQ(third[1].type, kHelloType);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/v8link-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path) << "dd8";
    return path;
  }

 private:
  std::string path_;
};

// An event acknowledgement answers the packet sent just before it: only the spool file that packet
// was built from may go, whatever file the service timer handed over last.
TEST(V8WorkerSpool, AcknowledgementDeletesOnlyTheFileOfThePacketItAnswers) {
  TempDir dir;
  const std::string a = dir.File("0A.dd8");
  const std::string b = dir.File("0B.dd8");
  Rig rig([](const ServerPacket& p) {
    return ServerAction{testing::Reply(p.type == kEventRecordType ? kEventAckType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.spool.Dd8HandedOver(b, kStartTicks);

  rig.worker.Enqueue(kEventRecordType, EventBody(1));  // a live record
  ASSERT_TRUE(rig.WaitExchanges(5));
  EXPECT_TRUE(std::filesystem::exists(a));
  EXPECT_TRUE(std::filesystem::exists(b));
  EXPECT_FALSE(rig.spool.NextDd8AtOnce());

  rig.worker.Enqueue(kEventRecordType, EventBody(2), a);
  ASSERT_TRUE(rig.WaitExchanges(6));
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_TRUE(std::filesystem::exists(b));
  EXPECT_TRUE(rig.spool.NextDd8AtOnce());

  rig.spool.Dd8HandedOver(b, kStartTicks);
  rig.worker.Enqueue(kEventRecordType, EventBody(2), a);  // handed over again, already gone
  ASSERT_TRUE(rig.WaitExchanges(7));
  EXPECT_TRUE(std::filesystem::exists(b));
  EXPECT_FALSE(rig.spool.NextDd8AtOnce());
  EXPECT_EQ(rig.spool.PendingDd8File(), b);
}

// A live event record that gets no reply, or a refusal, may never have reached the server: it is
// handed back to be spooled. One that is acknowledged, or a spooled one (its file stays), is not.
TEST(V8WorkerSpool, UnconfirmedLiveEventRecordIsHandedBackForSpooling) {
  Rig rig([](const ServerPacket& p) {
    if (p.type == kEventRecordType && p.body[0] == 1)
      return ServerAction{};  // no reply
    if (p.type == kEventRecordType && p.body[0] == 2)
      return ServerAction{testing::Reply(kDropOrderType)};
    return ServerAction{testing::Reply(p.type == kEventRecordType ? kEventAckType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.worker.Enqueue(kEventRecordType, EventBody(1));
  rig.worker.Enqueue(kEventRecordType, EventBody(3));
  rig.worker.Enqueue(kEventRecordType, EventBody(1), "/nonexistent/0A.dd8");
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));  // no reply to record 1
  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(1); }));  // the spooled record 1
  rig.worker.Enqueue(kEventRecordType, EventBody(2));
  rig.clock.AdvanceMs(5001);
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(2); }));  // the drop order
  EXPECT_EQ(rig.host.Unconfirmed(), (std::vector<Wire>{EventBody(1), EventBody(2)}));
  int recordsOnTheWire = 0;
  for (const ServerPacket& p : rig.server.Packets())
    recordsOnTheWire += p.type == kEventRecordType;
  EXPECT_EQ(recordsOnTheWire, 4);
}

// A record queued with its spool file is marked queued until its exchange is over, so that the
// service timer does not hand the same file over meanwhile: the acknowledgement deletes the file,
// any other end of the exchange leaves it for the service timer. Either way the mark goes.
TEST(V8WorkerSpool, QueuedFileIsReleasedWhenItsExchangeEnds) {
  TempDir dir;
  Rig rig([](const ServerPacket& p) {
    if (p.type == kEventRecordType && p.body[0] == 2)
      return ServerAction{testing::Reply(kPollType)};  // answered, but not acknowledged
    if (p.type == kEventRecordType && p.body[0] == 3)
      return ServerAction{};  // no reply
    return ServerAction{testing::Reply(p.type == kEventRecordType ? kEventAckType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  std::vector<std::string> files;
  for (std::uint8_t n = 1; n <= 3; ++n) {
    files.push_back(dir.File("0" + std::to_string(n) + ".dd8"));
    std::ofstream(files.back()) << "record";
    rig.spool.MarkQueued(files.back());
    rig.worker.Enqueue(kEventRecordType, EventBody(n), files.back());
  }
  ASSERT_TRUE(rig.server.WaitFor([&] { return rig.server.Ended(0); }));  // no reply to record 3
  ASSERT_TRUE(rig.server.WaitFor([&] { return !rig.spool.IsQueued(files[2]); }));
  EXPECT_FALSE(std::filesystem::exists(files[0]));
  EXPECT_TRUE(std::filesystem::exists(files[1]));
  EXPECT_TRUE(std::filesystem::exists(files[2]));
  for (const std::string& file : files)
    EXPECT_FALSE(rig.spool.IsQueued(file)) << file;
  EXPECT_TRUE(rig.host.Unconfirmed().empty()) << "a record with a file is never spooled again";
}

// Stopping the program must not lose live event records still waiting in the queue.
TEST(V8WorkerQueue, UnsentLiveEventRecordsAreTakenBackAfterStopping) {
  Rig rig(Silent());
  rig.host.SetPort(UnusedPort());
  rig.worker.Enqueue(kEventRecordType, EventBody(5));
  rig.worker.Enqueue(kPortStatusType, Wire(8, 0));
  rig.worker.Enqueue(kEventRecordType, EventBody(6), "/tmp/spooled.dd8");
  rig.worker.Enqueue(kEventRecordType, EventBody(7));
  rig.worker.Start();
  Pause(50);
  rig.worker.Stop();
  rig.worker.Join();
  EXPECT_EQ(rig.worker.TakeUnsentEventRecords(), (std::vector<Bytes>{EventBody(5), EventBody(7)}));
  EXPECT_EQ(rig.worker.QueuedPackets(), 0);
}

// An acknowledged record whose spool file cannot be deleted (here a directory stands under its
// name) is delivered: the worker reports the file, so that the service timer does not hand it
// over again, and lets the next file go.
TEST(V8WorkerSpool, AcknowledgedFileThatCannotBeDeletedIsReported) {
  TempDir dir;
  const std::string undeletable = dir.File("0A.dd8") + ".dir";
  std::filesystem::create_directory(undeletable);
  Rig rig([](const ServerPacket& p) {
    return ServerAction{testing::Reply(p.type == kEventRecordType ? kEventAckType : kPollType)};
  });
  rig.worker.Start();
  ASSERT_TRUE(rig.WaitExchanges(4));
  rig.spool.Dd8HandedOver(undeletable, kStartTicks);
  rig.worker.Enqueue(kEventRecordType, EventBody(1), undeletable);
  ASSERT_TRUE(rig.WaitExchanges(5));
  EXPECT_EQ(rig.spool.TakeUndeletedDd8Files(), std::vector<std::string>{undeletable});
  EXPECT_TRUE(rig.spool.NextDd8AtOnce());
}

}  // namespace
}  // namespace drvnt
