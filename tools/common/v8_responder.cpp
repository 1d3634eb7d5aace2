#include "common/v8_responder.h"

namespace drvnt::sim {

std::optional<V8Mode> ParseV8Mode(std::string_view text) {
  struct Name {
    const char* text;
    V8Mode mode;
  };
  static const Name kNames[] = {
      {"normal", V8Mode::kNormal},
      {"silent", V8Mode::kSilent},
      {"deny", V8Mode::kDeny},
      {"drop", V8Mode::kDrop},
      {"disconnect", V8Mode::kDisconnect},
      {"slow", V8Mode::kSlow},
      {"garbage", V8Mode::kGarbage},
      {"late", V8Mode::kLate},
      {"flood", V8Mode::kFlood},
  };
  for (const Name& n : kNames) {
    if (text == n.text)
      return n.mode;
  }
  return std::nullopt;
}

std::optional<V8Garbage> ParseV8Garbage(std::string_view text) {
  struct Name {
    const char* text;
    V8Garbage kind;
  };
  static const Name kNames[] = {
      {"header", V8Garbage::kHeader},     {"junk", V8Garbage::kJunk}, {"huge", V8Garbage::kHuge},
      {"negative", V8Garbage::kNegative}, {"cut", V8Garbage::kCut},
  };
  for (const Name& n : kNames) {
    if (text == n.text)
      return n.kind;
  }
  return std::nullopt;
}

void V8Responder::NewConnection() {
  ++connections_;
  onConnection_ = 0;
  eventsOnConnection_ = 0;
}

bool V8Responder::FaultyConnection() const {
  const int n = options_.faultOnce ? 1 : options_.faultConnections;
  return n == 0 || connections_ <= n;
}

bool V8Responder::FloodHere() const {
  return options_.mode == V8Mode::kFlood && onConnection_ >= options_.faultAt && FaultyConnection();
}

bool V8Responder::FaultHere() const {
  const V8Mode m = options_.mode;
  const bool faultMode = m == V8Mode::kDrop || m == V8Mode::kDisconnect || m == V8Mode::kGarbage;
  return faultMode && onConnection_ == options_.faultAt && FaultyConnection();
}

bool V8Responder::LateHere(const V8Packet& packet) const {
  return options_.mode == V8Mode::kLate && packet.type == v8type::kEventRecord &&
         eventsOnConnection_ == options_.faultAt && FaultyConnection();
}

std::uint32_t V8Responder::PlainReplyType(const V8Packet& packet) const {
  switch (packet.type) {
    case v8type::kHello: {
      const bool deny = options_.mode == V8Mode::kDeny && FaultyConnection();
      return deny ? v8type::kAccessDenied : v8type::kAccepted;
    }
    case v8type::kEventRecord:
      return options_.noAck ? v8type::kPoll : v8type::kEventAck;
    default:
      return v8type::kPoll;
  }
}

V8Reply V8Responder::Garbage() const {
  V8Reply r{"garbage", 0, {}};
  switch (options_.garbage) {
    case V8Garbage::kJunk:
      // Junk the length of a whole reply: the driver takes 21 bytes as a bad header and the rest
      // as the start of its next reply, which puts its reading out of step.
      r.wire.assign(kV8TransportHeaderSize + kV8PacketHeaderSize, 0xA5);
      break;
    case V8Garbage::kHuge:
    case V8Garbage::kNegative: {
      // A transport header alone, its two lengths alike and impossible.
      const std::uint32_t n = options_.garbage == V8Garbage::kHuge ? 0x7FFFFFFFu : 0xFFFFFFFFu;
      r.wire = EncodeV8(v8type::kPoll, 0);
      r.wire.resize(kV8TransportHeaderSize);
      PutU32(r.wire, 5, n);
      PutU32(r.wire, 17, n);
      break;
    }
    case V8Garbage::kCut:
      // The start of a reply whose rest never comes.
      r.wire = EncodeV8(v8type::kPoll, 0);
      r.wire.resize(10);
      break;
    case V8Garbage::kHeader:
      // A well-formed header whose marker is wrong, alone: the driver consumes exactly it.
      r.wire = EncodeV8(v8type::kPoll, 0);
      r.wire.resize(kV8TransportHeaderSize);
      r.wire[0] = 0x00;
      break;
  }
  return r;
}

void V8Responder::AddFlood(V8Reply& reply) {
  for (int i = 0; i < options_.floodCount; ++i) {
    static constexpr std::uint32_t kTypes[] = {v8type::kEventAck, v8type::kPoll, v8type::kProbe};
    const std::uint32_t type = kTypes[i % 3];
    const Bytes extra = EncodeV8(type, ++floodSequence_);
    reply.wire.insert(reply.wire.end(), extra.begin(), extra.end());
  }
  reply.unasked = options_.floodCount;
}

std::optional<V8Reply> V8Responder::Answer(const V8Packet& packet) {
  ++total_;
  ++onConnection_;
  eventsOnConnection_ += packet.type == v8type::kEventRecord;
  if (options_.mode == V8Mode::kSilent)
    return std::nullopt;
  if (options_.probeEvery > 0 && total_ % options_.probeEvery == 0)
    probeDue_ = true;
  std::uint32_t type = PlainReplyType(packet);
  if (FaultHere()) {
    if (options_.mode == V8Mode::kGarbage)
      return Garbage();
    type = options_.mode == V8Mode::kDrop ? v8type::kDropOrder : v8type::kDisconnectOrder;
  } else if (type == v8type::kPoll && probeDue_) {
    type = v8type::kProbe;
    probeDue_ = false;
  }
  V8Reply reply{V8TypeName(type), type, EncodeV8(type, packet.sequence), LateHere(packet)};
  if (FloodHere())
    AddFlood(reply);
  return reply;
}

}  // namespace drvnt::sim
