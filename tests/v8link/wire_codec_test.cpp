#include "v8link/wire_codec.h"

#include <gtest/gtest.h>

#include <array>

namespace drvnt::v8 {
namespace {

TEST(V8WireCodec, PollTravelsAsThe39ByteSample) {
  const Bytes expected = {0xFF, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00,
                          0x00, 0xFF, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE};
  EXPECT_EQ(EncodeTransmission(EncodePoll()), expected);
}

TEST(V8WireCodec, PacketHeaderCarriesTypeLengthAndSequenceLittleEndian) {
  const Bytes body(22, 0xAB);
  const Bytes packet = EncodePacket(kEventRecord, 0x0102030405060708, body);
  const Bytes header = {0xFF, 0x32, 0x00, 0x00, 0x03, 22,   0x00, 0x00, 0x00,
                        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xFE};
  ASSERT_EQ(packet.size(), 18u + 22u);
  EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 18), header);
  EXPECT_EQ(Bytes(packet.begin() + 18, packet.end()), body);

  const Bytes wire = EncodeTransmission(packet);
  EXPECT_EQ(wire.size(), 61u);
  EXPECT_EQ(wire[5], 40);
  EXPECT_EQ(wire[17], 40);
}

TEST(V8WireCodec, BodiesSentByTheDriver) {
  struct Case {
    const char* name;
    Bytes actual;
    Bytes expected;
  };
  const Case cases[] = {
      {"hello", HelloBody(), {0x1B, 0x00}},
      {"COM1 open", PortStatusBody("COM1", true), {0x04, 0x43, 0x4F, 0x4D, 0x31, 0x00, 0x00, 0x01}},
      {"COM1000 closed",
       PortStatusBody("COM1000", false),
       {0x06, 0x43, 0x4F, 0x4D, 0x31, 0x30, 0x30, 0x00}},
      {"no port", PortStatusBody("", false), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"Cyrillic name in Windows-1251",
       PortStatusBody("ПОРТ", true),
       {0x04, 0xCF, 0xCE, 0xD0, 0xD2, 0x00, 0x00, 0x01}},
      {"first number 4", FirstNumberBody(4), {0x04}},
      {"first number 300", FirstNumberBody(300), {0x2C}},
      {"first number -1", FirstNumberBody(-1), {0xFF}},
      {"version", VersionBody({2, 10, 0x0102, 0xFFFF}), {2, 0, 10, 0, 0x02, 0x01, 0xFF, 0xFF}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.actual, c.expected) << c.name;
}

TEST(V8WireCodec, TransportHeaderOnReceipt) {
  struct Case {
    std::uint8_t marker;
    std::uint32_t length;
    bool markerOk;
    std::int32_t expectedLength;
  };
  const Case cases[] = {
      {0xFF, 18, true, 18},  {0xF0, 22, true, 22},         {0x00, 18, false, 18},
      {0xFE, 18, false, 18}, {0xFF, 0xFFFFFFFF, true, -1}, {0xFF, 0x7FFFFFFF, true, 0x7FFFFFFF},
  };
  for (const Case& c : cases) {
    std::array<std::uint8_t, kTransportHeaderSize> bytes{};
    bytes[0] = c.marker;
    PutU32(&bytes[5], c.length);
    PutU32(&bytes[17], 0xDEADBEEF);  // the second copy is never read
    const TransportHeader h = DecodeTransportHeader(bytes);
    EXPECT_EQ(h.markerOk, c.markerOk) << int{c.marker};
    EXPECT_EQ(h.length, c.expectedLength) << int{c.marker};
  }
}

TEST(V8WireCodec, PacketHeaderOnReceiptNeedsBothMarkersAndEighteenBytes) {
  const Bytes good = EncodePacket(kEventAcknowledgement, -2, Bytes{1, 2, 3});
  const auto h = DecodePacketHeader(good);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->type, kEventAcknowledgement);
  EXPECT_EQ(h->bodyLength, 3);
  EXPECT_EQ(h->sequence, -2);

  Bytes badStart = good;
  badStart[0] = 0xF0;
  Bytes badEnd = good;
  badEnd[17] = 0xFF;
  EXPECT_FALSE(DecodePacketHeader(badStart));
  EXPECT_FALSE(DecodePacketHeader(badEnd));
  EXPECT_FALSE(DecodePacketHeader(std::span(good).first(17)));
  EXPECT_FALSE(DecodePacketHeader({}));
}

}  // namespace
}  // namespace drvnt::v8
