#pragma once
// The bytes of the V8 link: every transmission is a 21-byte transport header followed by one
// packet, and a packet is an 18-byte packet header followed by its body. Little-endian throughout.
//
// Pure: bytes and values in, bytes and values out. It never reads a socket, never interprets a
// reply beyond its headers, and never allocates for a length it has not checked.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/bytes.h"

namespace drvnt::v8 {

inline constexpr std::size_t kTransportHeaderSize = 21;
inline constexpr std::size_t kPacketHeaderSize = 18;

// Transport marker: the driver always sends 0xFF; a server may also send 0xF0.
inline constexpr std::uint8_t kMarkerSent = 0xFF;
inline constexpr std::uint8_t kMarkerAlternative = 0xF0;
// First and last byte of a packet header.
inline constexpr std::uint8_t kPacketStart = 0xFF;
inline constexpr std::uint8_t kPacketEnd = 0xFE;

// Packet types. The driver sends poll, hello, the three status records, event records and probe
// answers; the server sends polls, accepted, probe, access denied, the two orders and event
// acknowledgements.
inline constexpr std::uint32_t kPoll = 0x02000000;
inline constexpr std::uint32_t kHello = 0x02000001;
inline constexpr std::uint32_t kAccepted = 0x02000003;
inline constexpr std::uint32_t kProbe = 0x02000004;
inline constexpr std::uint32_t kAccessDenied = 0x02000005;
inline constexpr std::uint32_t kPortStatusRecord = 0x02200062;
inline constexpr std::uint32_t kVersionRecord = 0x02200063;
inline constexpr std::uint32_t kFirstNumberRecord = 0x02200065;
inline constexpr std::uint32_t kDisconnectOrder = 0x02FFFFFD;
inline constexpr std::uint32_t kDropOrder = 0x02FFFFFE;
inline constexpr std::uint32_t kProbeAnswer = 0x02FFFFFF;
inline constexpr std::uint32_t kEventRecord = 0x03000032;
inline constexpr std::uint32_t kEventAcknowledgement = 0x03000033;

// "poll", "event record", …; "unknown" for a type the link does not know.
std::string_view PacketTypeName(std::uint32_t type);

// A packet header with the type, the body's length and the sequence number, then the body.
Bytes EncodePacket(std::uint32_t type, std::int64_t sequence, std::span<const std::uint8_t> body);

// The poll: a packet header alone, always with sequence number 0.
Bytes EncodePoll();

// One transmission: the transport header (marker 0xFF, the packet's length at offsets 5 and 17,
// zeros elsewhere) followed by the packet.
Bytes EncodeTransmission(std::span<const std::uint8_t> packet);

struct TransportHeader {
  bool markerOk = false;    // 0xFF or 0xF0 at offset 0
  std::int32_t length = 0;  // packet length N at offset 5, signed; the copy at 17 is ignored
};
TransportHeader DecodeTransportHeader(std::span<const std::uint8_t, kTransportHeaderSize> bytes);

struct PacketHeader {
  std::uint32_t type = 0;
  std::int32_t bodyLength = 0;
  std::int64_t sequence = 0;
};
// The header of a received packet, or nothing when it is shorter than a packet header or its
// first or last marker is wrong. The body length is reported, never trusted.
std::optional<PacketHeader> DecodePacketHeader(std::span<const std::uint8_t> packet);

// Bodies sent by the driver.
Bytes HelloBody();  // the constant 27 as 16 bits
// Length byte, the first 6 characters of the UTF-8 port name in Windows-1251, zero-filled, then 1
// when the serial port is open.
Bytes PortStatusBody(std::string_view portNameUtf8, bool portOpen);
Bytes FirstNumberBody(std::int32_t firstNumber);  // FirstNumber modulo 256

struct VersionNumbers {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t release = 0;
  std::uint16_t build = 0;
  friend bool operator==(const VersionNumbers&, const VersionNumbers&) = default;
};
Bytes VersionBody(const VersionNumbers& version);  // four 16-bit numbers

}  // namespace drvnt::v8
