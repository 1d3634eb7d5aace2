#pragma once
// The framed packets of the V8 link, seen from the server: a 21-byte transport header, an 18-byte
// packet header and the body, all little-endian. Decodes the byte stream the driver sends into
// packets and encodes the server's replies, which always go out with the marker 0xFF.
//
// Transport header: 0 marker (0xFF, or 0xF0 taken alike), 5 length N, 17 length N again.
// Packet header:    0 0xFF, 1 type, 5 body length B, 9 sequence number (64 bits), 17 0xFE.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/le_bytes.h"
#include "common/line_out.h"

namespace drvnt::sim {

inline constexpr std::size_t kV8TransportHeaderSize = 21;
inline constexpr std::size_t kV8PacketHeaderSize = 18;
// No packet of the driver comes near this; a larger length means the stream is out of step.
inline constexpr std::int32_t kV8MaxPacketLength = 1 << 20;

namespace v8type {
inline constexpr std::uint32_t kPoll = 0x02000000;
inline constexpr std::uint32_t kHello = 0x02000001;
inline constexpr std::uint32_t kAccepted = 0x02000003;
inline constexpr std::uint32_t kProbe = 0x02000004;
inline constexpr std::uint32_t kAccessDenied = 0x02000005;
inline constexpr std::uint32_t kPortStatus = 0x02200062;
inline constexpr std::uint32_t kVersion = 0x02200063;
inline constexpr std::uint32_t kFirstNumber = 0x02200065;
inline constexpr std::uint32_t kDisconnectOrder = 0x02FFFFFD;
inline constexpr std::uint32_t kDropOrder = 0x02FFFFFE;
inline constexpr std::uint32_t kProbeAnswer = 0x02FFFFFF;
inline constexpr std::uint32_t kEventRecord = 0x03000032;
inline constexpr std::uint32_t kEventAck = 0x03000033;
}  // namespace v8type

struct V8Packet {
  std::uint8_t marker = 0xFF;  // transport header byte 0
  std::int32_t length = 0;     // N at offset 5
  std::int32_t length2 = 0;    // N again at offset 17
  std::uint8_t head = 0xFF;    // packet byte 0
  std::uint32_t type = 0;
  std::int32_t bodyLength = 0;  // B as written in the packet header
  std::int64_t sequence = 0;
  std::uint8_t tail = 0xFE;  // packet byte 17
  Bytes body;                // the N - 18 bytes after the packet header
};

// Transport header and packet for a body; marker 0xFF, both lengths N = 18 + body size.
Bytes EncodeV8(std::uint32_t type, std::int64_t sequence, const Bytes& body = {});

// "poll", "event", "accepted", ... or "0x12345678" for a type this link does not know.
std::string V8TypeName(std::uint32_t type);

// type, seq, the body's fields, then check=ok or check=bad:... listing what breaks the layout
// (head, tail, len2, blen, size, seq).
Decoded DescribeV8Packet(const V8Packet& p);

// Cuts the received byte stream into packets. A header with a wrong marker or an impossible
// length leaves the stream out of step for good; the reader then reports it on every call and
// the caller drops the connection.
class V8StreamReader {
 public:
  enum class Status { kNeedMore, kPacket, kBadMarker, kBadLength };

  void Feed(const std::uint8_t* data, std::size_t n);
  Status Next(V8Packet& out);

  std::size_t Buffered() const { return buffer_.size() - start_; }
  // Byte 0 and N of the header that broke the stream, for the report.
  std::uint8_t BadMarker() const { return badMarker_; }
  std::int32_t BadLength() const { return badLength_; }

 private:
  Bytes buffer_;
  std::size_t start_ = 0;
  Status broken_ = Status::kNeedMore;
  std::uint8_t badMarker_ = 0;
  std::int32_t badLength_ = 0;
};

}  // namespace drvnt::sim
