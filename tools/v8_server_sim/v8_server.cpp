#include "v8_server_sim/v8_server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/line_out.h"
#include "common/stop_signal.h"

namespace drvnt::sim {
namespace {

const char* const kCountedTypes[] = {"poll",    "hello", "port-status", "first-number",
                                     "version", "event", "probe-answer"};

}  // namespace

V8Server::V8Server(Listener listener, const V8ServerOptions& options)
    : listener_(std::move(listener)), options_(options), responder_(options.responder) {}

void V8Server::Run() {
  while (!StopSignal::Requested()) {
    pollfd p[3] = {
        {StopSignal::Fd(), POLLIN, 0}, {listener_.fd.Get(), POLLIN, 0}, {conn_.Get(), POLLIN, 0}};
    if (poll(p, 3, PollTimeoutMs()) < 0 && errno != EINTR)
      break;
    // The old connection is read out before a new one replaces it.
    if (p[2].revents != 0)
      ServeConnection();
    if (p[1].revents != 0)
      Accept();
    SendDueReplies();
  }
}

int V8Server::PollTimeoutMs() const {
  if (replies_.empty())
    return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(replies_.front().due - Clock::now());
  return static_cast<int>(std::max<long>(0, left.count()));
}

void V8Server::Accept() {
  std::string peer;
  UniqueFd fd = AcceptConnection(listener_.fd.Get(), peer);
  if (!fd.Valid())
    return;
  if (conn_.Valid())
    Drop("replaced");
  conn_ = std::move(fd);
  ++connId_;
  reader_ = V8StreamReader();
  responder_.NewConnection();
  Emit("connect", {{"conn", std::to_string(connId_)}, {"peer", peer}});
}

void V8Server::Drop(const char* reason) {
  Emit("disconnect", {{"conn", std::to_string(connId_)},
                      {"reason", reason},
                      {"partial", std::to_string(reader_.Buffered())}});
  conn_.Reset();
  replies_.clear();
}

void V8Server::ServeConnection() {
  std::uint8_t buf[8192];
  const ssize_t n = read(conn_.Get(), buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    Drop(n == 0 ? "peer" : "error");
    return;
  }
  if (n < 0)
    return;
  reader_.Feed(buf, static_cast<std::size_t>(n));
  TakePackets();
}

void V8Server::TakePackets() {
  V8Packet packet;
  for (;;) {
    const V8StreamReader::Status s = reader_.Next(packet);
    if (s == V8StreamReader::Status::kNeedMore)
      return;
    if (s != V8StreamReader::Status::kPacket) {
      ReportBadStream(s);
      return;
    }
    OnPacket(packet);
  }
}

void V8Server::OnPacket(const V8Packet& packet) {
  const Decoded d = DescribeV8Packet(packet);
  ++packets_;
  ++byType_[std::find(std::begin(kCountedTypes), std::end(kCountedTypes), d.type) !=
                    std::end(kCountedTypes)
                ? d.type
                : "other"];
  if (packet.type != v8type::kPoll)
    sequences_.insert(packet.sequence);
  Fields f = {{"conn", std::to_string(connId_)}, {"n", std::to_string(packets_)}, {"type", d.type}};
  f.insert(f.end(), d.fields.begin(), d.fields.end());
  bad_ += d.fields.back().value != "ok";  // the check field comes last
  if (packet.marker != 0xFF)
    f.push_back({"marker", HexValue(packet.marker, 2)});
  if (packet.type == v8type::kEventRecord) {
    const bool dup = !d.key.empty() && !seenEvents_.insert(d.key).second;
    dups_ += dup;
    f.push_back({"dup", dup ? "1" : "0"});
  }
  Emit("recv", f);
  if (auto reply = responder_.Answer(packet)) {
    const int delayMs = reply->late ? options_.lateDelayMs : options_.delayMs;
    replies_.push_back(
        {Clock::now() + std::chrono::milliseconds(delayMs), packets_, std::move(*reply)});
  }
}

void V8Server::ReportBadStream(V8StreamReader::Status status) {
  const bool marker = status == V8StreamReader::Status::kBadMarker;
  Emit("bad-stream", {{"conn", std::to_string(connId_)},
                      {"reason", marker ? "marker" : "length"},
                      {"value", marker ? HexValue(reader_.BadMarker(), 2)
                                       : std::to_string(reader_.BadLength())}});
  Drop("bad-stream");
}

void V8Server::SendDueReplies() {
  while (!replies_.empty() && replies_.front().due <= Clock::now()) {
    const Scheduled s = std::move(replies_.front());
    replies_.pop_front();
    if (!SendAll(conn_.Get(), s.reply.wire, 1000)) {
      Drop("error");
      return;
    }
    const std::uint32_t t = s.reply.type;
    acked_ += t == v8type::kEventAck;
    probes_ += t == v8type::kProbe;
    orders_ +=
        t == v8type::kDropOrder || t == v8type::kDisconnectOrder || t == v8type::kAccessDenied;
    Fields f = {{"conn", std::to_string(connId_)},
                {"n", std::to_string(s.answers)},
                {"type", s.reply.name}};
    if (s.reply.name == "garbage") {
      ++garbage_;
      f.push_back({"bytes", std::to_string(s.reply.wire.size())});
    } else {
      f.push_back(
          {"seq", std::to_string(GetI64(s.reply.wire.data() + kV8TransportHeaderSize + 9))});
    }
    if (s.reply.unasked > 0)
      f.push_back({"unasked", std::to_string(s.reply.unasked)});
    Emit("sent", f);
  }
}

void V8Server::PrintSummary() const {
  Fields f = {{"conns", std::to_string(connId_)}, {"packets", std::to_string(packets_)}};
  for (const char* t : kCountedTypes) {
    const auto it = byType_.find(t);
    f.push_back({t, std::to_string(it == byType_.end() ? 0 : it->second)});
  }
  const auto other = byType_.find("other");
  f.push_back({"other", std::to_string(other == byType_.end() ? 0 : other->second)});
  f.push_back({"bad", std::to_string(bad_)});
  f.push_back({"acked", std::to_string(acked_)});
  f.push_back({"probes", std::to_string(probes_)});
  f.push_back({"orders", std::to_string(orders_)});
  f.push_back({"garbage", std::to_string(garbage_)});
  f.push_back({"seqs", std::to_string(sequences_.size())});
  f.push_back({"dups", std::to_string(dups_)});
  Emit("summary", f);
}

}  // namespace drvnt::sim
