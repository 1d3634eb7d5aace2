#include "v8link/reply_reader.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "v8link/wire_codec.h"

namespace drvnt::v8 {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Replies are collected in requests of at most this many bytes.
constexpr std::size_t kMaxRequest = 50000;
// The server's replies are small; a longer announced packet is a broken stream, not a reply.
constexpr std::int32_t kMaxPacketLength = 1 << 20;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The announced packet, in requests of at most 50000 bytes, each waiting up to the reply wait and
// never past the deadline. A closed connection, an error, a request that brings nothing, the
// deadline, or a request that times out after a stop, ends the collection short.
bool CollectPacket(BlockingTcpClient& client, Bytes& packet, SteadyClock::time_point deadline,
                   const std::atomic<bool>& stop) {
  std::size_t collected = 0;
  while (collected < packet.size()) {
    const int wait = std::min(kReplyWaitMs, MsLeft(deadline));
    if (wait == 0)
      return false;
    const std::size_t want = std::min(packet.size() - collected, kMaxRequest);
    const ReadResult r = client.ReadExactly(std::span(packet).subspan(collected, want), wait);
    collected += r.received;
    if (r.end == ReadEnd::kClosed || r.end == ReadEnd::kError)
      return false;
    if (r.end == ReadEnd::kTimedOut && (r.received == 0 || stop))
      return false;
  }
  return true;
}

}  // namespace

ReplyRead ReadReply(BlockingTcpClient& client, const std::atomic<bool>& stop) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kReplyDeadlineMs);
  ReplyRead reply;
  std::array<std::uint8_t, kTransportHeaderSize> header{};
  if (client.ReadExactly(header, kReplyWaitMs).end != ReadEnd::kComplete)
    return reply;
  const TransportHeader transport = DecodeTransportHeader(header);
  if (!transport.markerOk) {
    reply.end = ReplyEnd::kWrongMarker;
    return reply;
  }
  reply.end = ReplyEnd::kBroken;
  if (transport.length < 0 || transport.length > kMaxPacketLength)
    return reply;
  reply.packet.resize(static_cast<std::size_t>(transport.length));
  if (!CollectPacket(client, reply.packet, deadline, stop)) {
    reply.packet.clear();
    return reply;
  }
  reply.end = ReplyEnd::kPacket;
  return reply;
}

}  // namespace drvnt::v8
