#include "receiver/frame_decoder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace drvnt {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

// An event frame: kind, 2 unused, header digit, 1 unused, header number, account, qualifier,
// code, partition, zone, terminator.
std::vector<std::uint8_t> Frame(const std::string& account, char qualifier, const std::string& code,
                                const std::string& partition, const std::string& zone,
                                const std::string& header = "5 12") {
  std::string s = "901" + header + account + qualifier + code + partition + zone;
  s += '\x14';
  return Bytes(s);
}

struct DecodeCase {
  const char* what;
  std::vector<std::uint8_t> frame;
  std::int32_t override;
  bool razdel;
  std::int32_t objectNumber;
  std::string code;
  std::uint16_t zone;
};

TEST(FrameDecoding, Table) {
  const std::string nulls3("\0\0\0", 3);
  const DecodeCase cases[] = {
      {"the example", Frame("0123", 'E', "130", "01", "015"), -1, false, 40123, "1130", 15},
      {"partition added", Frame("0123", 'E', "130", "01", "015"), -1, true, 40124, "1130", 15},
      {"override", Frame("0123", 'E', "130", "01", "015"), 777, false, 40777, "1130", 15},
      {"restore", Frame("0200", 'R', "401", "02", "003"), -1, false, 40200, "3401", 3},
      {"P qualifier", Frame("0200", 'P', "120", "00", "000"), -1, false, 40200, "6120", 0},
      {"lower case", Frame("0123", 'e', "130", "01", "015"), -1, false, 40123, "130", 15},
      {"other qualifier", Frame("0123", 'X', "130", "01", "015"), -1, false, 40123, "130", 15},
      {"account not a number", Frame("12B4", 'E', "130", "01", "015"), -1, false, 40000, "1130",
       15},
      {"blank zone", Frame("0123", 'E', "130", "01", "   "), -1, false, 40123, "1130", 0},
      {"9 then terminator", Bytes("9\x14"), -1, false, 40000, nulls3, 0},
  };
  for (const DecodeCase& c : cases) {
    const EventFrame f = ParseEventFrame(c.frame);
    const DecodedEvent e = DecodeEvent(f, c.override, 4, c.razdel, 45000.25);
    EXPECT_EQ(e.ObjectNumber, c.objectNumber) << c.what;
    EXPECT_EQ(e.EventCode, c.code) << c.what;
    EXPECT_EQ(e.Zone, c.zone) << c.what;
    EXPECT_EQ(e.Time, 45000.25) << c.what;
  }
}

TEST(FrameDecoding, HeaderFieldsZoneTextAndOverrideKey) {
  const EventFrame f = ParseEventFrame(Frame("0123", 'E', "130", "01", "015", "7 42"));
  EXPECT_EQ(f.headerDigit, 7);
  EXPECT_EQ(f.headerNumber, 42);
  EXPECT_EQ(std::string(f.zoneText.begin(), f.zoneText.end()), "015");
  EXPECT_EQ(PartitionOverrideKey(f), "123_1");

  const EventFrame bare = ParseEventFrame(Bytes("9\x14"));
  EXPECT_EQ(bare.headerDigit, 0);
  EXPECT_EQ(bare.headerNumber, 0);
  EXPECT_EQ(PartitionOverrideKey(bare), "0_0");
}

TEST(FrameDecoding, TerminatorAndKind) {
  EXPECT_TRUE(IsTerminated(Bytes("abc\x14")));
  EXPECT_FALSE(
      IsTerminated(Bytes("\x14"
                         "abc")));
  EXPECT_FALSE(IsTerminated({}));
  EXPECT_TRUE(IsEventFrame(Bytes("9")));
  EXPECT_FALSE(IsEventFrame(Bytes("1011\x14")));
}

std::optional<std::vector<std::uint8_t>> Taken(FrameAssembler& assembler,
                                               const std::vector<std::uint8_t>& packet,
                                               std::uint32_t tick) {
  const auto got = assembler.Take(packet, tick);
  if (!got)
    return std::nullopt;
  return std::vector<std::uint8_t>(got->begin(), got->end());
}

// The serial port cuts a frame wherever its packet time-out runs out; every cut must still give
// the whole event.
TEST(FrameAssembler, FrameCutAtAnyPositionIsDecodedWhole) {
  // Nines everywhere, so that many second pieces begin with a "9" of their own.
  const auto frame = Frame("9999", 'E', "190", "09", "999", "9 99");
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    FrameAssembler assembler;
    const std::vector<std::uint8_t> first(frame.begin(), frame.begin() + static_cast<long>(cut));
    const std::vector<std::uint8_t> second(frame.begin() + static_cast<long>(cut), frame.end());
    EXPECT_FALSE(assembler.Take(first, 5000)) << "cut at " << cut;
    EXPECT_EQ(Taken(assembler, second, 5090), frame) << "cut at " << cut;
    EXPECT_EQ(assembler.KeptBytes(), 0u);
  }
}

// A purge at the port's open takes the beginning of a frame in flight: its rest is no frame, and
// its acknowledgement would tell the receiver that the event arrived. Only the first terminated
// packet soon after the purge is looked at so; a whole frame then, a short frame of another kind
// that comes later, or anything after it, goes as usual.
TEST(FrameAssembler, RestOfAFrameCutByAPurgeIsNeitherTakenNorToBeAcknowledged) {
  const auto frame = Frame("0123", 'E', "130", "01", "015");
  const std::vector<std::uint8_t> rest(frame.begin() + 7, frame.end());
  const std::vector<std::uint8_t> restHead(frame.begin() + 7, frame.begin() + 12);
  const std::vector<std::uint8_t> restTail(frame.begin() + 12, frame.end());
  const auto heartbeat = Bytes("1" + std::string(19, ' ') + "\x14");
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    FrameAssembler assembler;
    assembler.AfterPurge(0);
    const std::vector<std::uint8_t> tail(frame.begin() + static_cast<long>(cut), frame.end());
    EXPECT_FALSE(assembler.Take(tail, 100)) << "cut at " << cut;
    EXPECT_TRUE(assembler.CutByPurge()) << "cut at " << cut;
    EXPECT_EQ(Taken(assembler, frame, 2600), frame) << "the repeat, cut at " << cut;
    EXPECT_FALSE(assembler.CutByPurge());
  }
  FrameAssembler split;
  split.AfterPurge(0);
  EXPECT_FALSE(split.Take(restHead, 100));
  EXPECT_FALSE(split.Take(restTail, 150));
  EXPECT_TRUE(split.CutByPurge()) << "a rest that the port delivered in two packets";

  FrameAssembler whole;
  whole.AfterPurge(0);
  EXPECT_EQ(Taken(whole, frame, 100), frame);
  EXPECT_FALSE(whole.CutByPurge());
  whole.AfterPurge(0);
  EXPECT_FALSE(whole.Take(heartbeat, 200));
  EXPECT_FALSE(whole.CutByPurge()) << "a whole frame of another kind is acknowledged";

  FrameAssembler later;
  later.AfterPurge(0xFFFFFF00u);  // the tick count wraps in between
  EXPECT_FALSE(later.Take(rest, 0xFFFFFF00u + kPurgeCutWindowMs + 1));
  EXPECT_FALSE(later.CutByPurge()) << "a short frame that comes well after the purge";
  later.AfterPurge(0xFFFFFF00u);
  EXPECT_FALSE(later.Take(rest, 0x50));
  EXPECT_TRUE(later.CutByPurge()) << "a rest that comes while the tick count wraps";

  FrameAssembler noPurge;
  EXPECT_FALSE(noPurge.Take(rest, 100));
  EXPECT_FALSE(noPurge.CutByPurge()) << "without a purge a short packet is a frame of its own";
}

// Only the two pieces of one cut frame are joined; anything else is taken packet by packet, as
// if nothing had been kept: a wrong join sends an alarm that nobody raised.
TEST(FrameAssembler, NothingElseIsJoined) {
  const auto frame = Frame("0123", 'E', "130", "01", "015");
  const std::vector<std::uint8_t> first(frame.begin(), frame.begin() + 9);
  const std::vector<std::uint8_t> second(frame.begin() + 9, frame.end());
  const auto heartbeat = Bytes("1" + std::string(19, ' ') + "\x14");
  const std::vector<std::uint8_t> longer(frame.begin(), frame.begin() + 10);
  std::vector<std::uint8_t> notNine = first;
  notNine[0] = '8';
  std::vector<std::uint8_t> embedded = first;
  embedded[4] = 0x14;  // a terminator inside: two frames, not one
  struct Step {
    std::vector<std::uint8_t> packet;
    std::uint32_t tick;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;  // the last one is the terminated packet
    std::optional<std::vector<std::uint8_t>> frame;
  };
  const Case cases[] = {
      {"\"901\" then a heartbeat", {{Bytes("901"), 0}, {heartbeat, 50}}, std::nullopt},
      {"pieces too long together", {{longer, 0}, {second, 50}}, std::nullopt},
      {"pieces too short together", {{Bytes("90"), 0}, {second, 50}}, std::nullopt},
      {"second piece far too late", {{first, 0}, {second, 1001}}, std::nullopt},
      {"second piece just in time", {{first, 0}, {second, 1000}}, frame},
      {"tick count wrapped between the pieces", {{first, 0xFFFFFF00u}, {second, 0x10}}, frame},
      {"a packet between the pieces", {{first, 0}, {Bytes("x"), 10}, {second, 20}}, std::nullopt},
      {"a terminated packet between", {{first, 0}, {heartbeat, 10}, {second, 20}}, std::nullopt},
      {"kept piece not a frame's start", {{notNine, 0}, {second, 50}}, std::nullopt},
      {"terminator inside the kept piece", {{embedded, 0}, {second, 50}}, std::nullopt},
      {"a whole frame after a piece", {{Bytes("9012"), 0}, {frame, 50}}, frame},
      {"a bare 9 frame after a piece", {{Bytes("12"), 0}, {Bytes("9\x14"), 50}}, Bytes("9\x14")},
      {"piece longer than a frame",
       {{Bytes(std::string(3000, '9')), 0}, {Bytes("\x14"), 50}},
       std::nullopt},
  };
  for (const Case& c : cases) {
    FrameAssembler assembler;
    std::optional<std::vector<std::uint8_t>> got;
    for (const Step& step : c.steps)
      got = Taken(assembler, step.packet, step.tick);
    EXPECT_EQ(got, c.frame) << c.what;
    EXPECT_EQ(assembler.KeptBytes(), 0u) << c.what;
  }
}

std::vector<std::uint8_t> Glued(const std::string& before, const std::vector<std::uint8_t>& frame,
                                const std::vector<std::uint8_t>& after = {}) {
  auto bytes = Bytes(before);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  bytes.insert(bytes.end(), after.begin(), after.end());
  return bytes;
}

// Line noise that the receiver's frame follows directly arrives in front of it, in the same packet
// or in the piece the packet time-out cut off before it. The frame at the end is the event when it
// is written just as the receiver writes frames; the bytes in front are dropped and counted.
TEST(FrameAssembler, EventFrameBehindNoise) {
  const auto frame = Frame("0123", 'E', "130", "01", "015");
  const auto other = Frame("0456", 'R', "401", "02", "003");
  const std::vector<std::uint8_t> head(frame.begin(), frame.begin() + 12);
  const std::vector<std::uint8_t> rest(frame.begin() + 12, frame.end());
  const auto heartbeat = Bytes("1" + std::string(19, ' ') + "\x14");
  auto lowerCase = frame;
  lowerCase[11] = 'e';
  auto hexAccount = frame;
  hexAccount[9] = 'B';
  auto embedded = frame;
  embedded[14] = 0x14;
  const auto twoFrames = Glued("", frame, other);
  struct Step {
    std::vector<std::uint8_t> packet;
    std::uint32_t tick;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;  // the last one is the terminated packet
    std::optional<std::vector<std::uint8_t>> frame;
    std::size_t noise;
  };
  const Case cases[] = {
      {"noise before a frame", {{Glued("\xC3\x80\x01", frame), 0}}, frame, 3},
      {"noise with a 9 in it", {{Glued("x9y99", frame), 0}}, frame, 5},
      {"noise that begins with a 9", {{Glued("9zz", frame), 0}}, frame, 3},
      {"noise with a terminator, one packet", {{Glued("9b\x14z", frame), 0}}, frame, 4},
      {"noise with a terminator, two packets", {{Bytes("ab\x14"), 0}, {frame, 10}}, frame, 0},
      {"256 bytes of noise and a frame", {{Glued(std::string(235, 'n'), frame), 0}}, frame, 235},
      {"noise, then a frame of another kind", {{Glued("abc", heartbeat), 0}}, std::nullopt, 0},
      {"tail of blanks behind a 9",
       {{Bytes("abc9" + std::string(19, ' ') + "\x14"), 0}},
       std::nullopt,
       0},
      {"tail with a lower-case qualifier", {{Glued("abc", lowerCase), 0}}, std::nullopt, 0},
      {"tail with an account that is no number", {{Glued("abc", hexAccount), 0}}, std::nullopt, 0},
      {"tail with a terminator inside", {{Glued("abc", embedded), 0}}, std::nullopt, 0},
      {"a lone frame that is not well-formed", {{lowerCase, 0}}, lowerCase, 0},
      {"two frames back to back: the packet, read from the first", {{twoFrames, 0}}, twoFrames, 0},
      {"noise, then two frames: the last", {{Glued("ab", frame, other), 0}}, other, 23},
      {"noise and a head, then the rest", {{Glued("ab", head), 0}, {rest, 90}}, frame, 2},
      {"a noise packet, then a whole frame", {{Bytes("abc"), 0}, {frame, 90}}, frame, 0},
      {"noise and a head, the rest far too late",
       {{Glued("ab", head), 0}, {rest, kCutFrameGapMs + 1}},
       std::nullopt,
       0},
      {"noise and a head, something else, the rest",
       {{Glued("ab", head), 0}, {Bytes("x"), 10}, {rest, 90}},
       std::nullopt,
       0},
  };
  for (const Case& c : cases) {
    FrameAssembler assembler;
    std::optional<std::vector<std::uint8_t>> got;
    for (const Step& step : c.steps)
      got = Taken(assembler, step.packet, step.tick);
    EXPECT_EQ(got, c.frame) << c.what;
    EXPECT_EQ(assembler.Noise().count, c.noise) << c.what;
    EXPECT_EQ(assembler.KeptBytes(), 0u) << c.what;
  }
}

// On the line the noise delays the frame's end, so the packet time-out cuts it wherever: every
// cut, after short or long noise, still gives the event, once.
TEST(FrameAssembler, FrameBehindNoiseCutAtAnyPosition) {
  const auto frame = Frame("9999", 'P', "190", "09", "999", "9 99");
  for (const std::string& noise :
       {std::string("\x01"), std::string("ab9"), std::string(400, '9')}) {
    for (std::size_t cut = 1; cut < frame.size(); ++cut) {
      FrameAssembler assembler;
      const auto first = Glued(
          noise, std::vector<std::uint8_t>(frame.begin(), frame.begin() + static_cast<long>(cut)));
      const std::vector<std::uint8_t> second(frame.begin() + static_cast<long>(cut), frame.end());
      EXPECT_FALSE(assembler.Take(first, 5000));
      EXPECT_EQ(Taken(assembler, second, 5090), frame) << noise.size() << " bytes, cut at " << cut;
      EXPECT_EQ(assembler.Noise().count, noise.size()) << "cut at " << cut;
    }
  }
}

// A frame behind noise is a whole frame, not the rest of one that the port's purge cut: it is
// taken, not left for the receiver to repeat.
TEST(FrameAssembler, FrameBehindNoiseAfterAPurge) {
  const auto frame = Frame("0123", 'E', "130", "01", "015");
  FrameAssembler oneRead;
  oneRead.AfterPurge(0);
  EXPECT_EQ(Taken(oneRead, Glued("ab", frame), 100), frame);
  EXPECT_FALSE(oneRead.CutByPurge());

  FrameAssembler cut;
  cut.AfterPurge(0);
  EXPECT_FALSE(
      cut.Take(Glued("ab", std::vector<std::uint8_t>(frame.begin(), frame.begin() + 15)), 50));
  EXPECT_EQ(Taken(cut, std::vector<std::uint8_t>(frame.begin() + 15, frame.end()), 100), frame);
  EXPECT_FALSE(cut.CutByPurge());

  FrameAssembler rest;  // the rest of a frame behind noise is still only a rest
  rest.AfterPurge(0);
  EXPECT_FALSE(rest.Take(Bytes("ab"), 50));
  EXPECT_FALSE(rest.Take(std::vector<std::uint8_t>(frame.begin() + 7, frame.end()), 100));
  EXPECT_TRUE(rest.CutByPurge());
}

TEST(FrameAssembler, DroppedNoiseLineNamesTheBytes) {
  FrameAssembler assembler;
  const auto frame = Frame("0123", 'E', "130", "01", "015");
  ASSERT_TRUE(assembler.Take(Glued("\xC3\x80\x01", frame), 0));
  EXPECT_EQ(DroppedNoiseLine(assembler.Noise()),
            "receiver: 3 bytes of noise before an event frame dropped: C3 80 01");
  ASSERT_TRUE(assembler.Take(Glued(std::string(30, 'a') + "0123456789ABCDEF", frame), 0));
  EXPECT_EQ(DroppedNoiseLine(assembler.Noise()),
            "receiver: 46 bytes of noise before an event frame dropped: ... 30 31 32 33 34 35 36 "
            "37 38 39 41 42 43 44 45 46");
  ASSERT_TRUE(assembler.Take(frame, 0));
  EXPECT_EQ(assembler.Noise().count, 0u);
}

// The receiver cannot cut a frame in three (its 87.5 ms on the line end within the next packet),
// so three pieces are three packets: the last, not beginning with "9", is no event.
TEST(FrameAssembler, FrameInThreePiecesIsNotJoined) {
  const auto frame = Frame("0123", 'E', "130", "01", "015");
  const std::span<const std::uint8_t> all(frame);
  FrameAssembler assembler;
  EXPECT_FALSE(assembler.Take(all.first(5), 0));
  EXPECT_FALSE(assembler.Take(all.subspan(5, 8), 40));
  EXPECT_FALSE(assembler.Take(all.subspan(13), 80));
}

}  // namespace
}  // namespace drvnt
