#pragma once
// The receive step of one V8 exchange: the single transmission that answers the request just
// written. Its transport header must come within 1000 ms of the request and the whole reply within
// 2000 ms. The server's replies are a packet header and a small body sent at once; a second beyond
// the reply wait is room for a reply split across segments and one lost segment, while a server
// that trickles its reply, stops half-way or closes gets no more time than that. Past the bound the
// exchange has failed: what the server sends after it is no longer an answer to this request.
//
// It never interprets the packet it returns and never reads beyond the one transmission.

#include <atomic>

#include "core/bytes.h"
#include "platform/blocking_tcp.h"

namespace drvnt::v8 {

inline constexpr int kReplyWaitMs = 1000;      // for the transport header
inline constexpr int kReplyDeadlineMs = 2000;  // for the whole reply

enum class ReplyEnd {
  kPacket,       // a whole transmission: the packet is in `packet`
  kNoReply,      // no whole transport header within the reply wait, or the read failed
  kWrongMarker,  // a header whose marker is neither 0xFF nor 0xF0: the stream is out of step
  kBroken,       // an impossible length, or the packet cut short (closed, failed, too late)
};

struct ReplyRead {
  ReplyEnd end = ReplyEnd::kNoReply;
  Bytes packet;  // packet header and body; empty unless kPacket
};

// `stop`: once set, a request that brings nothing for its wait ends the collection at once.
ReplyRead ReadReply(BlockingTcpClient& client, const std::atomic<bool>& stop);

}  // namespace drvnt::v8
