#include "v8link/wire_codec.h"

#include "core/cp1251.h"

namespace drvnt::v8 {
namespace {

constexpr std::size_t kPortNameCapacity = 6;
constexpr std::uint16_t kHelloConstant = 27;

}  // namespace

std::string_view PacketTypeName(std::uint32_t type) {
  switch (type) {
    case kPoll:
      return "poll";
    case kHello:
      return "hello";
    case kAccepted:
      return "accepted";
    case kProbe:
      return "probe";
    case kAccessDenied:
      return "access denied";
    case kPortStatusRecord:
      return "port-status record";
    case kVersionRecord:
      return "version record";
    case kFirstNumberRecord:
      return "first-number record";
    case kDisconnectOrder:
      return "disconnect order";
    case kDropOrder:
      return "drop order";
    case kProbeAnswer:
      return "probe answer";
    case kEventRecord:
      return "event record";
    case kEventAcknowledgement:
      return "event acknowledgement";
    default:
      return "unknown";
  }
}

Bytes EncodePacket(std::uint32_t type, std::int64_t sequence, std::span<const std::uint8_t> body) {
  Bytes packet(kPacketHeaderSize + body.size());
  packet[0] = kPacketStart;
  PutU32(&packet[1], type);
  PutU32(&packet[5], static_cast<std::uint32_t>(body.size()));
  PutU64(&packet[9], static_cast<std::uint64_t>(sequence));
  packet[17] = kPacketEnd;
  std::copy(body.begin(), body.end(), packet.begin() + kPacketHeaderSize);
  return packet;
}

Bytes EncodePoll() {
  return EncodePacket(kPoll, 0, {});
}

Bytes EncodeTransmission(std::span<const std::uint8_t> packet) {
  Bytes wire(kTransportHeaderSize + packet.size(), 0);
  wire[0] = kMarkerSent;
  const auto length = static_cast<std::uint32_t>(packet.size());
  PutU32(&wire[5], length);
  PutU32(&wire[17], length);
  std::copy(packet.begin(), packet.end(), wire.begin() + kTransportHeaderSize);
  return wire;
}

TransportHeader DecodeTransportHeader(std::span<const std::uint8_t, kTransportHeaderSize> bytes) {
  TransportHeader h;
  h.markerOk = bytes[0] == kMarkerSent || bytes[0] == kMarkerAlternative;
  h.length = static_cast<std::int32_t>(GetU32(&bytes[5]));
  return h;
}

std::optional<PacketHeader> DecodePacketHeader(std::span<const std::uint8_t> packet) {
  if (packet.size() < kPacketHeaderSize)
    return std::nullopt;
  if (packet[0] != kPacketStart || packet[17] != kPacketEnd)
    return std::nullopt;
  PacketHeader h;
  h.type = GetU32(&packet[1]);
  h.bodyLength = static_cast<std::int32_t>(GetU32(&packet[5]));
  h.sequence = static_cast<std::int64_t>(GetU64(&packet[9]));
  return h;
}

Bytes HelloBody() {
  Bytes body(2);
  PutU16(body.data(), kHelloConstant);
  return body;
}

Bytes PortStatusBody(std::string_view portNameUtf8, bool portOpen) {
  Bytes body(1 + kPortNameCapacity + 1);
  PutShortString(body.data(), kPortNameCapacity, Utf8ToCp1251(portNameUtf8));
  body[7] = portOpen ? 1 : 0;
  return body;
}

Bytes FirstNumberBody(std::int32_t firstNumber) {
  return Bytes{static_cast<std::uint8_t>(firstNumber & 0xFF)};
}

Bytes VersionBody(const VersionNumbers& version) {
  Bytes body(8);
  PutU16(&body[0], version.major);
  PutU16(&body[2], version.minor);
  PutU16(&body[4], version.release);
  PutU16(&body[6], version.build);
  return body;
}

}  // namespace drvnt::v8
