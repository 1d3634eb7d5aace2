#include "common/v8_codec.h"

#include <algorithm>

#include "common/local_time.h"

namespace drvnt::sim {
namespace {

struct TypeInfo {
  std::uint32_t type;
  const char* name;
  int bodySize;  // the size the driver sends; -1 where the body is not interpreted
};

constexpr TypeInfo kTypes[] = {
    {v8type::kPoll, "poll", 0},
    {v8type::kHello, "hello", 2},
    {v8type::kAccepted, "accepted", -1},
    {v8type::kProbe, "probe", -1},
    {v8type::kAccessDenied, "access-denied", -1},
    {v8type::kPortStatus, "port-status", 8},
    {v8type::kVersion, "version", 8},
    {v8type::kFirstNumber, "first-number", 1},
    {v8type::kDisconnectOrder, "disconnect-order", -1},
    {v8type::kDropOrder, "drop-order", -1},
    {v8type::kProbeAnswer, "probe-answer", 0},
    {v8type::kEventRecord, "event", 22},
    {v8type::kEventAck, "event-ack", -1},
};

const TypeInfo* FindType(std::uint32_t type) {
  for (const TypeInfo& t : kTypes) {
    if (t.type == type)
      return &t;
  }
  return nullptr;
}

void AddEventFields(const Bytes& b, Decoded& d) {
  const std::size_t codeLength = std::min<std::size_t>(b[5], 4);
  const std::string code(reinterpret_cast<const char*>(b.data() + 6), codeLength);
  const std::string object = std::to_string(GetI32(b.data() + 1));
  d.fields.push_back({"tag", std::to_string(b[0])});
  d.fields.push_back({"object", object});
  d.fields.push_back({"code", EscapeText(code)});
  d.fields.push_back({"zone", std::to_string(GetU16(b.data() + 10))});
  d.fields.push_back({"hnumber", std::to_string(b[12])});
  d.fields.push_back({"hdigit", std::to_string(b[13])});
  d.fields.push_back({"time", FormatIsoDateTime(GetF64(b.data() + 14))});
  d.key = object + "/" + EscapeText(code) + "/" + ToHex(b.data() + 14, 8);
}

void AddPortStatusFields(const Bytes& b, Decoded& d) {
  const std::size_t n = std::min<std::size_t>(b[0], 6);
  d.fields.push_back({"name", EscapeText(std::string(b.begin() + 1, b.begin() + 1 + n))});
  d.fields.push_back({"open", std::to_string(b[7])});
}

void AddBodyFields(const V8Packet& p, Decoded& d) {
  const Bytes& b = p.body;
  const TypeInfo* t = FindType(p.type);
  if (t == nullptr || t->bodySize <= 0 || b.size() != static_cast<std::size_t>(t->bodySize)) {
    return;
  }
  switch (p.type) {
    case v8type::kHello:
      d.fields.push_back({"value", std::to_string(GetU16(b.data()))});
      break;
    case v8type::kPortStatus:
      AddPortStatusFields(b, d);
      break;
    case v8type::kFirstNumber:
      d.fields.push_back({"value", std::to_string(b[0])});
      break;
    case v8type::kVersion:
      d.fields.push_back({"major", std::to_string(GetU16(b.data()))});
      d.fields.push_back({"minor", std::to_string(GetU16(b.data() + 2))});
      d.fields.push_back({"release", std::to_string(GetU16(b.data() + 4))});
      d.fields.push_back({"build", std::to_string(GetU16(b.data() + 6))});
      break;
    case v8type::kEventRecord:
      AddEventFields(b, d);
      break;
  }
}

std::string Check(const V8Packet& p) {
  std::string bad;
  auto note = [&bad](const char* what) { bad += bad.empty() ? what : std::string(",") + what; };
  const TypeInfo* t = FindType(p.type);
  if (p.head != 0xFF)
    note("head");
  if (p.tail != 0xFE)
    note("tail");
  if (p.length2 != p.length)
    note("len2");
  if (p.bodyLength != static_cast<std::int32_t>(p.body.size()))
    note("blen");
  if (t != nullptr && t->bodySize >= 0 && p.body.size() != static_cast<std::size_t>(t->bodySize)) {
    note("size");
  }
  if (p.type == v8type::kPoll && p.sequence != 0)
    note("seq");
  if (p.type == v8type::kPortStatus && p.body.size() == 8 && p.body[0] > 6)
    note("name");
  return bad.empty() ? "ok" : "bad:" + bad;
}

}  // namespace

Bytes EncodeV8(std::uint32_t type, std::int64_t sequence, const Bytes& body) {
  const auto n = static_cast<std::uint32_t>(kV8PacketHeaderSize + body.size());
  Bytes w(kV8TransportHeaderSize + kV8PacketHeaderSize, 0);
  w[0] = 0xFF;
  PutU32(w, 5, n);
  PutU32(w, 17, n);
  const std::size_t p = kV8TransportHeaderSize;
  w[p] = 0xFF;
  PutU32(w, p + 1, type);
  PutU32(w, p + 5, static_cast<std::uint32_t>(body.size()));
  PutI64(w, p + 9, sequence);
  w[p + 17] = 0xFE;
  w.insert(w.end(), body.begin(), body.end());
  return w;
}

std::string V8TypeName(std::uint32_t type) {
  const TypeInfo* t = FindType(type);
  return t != nullptr ? t->name : HexValue(type, 8);
}

Decoded DescribeV8Packet(const V8Packet& p) {
  Decoded d;
  d.type = V8TypeName(p.type);
  d.fields.push_back({"seq", std::to_string(p.sequence)});
  AddBodyFields(p, d);
  d.fields.push_back({"check", Check(p)});
  return d;
}

void V8StreamReader::Feed(const std::uint8_t* data, std::size_t n) {
  if (start_ > 0 && (start_ == buffer_.size() || start_ > 65536)) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + n);
}

V8StreamReader::Status V8StreamReader::Next(V8Packet& out) {
  if (broken_ != Status::kNeedMore)
    return broken_;
  if (Buffered() < kV8TransportHeaderSize)
    return Status::kNeedMore;
  const std::uint8_t* h = buffer_.data() + start_;
  const std::int32_t n = GetI32(h + 5);
  if (h[0] != 0xFF && h[0] != 0xF0) {
    badMarker_ = h[0];
    return broken_ = Status::kBadMarker;
  }
  if (n < static_cast<std::int32_t>(kV8PacketHeaderSize) || n > kV8MaxPacketLength) {
    badLength_ = n;
    return broken_ = Status::kBadLength;
  }
  if (Buffered() < kV8TransportHeaderSize + static_cast<std::size_t>(n))
    return Status::kNeedMore;
  const std::uint8_t* p = h + kV8TransportHeaderSize;
  out.marker = h[0];
  out.length = n;
  out.length2 = GetI32(h + 17);
  out.head = p[0];
  out.type = GetU32(p + 1);
  out.bodyLength = GetI32(p + 5);
  out.sequence = GetI64(p + 9);
  out.tail = p[17];
  out.body.assign(p + kV8PacketHeaderSize, p + n);
  start_ += kV8TransportHeaderSize + static_cast<std::size_t>(n);
  return Status::kPacket;
}

}  // namespace drvnt::sim
