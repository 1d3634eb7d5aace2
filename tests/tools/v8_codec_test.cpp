// The V8 wire format as the simulated server reads and writes it, against bytes written out by
// hand, and the server's choice of reply in each mode.

#include "common/v8_codec.h"

#include <gtest/gtest.h>

#include "common/v8_responder.h"

namespace drvnt::sim {
namespace {

// A poll: transport header with N = 18 twice, then the bare packet header.
const Bytes kPollSample = {
    0xFF, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00,  // transport header
    0xFF, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE};

// Object 40123, code "1130", zone 15, header number 18, header digit 1,
// 2026-05-01 10:30:00.250.
const Bytes kEventBody = {0x18, 0xBB, 0x9C, 0x00, 0x00, 0x04, '1',  '1',  '3',  '0',  0x0F,
                          0x00, 0x12, 0x01, 0x72, 0x11, 0x06, 0x00, 0xEE, 0x87, 0xE6, 0x40};

// The same event record on the wire with sequence number 5: N = 40, B = 22.
Bytes EventSample() {
  const Bytes headers = {0xFF, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00,
                         0x00, 0xFF, 0x32, 0x00, 0x00, 0x03, 0x16, 0x00, 0x00, 0x00,
                         0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE};
  Bytes w;
  w.reserve(headers.size() + kEventBody.size());
  w.insert(w.end(), headers.begin(), headers.end());
  w.insert(w.end(), kEventBody.begin(), kEventBody.end());
  return w;
}

std::string Line(const V8Packet& p) {
  const Decoded d = DescribeV8Packet(p);
  return FormatLine("type=" + d.type, d.fields);
}

// The one packet that the bytes hold.
V8Packet ReadOne(const Bytes& wire) {
  V8StreamReader r;
  r.Feed(wire.data(), wire.size());
  V8Packet p;
  EXPECT_EQ(r.Next(p), V8StreamReader::Status::kPacket);
  EXPECT_EQ(r.Buffered(), 0u);
  return p;
}

TEST(V8Wire, EncodesThePollAndTheEventRecordByteForByte) {
  EXPECT_EQ(EncodeV8(v8type::kPoll, 0), kPollSample);
  EXPECT_EQ(EncodeV8(v8type::kEventRecord, 5, kEventBody), EventSample());
}

TEST(V8Wire, ReadsPacketsFedByteByByte) {
  Bytes stream = kPollSample;
  const Bytes event = EventSample();
  stream.insert(stream.end(), event.begin(), event.end());
  V8StreamReader r;
  std::vector<std::string> lines;
  V8Packet p;
  for (std::uint8_t b : stream) {
    r.Feed(&b, 1);
    while (r.Next(p) == V8StreamReader::Status::kPacket)
      lines.push_back(Line(p));
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "type=poll seq=0 check=ok");
  EXPECT_EQ(lines[1],
            "type=event seq=5 tag=24 object=40123 code=1130 zone=15 hnumber=18 hdigit=1 "
            "time=2026-05-01T10:30:00.250 check=ok");
}

TEST(V8Wire, DescribesEveryDriverPacket) {
  struct Case {
    std::uint32_t type;
    Bytes body;
    const char* line;
  };
  const Case cases[] = {
      {v8type::kHello, {0x1B, 0x00}, "type=hello seq=3 value=27 check=ok"},
      {v8type::kPortStatus,
       {0x04, 'C', 'O', 'M', '1', 0x00, 0x00, 0x01},
       "type=port-status seq=3 name=COM1 open=1 check=ok"},
      {v8type::kPortStatus,
       {0x06, 'C', 'O', 'M', '1', '0', '0', 0x00},
       "type=port-status seq=3 name=COM100 open=0 check=ok"},
      {v8type::kFirstNumber, {0x04}, "type=first-number seq=3 value=4 check=ok"},
      {v8type::kVersion,
       {0x02, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x07, 0x00},
       "type=version seq=3 major=2 minor=10 release=0 build=7 check=ok"},
      {v8type::kProbeAnswer, {}, "type=probe-answer seq=3 check=ok"},
      {0x12345678, {0x01}, "type=0x12345678 seq=3 check=ok"},
      {v8type::kHello, {0x1B}, "type=hello seq=3 check=bad:size"},
      {v8type::kPoll, {}, "type=poll seq=3 check=bad:seq"},
      {v8type::kPortStatus,
       {0x07, 'C', 'O', 'M', '1', '0', '0', 0x00},
       "type=port-status seq=3 name=COM100 open=0 check=bad:name"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Line(ReadOne(EncodeV8(c.type, 3, c.body))), c.line);
}

TEST(V8Wire, ChecksTheMarkersAndLengthsOfAPacket) {
  Bytes f0 = kPollSample;
  f0[0] = 0xF0;  // taken like 0xFF
  EXPECT_EQ(ReadOne(f0).marker, 0xF0);
  EXPECT_EQ(Line(ReadOne(f0)), "type=poll seq=0 check=ok");

  Bytes broken = kPollSample;
  broken[17] = 0x13;       // second length
  broken[21] = 0xFE;       // packet byte 0
  broken[21 + 17] = 0xFF;  // packet byte 17
  broken[21 + 5] = 0x01;   // body length
  EXPECT_EQ(Line(ReadOne(broken)), "type=poll seq=0 check=bad:head,tail,len2,blen");
}

TEST(V8Wire, AWrongMarkerOrLengthBreaksTheStreamForGood) {
  struct Case {
    std::size_t offset;
    std::uint8_t value;
    V8StreamReader::Status status;
  };
  const Case cases[] = {
      {0, 0x00, V8StreamReader::Status::kBadMarker},
      {0, 0xFE, V8StreamReader::Status::kBadMarker},
      {5, 0x11, V8StreamReader::Status::kBadLength},  // shorter than a packet header
      {8, 0x80, V8StreamReader::Status::kBadLength},  // negative
  };
  for (const Case& c : cases) {
    Bytes wire = kPollSample;
    wire[c.offset] = c.value;
    V8StreamReader r;
    r.Feed(wire.data(), wire.size());
    V8Packet p;
    EXPECT_EQ(r.Next(p), c.status) << c.offset;
    r.Feed(kPollSample.data(), kPollSample.size());
    EXPECT_EQ(r.Next(p), c.status) << c.offset;
  }
}

// Reply names for the packets of each connection in turn.
struct ResponderCase {
  const char* name;
  V8ResponderOptions options;
  std::vector<std::vector<std::uint32_t>> connections;
  std::vector<std::vector<std::string>> replies;
};

TEST(V8Responder, AnswersEachPacketAsTheModeSays) {
  using namespace v8type;
  const std::vector<std::uint32_t> helloSet = {kHello, kPortStatus, kFirstNumber, kVersion};
  const ResponderCase cases[] = {
      {"normal",
       {},
       {{kHello, kPortStatus, kFirstNumber, kVersion, kEventRecord, kPoll, kProbeAnswer}},
       {{"accepted", "poll", "poll", "poll", "event-ack", "poll", "poll"}}},
      {"no-ack", {.noAck = true}, {{kHello, kEventRecord}}, {{"accepted", "poll"}}},
      {"deny", {.mode = V8Mode::kDeny}, {{kHello, kPoll}}, {{"access-denied", "poll"}}},
      {"silent", {.mode = V8Mode::kSilent}, {{kHello, kPoll}}, {{"-", "-"}}},
      {"probe waits for a plain reply",
       {.probeEvery = 2},
       {{kHello, kPoll, kEventRecord, kEventRecord, kPoll}},
       {{"accepted", "probe", "event-ack", "event-ack", "probe"}}},
      {"drop on every connection",
       {.mode = V8Mode::kDrop, .faultAt = 2},
       {{kHello, kPoll, kPoll}, {kHello, kPoll}},
       {{"accepted", "drop-order", "poll"}, {"accepted", "drop-order"}}},
      {"disconnect once",
       {.mode = V8Mode::kDisconnect, .faultAt = 1, .faultOnce = true},
       {helloSet, {kHello}},
       {{"disconnect-order", "poll", "poll", "poll"}, {"accepted"}}},
      {"garbage",
       {.mode = V8Mode::kGarbage, .faultAt = 3},
       {helloSet},
       {{"accepted", "poll", "garbage", "poll"}}},
      {"late: the second event record of the first connection",
       {.mode = V8Mode::kLate, .faultAt = 2, .faultOnce = true},
       {{kHello, kEventRecord, kPoll, kEventRecord, kEventRecord},
        {kHello, kEventRecord, kEventRecord}},
       {{"accepted", "event-ack", "poll", "late event-ack", "event-ack"},
        {"accepted", "event-ack", "event-ack"}}},
  };
  for (const ResponderCase& c : cases) {
    V8Responder responder(c.options);
    for (std::size_t conn = 0; conn < c.connections.size(); ++conn) {
      responder.NewConnection();
      std::vector<std::string> got;
      for (std::uint32_t type : c.connections[conn]) {
        V8Packet p;
        p.type = type;
        const auto reply = responder.Answer(p);
        got.push_back(reply ? (reply->late ? "late " : "") + reply->name : "-");
      }
      EXPECT_EQ(got, c.replies[conn]) << c.name << ", connection " << conn + 1;
    }
  }
}

TEST(V8Responder, RepliesEchoTheSequenceAndGarbageBreaksTheMarker) {
  V8Responder normal({});
  V8Packet hello;
  hello.type = v8type::kHello;
  hello.sequence = 41;
  EXPECT_EQ(normal.Answer(hello)->wire,
            (Bytes{0xFF, 0,    0,    0, 0, 0x12, 0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0x12, 0,   0,
                   0,    0xFF, 0x03, 0, 0, 0x02, 0, 0, 0, 0, 0x29, 0, 0, 0, 0, 0, 0, 0,    0xFE}));

  for (bool junk : {false, true}) {
    V8Responder garbage(
        {.mode = V8Mode::kGarbage, .garbage = junk ? V8Garbage::kJunk : V8Garbage::kHeader});
    const Bytes wire = garbage.Answer(hello)->wire;
    EXPECT_EQ(wire.size(), junk ? 39u : 21u);
    V8StreamReader r;
    r.Feed(wire.data(), wire.size());
    V8Packet p;
    EXPECT_EQ(r.Next(p), V8StreamReader::Status::kBadMarker) << junk;
  }
}

TEST(V8Responder, GarbageLengthsAndCutHeaders) {
  V8Packet hello;
  hello.type = v8type::kHello;
  struct Case {
    V8Garbage kind;
    std::size_t size;
    V8StreamReader::Status status;
    std::int32_t length;
  };
  const Case cases[] = {
      {V8Garbage::kHuge, 21, V8StreamReader::Status::kBadLength, 0x7FFFFFFF},
      {V8Garbage::kNegative, 21, V8StreamReader::Status::kBadLength, -1},
      {V8Garbage::kCut, 10, V8StreamReader::Status::kNeedMore, 0},
  };
  for (const Case& c : cases) {
    V8Responder garbage({.mode = V8Mode::kGarbage, .garbage = c.kind});
    const Bytes wire = garbage.Answer(hello)->wire;
    EXPECT_EQ(wire.size(), c.size);
    V8StreamReader r;
    r.Feed(wire.data(), wire.size());
    V8Packet p;
    EXPECT_EQ(r.Next(p), c.status) << wire.size();
    if (c.status == V8StreamReader::Status::kBadLength) {
      EXPECT_EQ(r.BadLength(), c.length);
    }
  }
  EXPECT_FALSE(ParseV8Garbage("long"));
}

TEST(V8Responder, FloodFollowsEveryReplyWithUnaskedPackets) {
  V8Responder flood({.mode = V8Mode::kFlood, .floodCount = 4});
  V8Packet event;
  event.type = v8type::kEventRecord;
  event.sequence = 7;
  const auto reply = flood.Answer(event);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->name, "event-ack");
  V8StreamReader r;
  r.Feed(reply->wire.data(), reply->wire.size());
  std::vector<std::pair<std::uint32_t, std::int64_t>> got;
  V8Packet p;
  while (r.Next(p) == V8StreamReader::Status::kPacket)
    got.push_back({p.type, p.sequence});
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], (std::pair<std::uint32_t, std::int64_t>{v8type::kEventAck, 7}));
  for (std::size_t i = 1; i < got.size(); ++i)
    EXPECT_NE(got[i].second, 7) << "an unasked packet answers the record";
}

// From the reply to packet --fault-at of a connection on, on the first --fault-connections only.
TEST(V8Responder, FloodStartsAtItsPacketOnTheConnectionsGiven) {
  V8Responder flood({.mode = V8Mode::kFlood, .faultAt = 2, .faultConnections = 2, .floodCount = 3});
  V8Packet p;
  p.type = v8type::kEventRecord;
  std::vector<std::vector<int>> got;
  for (int conn = 0; conn < 3; ++conn) {
    flood.NewConnection();
    got.emplace_back();
    for (int i = 0; i < 3; ++i)
      got.back().push_back(flood.Answer(p)->unasked);
  }
  EXPECT_EQ(got, (std::vector<std::vector<int>>{{0, 3, 3}, {0, 3, 3}, {0, 0, 0}}));
}

}  // namespace
}  // namespace drvnt::sim
