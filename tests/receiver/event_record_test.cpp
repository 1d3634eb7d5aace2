#include "receiver/event_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace drvnt {
namespace {

// Bytes of the double 45000.25 as written little-endian, computed by hand from its bit pattern.
std::vector<std::uint8_t> DoubleBytes(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  std::vector<std::uint8_t> out;
  for (int i = 0; i < 8; ++i)
    out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  return out;
}

DecodedEvent Sample(std::string code, std::string zoneText, std::uint16_t zone) {
  DecodedEvent e;
  e.ObjectNumber = 40123;  // 0x00009CBB
  e.EventCode = std::move(code);
  e.Zone = zone;
  std::memcpy(e.zoneText.data(), zoneText.data(), 3);
  e.HeaderNumber = 12;
  e.HeaderDigit = 5;
  e.Time = 45000.25;
  return e;
}

TEST(EventRecord, ByteExactLayout) {
  const EventRecord r = BuildEventRecord(Sample("1130", "015", 15));
  std::vector<std::uint8_t> expected = {0x18, 0xBB, 0x9C, 0x00, 0x00, 0x04, '1',
                                        '1',  '3',  '0',  0x0F, 0x00, 12,   5};
  const auto time = DoubleBytes(45000.25);
  expected.insert(expected.end(), time.begin(), time.end());
  EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.end()), expected);
}

TEST(EventRecord, ThreeCharacterCode) {
  const EventRecord r = BuildEventRecord(Sample("130", "   ", 0));
  EXPECT_EQ(r[5], 3);
  EXPECT_EQ(std::string(r.begin() + 6, r.begin() + 9), "130");
  EXPECT_EQ(r[9], 0);
  EXPECT_EQ(r[10], 0);  // blank zone text: zone 0
  EXPECT_EQ(r[11], 0);
}

TEST(EventRecord, Dd8FileIsTypeThenRecord) {
  const EventRecord r = BuildEventRecord(Sample("1130", "015", 15));
  const auto f = BuildDd8File(r);
  ASSERT_EQ(f.size(), 26u);
  EXPECT_EQ(f[0], 0x32);
  EXPECT_EQ(f[1], 0x00);
  EXPECT_EQ(f[2], 0x00);
  EXPECT_EQ(f[3], 0x03);
  EXPECT_TRUE(std::equal(r.begin(), r.end(), f.begin() + 4));
}

TEST(EventMessage, ByteExactLayout) {
  const V7Message m = BuildEventMessage(Sample("1130", "015", 15), 46000.5);
  std::vector<std::uint8_t> expected = {0xFF, 0xFF, 0x15, 1,   0x18, 0xBB, 0x9C, 0x00, 0x00, 0,
                                        0,    0,    0,    4,   '1',  '1',  '3',  '0',  12,   0,
                                        1,    '8',  3,    '0', '1',  '5',  3,    '0',  '0',  '0'};
  const auto time = DoubleBytes(46000.5);
  expected.insert(expected.end(), time.begin(), time.end());
  expected.resize(555, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(m.begin(), m.end()), expected);
}

TEST(EventMessage, ThreeCharacterCodeAndBlankZoneText) {
  const V7Message m = BuildEventMessage(Sample("130", "   ", 0), 46000.5);
  EXPECT_EQ(m[13], 3);
  EXPECT_EQ(std::string(m.begin() + 14, m.begin() + 17), "130");
  EXPECT_EQ(m[17], 0);
  EXPECT_EQ(std::string(m.begin() + 23, m.begin() + 26), "   ");
}

}  // namespace
}  // namespace drvnt
