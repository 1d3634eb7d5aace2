#pragma once
// A TCP server on loopback written for the tests: it accepts connections one at a time, keeps
// what the client sent, and sends or resets on request. Non-blocking, polled from the test's loop,
// so the engine under test and the server share one thread.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/run_until.h"

namespace drvnt::testing {

class LoopbackServer {
 public:
  explicit LoopbackServer(std::uint16_t port) : port_(port) { Listen(); }
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
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::listen(listen_, 4) == 0;
  }

  bool Ok() const { return ok_; }
  int Accepted() const { return accepted_; }
  bool HasClient() const { return client_ >= 0; }

  // Accepts a waiting connection and reads what arrived; call it from the test's wait loop.
  void Poll() {
    if (client_ < 0 && listen_ >= 0) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        client_ = fd;
        ++accepted_;
      }
    }
    if (client_ < 0)
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
  std::uint16_t port_;
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
