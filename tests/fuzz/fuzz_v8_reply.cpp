// Fuzz target: what a V8 server sends. The input is the server's whole byte stream on one
// connection; the real blocking client reads it over loopback, reply by reply, as the worker does
// (one reply per request, and the connection ends with the first exchange that brings no whole
// packet). Each packet then goes through the packet-header decoding and the type's name.
//
// The stream is written and the server's side closed before the first read, so no wait in the
// receive step can run into its time-out: every outcome follows from the bytes alone, and the
// target checks it against a reading of the transport headers of its own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "fuzz_check.h"
#include "platform/blocking_tcp.h"
#include "v8link/reply_reader.h"
#include "v8link/wire_codec.h"

namespace drvnt::fuzz {
namespace {

// A loopback address of the fuzzer's own, never a station's real server.
constexpr const char* kServerAddress = "127.0.0.2";
// The largest stream written in one go: it fits the socket buffers set below, so the write never
// waits for the reader.
constexpr std::size_t kMaxStream = 256 * 1024;
constexpr int kSocketBuffer = 1 << 20;

struct Listener {
  int fd = -1;
  int port = 0;
};

const Listener& TheListener() {
  static const Listener listener = [] {
    Listener l;
    l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(l.fd >= 0);
    const int one = 1;
    ::setsockopt(l.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(l.fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, kServerAddress, &addr.sin_addr);
    FUZZ_CHECK(::bind(l.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    FUZZ_CHECK(::listen(l.fd, 4) == 0);
    socklen_t len = sizeof addr;
    FUZZ_CHECK(::getsockname(l.fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    l.port = ntohs(addr.sin_port);
    return l;
  }();
  return listener;
}

// Writes the whole stream without waiting and closes the server's side; returns what went out.
std::size_t ServeAndClose(int conn, std::span<const std::uint8_t> stream) {
  std::size_t sent = 0;
  while (sent < stream.size()) {
    const ssize_t n =
        ::send(conn, stream.data() + sent, stream.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0)
      break;
    sent += static_cast<std::size_t>(n);
  }
  ::close(conn);
  return sent;
}

// What the receive step must make of the stream at `offset`, read independently of it.
v8::ReplyEnd Expected(std::span<const std::uint8_t> stream, std::size_t offset, std::size_t* next) {
  const std::size_t left = stream.size() - offset;
  if (left < v8::kTransportHeaderSize)
    return v8::ReplyEnd::kNoReply;
  const std::uint8_t* h = stream.data() + offset;
  if (h[0] != 0xFF && h[0] != 0xF0)
    return v8::ReplyEnd::kWrongMarker;
  const auto length = static_cast<std::int32_t>(h[5] | h[6] << 8 | h[7] << 16 |
                                                static_cast<std::uint32_t>(h[8]) << 24);
  if (length < 0 || length > (1 << 20))
    return v8::ReplyEnd::kBroken;
  if (left - v8::kTransportHeaderSize < static_cast<std::size_t>(length))
    return v8::ReplyEnd::kBroken;
  *next = offset + v8::kTransportHeaderSize + static_cast<std::size_t>(length);
  return v8::ReplyEnd::kPacket;
}

void CheckPacket(std::span<const std::uint8_t> packet) {
  const std::optional<v8::PacketHeader> header = v8::DecodePacketHeader(packet);
  const bool wellFormed = packet.size() >= v8::kPacketHeaderSize && packet[0] == 0xFF &&
                          packet[v8::kPacketHeaderSize - 1] == 0xFE;
  FUZZ_CHECK(header.has_value() == wellFormed);
  if (!header)
    return;
  FUZZ_CHECK(header->type == GetU32(&packet[1]));
  FUZZ_CHECK(!v8::PacketTypeName(header->type).empty());
}

}  // namespace
}  // namespace drvnt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace drvnt;
  const fuzz::Listener& listener = fuzz::TheListener();
  BlockingTcpClient client(TcpHooks{});
  FUZZ_CHECK(client.Connect(fuzz::kServerAddress, listener.port, 2000, nullptr));
  const int conn = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
  FUZZ_CHECK(conn >= 0);
  const std::span<const std::uint8_t> input(data, std::min(size, fuzz::kMaxStream));
  const std::span<const std::uint8_t> stream = input.first(fuzz::ServeAndClose(conn, input));

  const std::atomic<bool> stop{false};
  std::size_t offset = 0;
  while (true) {
    std::size_t next = offset;
    const v8::ReplyEnd expected = fuzz::Expected(stream, offset, &next);
    const v8::ReplyRead reply = v8::ReadReply(client, stop);
    FUZZ_CHECK(reply.end == expected);
    if (reply.end != v8::ReplyEnd::kPacket) {
      FUZZ_CHECK(reply.packet.empty());
      break;  // the worker ends such a connection
    }
    const auto packet =
        stream.subspan(offset + v8::kTransportHeaderSize, next - offset - v8::kTransportHeaderSize);
    FUZZ_CHECK(std::equal(reply.packet.begin(), reply.packet.end(), packet.begin(), packet.end()));
    fuzz::CheckPacket(reply.packet);
    offset = next;
  }
  client.Close();
  return 0;
}
