#include "receiver/frame_decoder.h"

#include <gtest/gtest.h>

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

// The serial port cuts a frame wherever its packet time-out runs out; every cut must still give
// the whole event.
TEST(FrameAssembler, FrameCutAtAnyPositionIsDecodedWhole) {
  // Nines everywhere, so that many second pieces begin with a "9" of their own.
  const auto frame = Frame("9999", 'E', "190", "09", "999", "9 99");
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    FrameAssembler assembler;
    const std::span<const std::uint8_t> all(frame);
    assembler.KeepUnterminated(all.first(cut));
    const auto got = assembler.EventFrameFor(all.subspan(cut));
    ASSERT_TRUE(got) << "cut at " << cut;
    EXPECT_EQ(std::vector<std::uint8_t>(got->begin(), got->end()), frame) << "cut at " << cut;
    EXPECT_EQ(assembler.KeptBytes(), 0u);
  }
}

TEST(FrameAssembler, FrameCutInThreePieces) {
  const auto frame = Frame("0123", 'E', "130", "01", "015");
  const std::span<const std::uint8_t> all(frame);
  FrameAssembler assembler;
  assembler.KeepUnterminated(all.first(5));
  assembler.KeepUnterminated(all.subspan(5, 8));
  const auto got = assembler.EventFrameFor(all.subspan(13));
  ASSERT_TRUE(got);
  EXPECT_EQ(std::vector<std::uint8_t>(got->begin(), got->end()), frame);
}

TEST(FrameAssembler, OtherPacketsKeepTheirMeaning) {
  FrameAssembler assembler;
  // A non-event frame with nothing kept stays a non-event frame.
  EXPECT_FALSE(assembler.EventFrameFor(Bytes("1011    \x14")));
  // Kept noise that does not begin with "9" does not turn a non-event frame into an event.
  assembler.KeepUnterminated(Bytes("noise"));
  EXPECT_FALSE(assembler.EventFrameFor(Bytes("1011    \x14")));
  // A terminated event frame is decoded on its own and drops what was kept.
  assembler.KeepUnterminated(Bytes("9012"));
  const auto frame = Frame("0555", 'E', "130", "01", "015");
  const auto got = assembler.EventFrameFor(frame);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), frame.size());
  EXPECT_FALSE(assembler.EventFrameFor(Bytes("1011    \x14")));
}

TEST(FrameAssembler, KeepsAtMostTheWorkingBuffer) {
  FrameAssembler assembler;
  const std::vector<std::uint8_t> big(3000, '9');
  assembler.KeepUnterminated(big);
  EXPECT_EQ(assembler.KeptBytes(), kWorkingBufferSize);
  const auto got = assembler.EventFrameFor(Bytes("\x14"));
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), kWorkingBufferSize);
}

}  // namespace
}  // namespace drvnt
