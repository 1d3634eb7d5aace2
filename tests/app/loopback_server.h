#pragma once
// A TCP server on loopback written for the tests: it accepts connections one at a time, keeps
// what the client sent, and sends, closes or resets on request; it can also stop reading, as a
// stalled server does. Non-blocking, polled from the test's loop, so the engine under test and the
// server share one thread. Each test file listens on a loopback address of its own (127.0.0.2 and
// up), never on 127.0.0.1, where a real server of the machine may listen.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/run_until.h"

namespace drvnt::testing {

// A loopback address of the running test's own, 127.`net`.x.y with x.y from the test's name, in
// host byte order: the tests of one file run side by side on the same port, and none reaches a
// real server on 127.0.0.1.
inline std::uint32_t OwnLoopbackAddress(std::uint8_t net) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name =
      test ? std::string(test->test_suite_name()) + "." + test->name() : std::string();
  const std::uint32_t host = static_cast<std::uint32_t>(std::hash<std::string>{}(name) % 65000) + 2;
  return 0x7F000000u | (static_cast<std::uint32_t>(net) << 16) | host;
}

// "127.3.1.2" for 0x7F030102.
inline std::string DottedAddress(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

class LoopbackServer {
 public:
  // `address` in host byte order, 0x7F000003 = 127.0.0.3. A receive buffer size above 0 keeps
  // what the system holds for a server that stops reading small.
  LoopbackServer(std::uint32_t address, std::uint16_t port, int receiveBuffer = 0)
      : address_(address), port_(port), receiveBuffer_(receiveBuffer) {
    Listen();
  }
  ~LoopbackServer() { Stop(); }

  // The server goes away (its connection and its listening socket) and comes back.
  void Stop() {
    CloseClient();
    if (listen_ >= 0)
      ::close(listen_);
    listen_ = -1;
    ok_ = false;
  }
  void Listen() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer_ > 0) {
      ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof receiveBuffer_);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(address_);
    ok_ = ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::listen(listen_, 4) == 0;
  }

  bool Ok() const { return ok_; }
  int Accepted() const { return accepted_; }
  bool HasClient() const { return client_ >= 0; }
  // The accepted connection, for a test that writes to it from a thread of its own.
  int ClientFd() const { return client_; }

  // Accepts a waiting connection and reads what arrived; call it from the test's wait loop.
  void Poll() {
    if (client_ < 0 && listen_ >= 0) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        client_ = fd;
        ++accepted_;
      }
    }
    if (client_ < 0 || !reading_)
      return;
    std::uint8_t buf[4096];
    while (true) {
      const ssize_t n = ::recv(client_, buf, sizeof buf, 0);
      if (n > 0) {
        received_.insert(received_.end(), buf, buf + n);
        continue;
      }
      if (n == 0)
        CloseClient();
      break;
    }
  }

  // A server that stops reading leaves what arrives with the system.
  void SetReading(bool on) { reading_ = on; }
  // Bytes that arrived and wait unread; -1 without a connection.
  int Unread() const {
    int n = -1;
    if (client_ >= 0)
      ::ioctl(client_, FIONREAD, &n);
    return n;
  }

  const std::vector<std::uint8_t>& Received() const { return received_; }
  void ClearReceived() { received_.clear(); }

  void Send(const std::vector<std::uint8_t>& bytes) {
    if (client_ >= 0) {
      [[maybe_unused]] const ssize_t n = ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
  }

  void CloseClient() {
    if (client_ >= 0)
      ::close(client_);
    client_ = -1;
  }

  // Closes with a reset, as a crashed server would.
  void ResetClient() {
    if (client_ < 0)
      return;
    const linger l{1, 0};
    ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    CloseClient();
  }

 private:
  std::uint32_t address_;
  std::uint16_t port_;
  int receiveBuffer_;
  bool reading_ = true;
  int listen_ = -1;
  int client_ = -1;
  int accepted_ = 0;
  bool ok_ = false;
  std::vector<std::uint8_t> received_;
};

// Runs the test's event loop, serving `server`, until `done` holds or `ms` have passed.
inline bool RunUntilServed(LoopbackServer& server, const std::function<bool()>& done,
                           int ms = 5000) {
  return RunUntil(
      [&] {
        server.Poll();
        return done();
      },
      ms);
}

}  // namespace drvnt::testing
