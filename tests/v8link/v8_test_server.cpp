#include "v8link/v8_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace drvnt::testing {
namespace {

constexpr std::size_t kTransport = 21;
constexpr std::size_t kHeader = 18;

std::uint32_t Le32(const Wire& w, std::size_t at) {
  return static_cast<std::uint32_t>(w[at]) | static_cast<std::uint32_t>(w[at + 1]) << 8 |
         static_cast<std::uint32_t>(w[at + 2]) << 16 | static_cast<std::uint32_t>(w[at + 3]) << 24;
}

void PushLe32(Wire& w, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    w.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PushLe64(Wire& w, std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    w.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void SendAll(int fd, const Wire& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0)
      return;  // the driver has gone; the test will notice
    sent += static_cast<std::size_t>(n);
  }
}

ServerPacket Decode(const Wire& wire) {
  ServerPacket p;
  p.wire = wire;
  if (wire.size() >= kTransport + kHeader) {
    p.type = Le32(wire, kTransport + 1);
    p.sequence =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(Le32(wire, kTransport + 9)) |
                                  static_cast<std::uint64_t>(Le32(wire, kTransport + 13)) << 32);
    p.body.assign(wire.begin() + kTransport + kHeader, wire.end());
  }
  return p;
}

}  // namespace

V8TestServer::V8TestServer(ServerPolicy policy) : policy_(std::move(policy)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ::inet_pton(AF_INET, kV8TestAddress, &addr.sin_addr);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(listenFd_, 4) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe(wakeFds_) != 0) {
    throw std::runtime_error("test server cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

V8TestServer::~V8TestServer() {
  const char stop = 'x';
  [[maybe_unused]] const ssize_t n = ::write(wakeFds_[1], &stop, 1);
  thread_.join();
  if (current_.fd >= 0)
    ::close(current_.fd);
  ::close(listenFd_);
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
}

void V8TestServer::SetPolicy(ServerPolicy policy) {
  std::lock_guard lock(mutex_);
  policy_ = std::move(policy);
}

void V8TestServer::SetReplyDelayMs(int ms) {
  std::lock_guard lock(mutex_);
  replyDelayMs_ = ms;
}

std::vector<ServerPacket> V8TestServer::Packets() const {
  std::lock_guard lock(mutex_);
  return packets_;
}

int V8TestServer::Connections() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(ended_.size());
}

bool V8TestServer::Ended(int n) const {
  std::lock_guard lock(mutex_);
  return n < static_cast<int>(ended_.size()) && ended_[static_cast<std::size_t>(n)];
}

bool V8TestServer::SawPipelining() const {
  std::lock_guard lock(mutex_);
  return pipelined_;
}

bool V8TestServer::WaitFor(const std::function<bool()>& done, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(5));
  }
  return true;
}

bool V8TestServer::WaitForPackets(std::size_t n, int timeoutMs) const {
  return WaitFor([&] { return Packets().size() >= n; }, timeoutMs);
}

void V8TestServer::Hangup() {
  const int n = Connections() - 1;
  const char hangup = 'h';
  [[maybe_unused]] const ssize_t w = ::write(wakeFds_[1], &hangup, 1);
  WaitFor([&] { return n < 0 || Ended(n); });
}

void V8TestServer::Serve() {
  while (true) {
    const bool readConnection = current_.fd >= 0 && current_.reading;
    pollfd fds[3] = {{wakeFds_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}, {current_.fd, POLLIN, 0}};
    if (::poll(fds, readConnection ? 3 : 2, PollTimeoutMs()) < 0)
      continue;
    if (fds[0].revents != 0) {
      char command = 'x';
      [[maybe_unused]] const ssize_t r = ::read(wakeFds_[0], &command, 1);
      if (command == 'x')
        return;
      EndConnection(current_);
      continue;
    }
    // The old connection is read out before a new one replaces it.
    if (readConnection && fds[2].revents != 0)
      ReadFrom(current_);
    if (fds[1].revents != 0)
      Accept();
    SendRepeats();
  }
}

int V8TestServer::PollTimeoutMs() const {
  const auto now = std::chrono::steady_clock::now();
  const auto until = [&](std::chrono::steady_clock::time_point t) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
    return left > 0 ? static_cast<int>(left) : 0;
  };
  if (current_.fd < 0)
    return -1;
  int ms = -1;
  if (current_.repeatEveryMs > 0)
    ms = until(current_.nextRepeat);
  if (!current_.unasked.empty()) {
    const int unasked = until(current_.unaskedAt);
    ms = ms < 0 ? unasked : std::min(ms, unasked);
  }
  return ms;
}

void V8TestServer::SendRepeats() {
  Connection& c = current_;
  if (c.fd < 0)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (!c.unasked.empty() && now >= c.unaskedAt) {
    SendAll(c.fd, c.unasked);
    c.unasked.clear();
  }
  if (c.repeatEveryMs <= 0 || now < c.nextRepeat)
    return;
  // A driver that no longer reads fills the buffers: what the socket does not take is skipped.
  [[maybe_unused]] const ssize_t n =
      ::send(c.fd, c.repeat.data(), c.repeat.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  c.nextRepeat += std::chrono::milliseconds(c.repeatEveryMs);
}

void V8TestServer::Accept() {
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0)
    return;
  if (current_.fd >= 0)
    EndConnection(current_);
  std::lock_guard lock(mutex_);
  current_ = Connection{};
  current_.fd = fd;
  current_.number = static_cast<int>(ended_.size());
  ended_.push_back(false);
  changed_.notify_all();
}

void V8TestServer::ReadFrom(Connection& c) {
  std::uint8_t buf[4096];
  const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
  if (n <= 0) {
    EndConnection(c);
    return;
  }
  c.buffer.insert(c.buffer.end(), buf, buf + n);
  HandlePackets(c);
}

void V8TestServer::HandlePackets(Connection& c) {
  while (c.fd >= 0 && c.buffer.size() >= kTransport) {
    const std::size_t total = kTransport + Le32(c.buffer, 5);
    if (c.buffer.size() < total)
      return;
    ServerPacket packet = Decode(Wire(c.buffer.begin(), c.buffer.begin() + total));
    c.buffer.erase(c.buffer.begin(), c.buffer.begin() + total);
    packet.connection = c.number;
    packet.index = c.packets++;
    ServerPolicy policy;
    int delayMs = 0;
    {
      std::lock_guard lock(mutex_);
      packets_.push_back(packet);
      policy = policy_;
      delayMs = replyDelayMs_;
      changed_.notify_all();
    }
    if (delayMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      std::uint8_t peek;
      if (!c.buffer.empty() || ::recv(c.fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
        std::lock_guard lock(mutex_);
        pipelined_ = true;
      }
    }
    const ServerAction action = policy ? policy(packet) : ServerAction{};
    if (action.delayMs > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
    if (!action.send.empty())
      SendAll(c.fd, action.send);
    if (action.repeatEveryMs > 0) {
      c.repeat = action.repeat;
      c.repeatEveryMs = action.repeatEveryMs;
      c.nextRepeat = std::chrono::steady_clock::now();
    }
    if (!action.unasked.empty()) {
      c.unasked = action.unasked;
      c.unaskedAt =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(action.unaskedAfterMs);
    }
    if (action.close)
      EndConnection(c);
    if (action.stopReading) {
      c.reading = false;
      return;
    }
  }
}

void V8TestServer::EndConnection(Connection& c) {
  if (c.fd < 0)
    return;
  ::close(c.fd);
  std::lock_guard lock(mutex_);
  c.fd = -1;
  ended_[static_cast<std::size_t>(c.number)] = true;
  changed_.notify_all();
}

Wire EncodeReply(const ReplyShape& shape) {
  Wire packet;
  packet.push_back(shape.packetStart);
  PushLe32(packet, shape.type);
  PushLe32(packet, static_cast<std::uint32_t>(shape.body.size()));
  PushLe64(packet, static_cast<std::uint64_t>(shape.sequence));
  packet.push_back(shape.packetEnd);
  packet.insert(packet.end(), shape.body.begin(), shape.body.end());
  Wire wire = TransportHeaderOnly(shape.marker, static_cast<std::int32_t>(packet.size()),
                                  static_cast<std::uint32_t>(packet.size()));
  wire.insert(wire.end(), packet.begin(), packet.end());
  return wire;
}

Wire Reply(std::uint32_t type) {
  ReplyShape shape;
  shape.type = type;
  return EncodeReply(shape);
}

Wire TransportHeaderOnly(std::uint8_t marker, std::int32_t length, std::uint32_t secondLength) {
  Wire wire{marker, 0, 0, 0, 0};
  PushLe32(wire, static_cast<std::uint32_t>(length));
  wire.insert(wire.end(), 8, 0);
  PushLe32(wire, secondLength);
  return wire;
}

}  // namespace drvnt::testing
