#include "common/tcp_listen.h"

#include "common/cli.h"
#include "common/line_out.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace drvnt::sim {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o)
    Reset(o.Release());
  return *this;
}

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0)
    close(fd_);
  fd_ = fd;
}

bool IsIpv4Address(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

Listener OpenListener(const std::string& bindAddress, std::uint16_t port) {
  const std::string where = bindAddress + ":" + std::to_string(port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, bindAddress.c_str(), &addr.sin_addr) != 1) {
    throw std::runtime_error("cannot listen on " + where + ": not an IPv4 address");
  }
  Listener l;
  l.fd.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int on = 1;
  if (!l.fd.Valid() || setsockopt(l.fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(l.fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(l.fd.Get(), 4) != 0) {
    throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(errno));
  }
  socklen_t len = sizeof addr;
  getsockname(l.fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
  l.port = ntohs(addr.sin_port);
  return l;
}

UniqueFd AcceptConnection(int listenFd, std::string& peer) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  UniqueFd fd(
      accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (fd.Valid()) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    peer = std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
  }
  return fd;
}

bool SendAll(int fd, const Bytes& data, int timeoutMs) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      return false;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
      return false;
  }
  return true;
}

Listener ListenFromCommandLine(const CommandLine& cl, std::uint16_t defaultPort) {
  const auto port = static_cast<std::uint16_t>(cl.Int("port", defaultPort, 0, 65535));
  const std::string bind = cl.Text("bind", "127.0.0.1");
  if (!IsIpv4Address(bind))
    throw UsageError("bad value \"" + bind + "\" for --bind (an IPv4 address)");
  Listener listener = OpenListener(bind, port);
  Emit("listen", {{"addr", bind}, {"port", std::to_string(listener.port)}});
  return listener;
}

}  // namespace drvnt::sim
