// The V7 messages as the simulated server reads and writes them, and the date-time they carry,
// against bytes written out by hand.

#include "common/v7_codec.h"

#include <gtest/gtest.h>

#include <cmath>

namespace drvnt::sim {
namespace {

// 2026-05-01 10:30:00.250 as the little-endian double 46143.43750289352.
const Bytes kTimeBytes = {0x72, 0x11, 0x06, 0x00, 0xEE, 0x87, 0xE6, 0x40};

Bytes Message(const Bytes& head) {
  Bytes m(kV7MessageSize, 0);
  std::copy(head.begin(), head.end(), m.begin());
  return m;
}

// Object 40123, code "1130", header number 18, zone "015", the time above.
Bytes EventMessage() {
  Bytes head = {0xFF, 0xFF, 0x15, 0x01, 0x18, 0xBB, 0x9C, 0x00, 0x00, 0x00,
                0x00, 0x00, 0x00, 0x04, '1',  '1',  '3',  '0',  0x12, 0x00,
                0x01, '8',  0x03, '0',  '1',  '5',  0x03, '0',  '0',  '0'};
  head.insert(head.end(), kTimeBytes.begin(), kTimeBytes.end());
  return Message(head);
}

std::string Line(const Bytes& m) {
  const Decoded d = DecodeV7Message(m.data());
  return FormatLine("type=" + d.type, d.fields);
}

TEST(V7Decode, EventMessage) {
  EXPECT_EQ(Line(EventMessage()),
            "type=event object=40123 code=1130 hnumber=18 zone=015 "
            "time=2026-05-01T10:30:00.250 check=ok");
}

TEST(V7Decode, ThreeCharacterCodeAndBlankZone) {
  Bytes m = EventMessage();
  m[13] = 3;
  m[14] = '1', m[15] = '3', m[16] = '0', m[17] = 0;
  m[23] = m[24] = m[25] = ' ';
  EXPECT_EQ(Line(m),
            "type=event object=40123 code=130 hnumber=18 zone=%20%20%20 "
            "time=2026-05-01T10:30:00.250 check=ok");
}

TEST(V7Decode, CheckNamesTheOffsetsThatBreakTheEventLayout) {
  Bytes m = EventMessage();
  m[21] = '9';
  m[300] = 1;
  EXPECT_NE(Line(m).find("check=bad:21,300"), std::string::npos) << Line(m);

  Bytes shortCode = EventMessage();
  shortCode[13] = 3;  // the fourth character must then be zero
  EXPECT_NE(Line(shortCode).find("check=bad:17"), std::string::npos) << Line(shortCode);

  Bytes badTime = EventMessage();
  std::fill(badTime.begin() + 30, badTime.begin() + 38, 0xFF);  // not a number
  EXPECT_NE(Line(badTime).find("time=invalid"), std::string::npos) << Line(badTime);
}

TEST(V7Decode, OtherMessages) {
  struct Case {
    Bytes head;
    const char* line;
  };
  const Case cases[] = {
      {{0xFF, 0xFF, 0x14, 0x09}, "type=greeting value=9"},
      {{0xFF, 0xFF, 0x32, 0x2C}, "type=port-status port=44"},
      {{0xFF, 0xFF, 0x49, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00}, "type=status-restored value=9"},
      {{0xFF, 0xFF, 0x48, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00}, "type=status-lost value=9"},
      {{0xFF, 0xFF, 0x11}, "type=close"},
      {{0xFF, 0xFF, 0x33}, "type=other code=0x33"},
      {{0xFF, 0xFE, 0x15}, "type=unmarked head=FFFE15"},
      {{0x00, 0xFF, 0xFF}, "type=unmarked head=00FFFF"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Line(Message(c.head)), c.line);
}

TEST(V7Build, TimeAndCloseMessages) {
  Bytes expected = Message({0xFF, 0xFF, 0x04});
  std::copy(kTimeBytes.begin(), kTimeBytes.end(), expected.begin() + 30);
  EXPECT_EQ(BuildV7TimeMessage(46143.43750289352), expected);
  EXPECT_EQ(BuildV7CloseMessage(), Message({0xFF, 0xFF, 0x11}));
}

TEST(LocalTime, IsoTextAndDaysSince1899) {
  struct Case {
    const char* text;
    double value;
    const char* printed;
  };
  const Case cases[] = {
      {"1899-12-30T00:00:00", 0.0, "1899-12-30T00:00:00.000"},
      {"1900-01-01 06:00:00", 2.25, "1900-01-01T06:00:00.000"},
      {"1899-12-29T06:00:00", -1.25, "1899-12-29T06:00:00.000"},
      {"2024-02-29T23:59:59.999", 45351.99999998843, "2024-02-29T23:59:59.999"},
      {"2026-05-01T10:30:00.250", 46143.43750289352, "2026-05-01T10:30:00.250"},
  };
  for (const Case& c : cases) {
    double v = -99;
    ASSERT_TRUE(ParseIsoDateTime(c.text, v)) << c.text;
    EXPECT_NEAR(v, c.value, 1e-9) << c.text;
    EXPECT_EQ(FormatIsoDateTime(c.value), c.printed);
  }
}

TEST(LocalTime, RejectsWhatIsNoDateTime) {
  for (const char* text : {"2026-02-29T00:00:00", "2026-05-01T24:00:00", "2026-05-01",
                           "2026-05-01T10:30:00.25", "2026-05-01T10:30:00x", "yesterday"}) {
    double v = 0;
    EXPECT_FALSE(ParseIsoDateTime(text, v)) << text;
  }
  EXPECT_EQ(FormatIsoDateTime(std::nan("")), "invalid");
  EXPECT_EQ(FormatIsoDateTime(1e9), "invalid");
  EXPECT_EQ(FormatIsoDateTime(-700000), "invalid");
}

}  // namespace
}  // namespace drvnt::sim
