#pragma once
// The listening side of the simulated servers: one IPv4 listening socket with SO_REUSEADDR, so
// that a restarted server binds again at once, and the few calls an accepted connection needs.
// Port 0 picks a free port; the chosen port is reported back for the "listen" line.

#include <cstdint>
#include <string>

#include "common/le_bytes.h"

namespace drvnt::sim {

class CommandLine;

// Owns one descriptor and closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct Listener {
  UniqueFd fd;
  std::uint16_t port = 0;
};

bool IsIpv4Address(const std::string& text);

// Throws std::runtime_error naming the address and the system's reason.
Listener OpenListener(const std::string& bindAddress, std::uint16_t port);

// The listening socket of a server's --bind (default 127.0.0.1) and --port options; prints the
// "listen" line with the port actually bound. A bind address that is no IPv4 address is a usage
// error.
Listener ListenFromCommandLine(const CommandLine& cl, std::uint16_t defaultPort);

// Accepts one waiting connection, non-blocking, and gives the peer as "a.b.c.d:port".
UniqueFd AcceptConnection(int listenFd, std::string& peer);

// Writes everything, waiting up to timeoutMs for room when the socket is full. False when the
// connection failed or stayed full.
bool SendAll(int fd, const Bytes& data, int timeoutMs);

}  // namespace drvnt::sim
