// The blocking TCP client on POSIX: a non-blocking BSD socket whose calls wait in poll() with the
// caller's time-out, so that no call can hang past its time-out and a shutdown() of the socket from
// another thread ends any wait at once.
//
// The descriptor is guarded by a mutex only against Wake(): every other call runs on the owning
// thread, and Wake() never touches a descriptor that Close() has already given back to the system.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <system_error>

#include "platform/blocking_tcp.h"
#include "platform/host_lookup.h"

namespace drvnt {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::string ErrnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

void SetError(std::string* errorText, std::string text) {
  if (errorText != nullptr)
    *errorText = std::move(text);
}

// Milliseconds left until `deadline`, never negative.
int MsLeft(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// poll() for one descriptor until `deadline` (or without limit), restarted after a signal. Returns
// the events seen, 0 on time-out and -1 on failure.
int PollOne(int fd, short events, SteadyClock::time_point deadline, bool unlimited) {
  while (true) {
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, unlimited ? -1 : MsLeft(deadline));
    if (rc > 0)
      return p.revents;
    if (rc == 0)
      return 0;
    if (errno != EINTR)
      return -1;
  }
}

// True when the peer has closed its side. The system would still take a write into such a
// connection, and the bytes would vanish without an error.
bool PeerHasClosed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0)
    return false;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The IPv4 address of a dotted address, or of a host name looked up on the lookup's own thread
// until `deadline` or a wake.
bool Resolve(const std::string& host, HostLookup& lookup, SteadyClock::time_point deadline,
             const std::atomic<bool>& woken, in_addr& out, std::string* errorText) {
  if (::inet_pton(AF_INET, host.c_str(), &out) == 1)
    return true;
  if (!lookup.Begin(host)) {
    SetError(errorText, "host not found: the lookup of another name has not ended yet");
    return false;
  }
  const auto answer = lookup.WaitForAnswer(deadline, [&] { return woken.load(); });
  if (!answer) {
    SetError(errorText, woken ? ErrnoText(ECANCELED) : "host not found: the lookup timed out");
    return false;
  }
  if (!*answer) {
    SetError(errorText, "host not found");
    return false;
  }
  out.s_addr = htonl(**answer);
  return true;
}

// The system resolver's lookups for every client: the worker makes a new client for each attempt,
// and a name server that never answers must not gather one hanging lookup per attempt.
HostLookup& SystemLookup() {
  static HostLookup lookup(sock::LookupHostIPv4);
  return lookup;
}

}  // namespace

struct BlockingTcpClient::Impl {
  explicit Impl(TcpHooks h)
      : hooks(std::move(h)),
        ownLookup(hooks.lookup ? std::make_unique<HostLookup>(hooks.lookup) : nullptr),
        lookup(ownLookup ? *ownLookup : SystemLookup()) {}

  TcpHooks hooks;
  std::unique_ptr<HostLookup> ownLookup;  // a lookup the caller put in place of the system's
  HostLookup& lookup;
  mutable std::mutex mutex;  // guards fd against Wake()
  int fd = -1;
  bool connected = false;
  std::atomic<bool> woken{false};

  int Fd() const {
    std::lock_guard lock(mutex);
    return fd;
  }

  // Gives the descriptor back; true when a connection was open.
  bool Release() {
    int old = -1;
    bool wasConnected = false;
    {
      std::lock_guard lock(mutex);
      old = fd;
      wasConnected = connected;
      fd = -1;
      connected = false;
    }
    if (old >= 0)
      ::close(old);
    return wasConnected;
  }

  // Takes a new socket unless Wake() came first.
  bool Adopt(int newFd) {
    std::lock_guard lock(mutex);
    if (woken)
      return false;
    fd = newFd;
    return true;
  }

  bool FinishConnect(const sockaddr_in& addr, int timeoutMs, std::string* errorText);
  bool RunAfterConnect(std::string* errorText);
};

bool BlockingTcpClient::Impl::FinishConnect(const sockaddr_in& addr, int timeoutMs,
                                            std::string* errorText) {
  const int s = Fd();
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
    return true;
  if (errno != EINPROGRESS && errno != EINTR) {
    SetError(errorText, ErrnoText(errno));
    return false;
  }
  const int events = PollOne(s, POLLOUT, deadline, false);
  if (events == 0) {
    SetError(errorText, ErrnoText(ETIMEDOUT));
    return false;
  }
  int soError = 0;
  socklen_t len = sizeof soError;
  if (events < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
    soError = errno;
  if (soError == 0 && woken)
    soError = ECANCELED;
  if (soError != 0) {
    SetError(errorText, ErrnoText(soError));
    return false;
  }
  return true;
}

bool BlockingTcpClient::Impl::RunAfterConnect(std::string* errorText) {
  if (!hooks.afterConnect)
    return true;
  try {
    hooks.afterConnect();
    return true;
  } catch (const std::exception& e) {
    SetError(errorText, e.what());
  } catch (...) {
    SetError(errorText, "after-connect failed");
  }
  return false;
}

BlockingTcpClient::BlockingTcpClient(TcpHooks hooks)
    : impl_(std::make_unique<Impl>(std::move(hooks))) {}

BlockingTcpClient::~BlockingTcpClient() {
  impl_->Release();
}

bool BlockingTcpClient::Connect(const std::string& host, std::int32_t port, int timeoutMs,
                                std::string* errorText) {
  impl_->Release();
  if (port < 1 || port > 65535) {
    SetError(errorText, "invalid port " + std::to_string(port));
    return false;
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (!Resolve(host, impl_->lookup, deadline, impl_->woken, addr.sin_addr, errorText))
    return false;
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    SetError(errorText, ErrnoText(errno));
    return false;
  }
  if (!impl_->Adopt(s)) {
    ::close(s);
    SetError(errorText, ErrnoText(ECANCELED));
    return false;
  }
  if (!impl_->FinishConnect(addr, MsLeft(deadline), errorText)) {
    impl_->Release();
    return false;
  }
  // One small request and one small reply at a time: never hold a packet back.
  const int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->connected = true;
  }
  if (impl_->RunAfterConnect(errorText))
    return true;
  impl_->Release();
  return false;
}

bool BlockingTcpClient::WriteAll(std::span<const std::uint8_t> data, int timeoutMs,
                                 std::string* errorText) {
  const int s = impl_->Fd();
  if (s < 0 || !IsConnected() || impl_->woken) {
    SetError(errorText, ErrnoText(ENOTCONN));
    return false;
  }
  if (PeerHasClosed(s)) {
    SetError(errorText, ErrnoText(EPIPE));
    return false;
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(s, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR)
      continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || impl_->woken) {
      SetError(errorText, ErrnoText(impl_->woken ? ECANCELED : errno));
      return false;
    }
    // The system's buffers are full: the peer has stopped reading, or reads slowly.
    const int events = PollOne(s, POLLOUT, deadline, false);
    if (events == 0) {
      SetError(errorText, ErrnoText(ETIMEDOUT));
      return false;
    }
    if (events < 0) {
      SetError(errorText, ErrnoText(errno));
      return false;
    }
  }
  return true;
}

ReadResult BlockingTcpClient::ReadExactly(std::span<std::uint8_t> out, int timeoutMs) {
  ReadResult r;
  const int s = impl_->Fd();
  if (s < 0 || impl_->woken) {
    r.end = ReadEnd::kError;
    return r;
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (r.received < out.size()) {
    const ssize_t n = ::recv(s, out.data() + r.received, out.size() - r.received, 0);
    if (n > 0) {
      r.received += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      r.end = impl_->woken ? ReadEnd::kError : ReadEnd::kClosed;
      return r;
    }
    if (errno == EINTR)
      continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || impl_->woken) {
      r.end = ReadEnd::kError;
      return r;
    }
    const int events = PollOne(s, POLLIN, deadline, false);
    if (events == 0) {
      r.end = ReadEnd::kTimedOut;
      return r;
    }
    if (events < 0) {
      r.end = ReadEnd::kError;
      return r;
    }
    // Readable, hung up or failed: the next recv() tells which.
  }
  r.end = ReadEnd::kComplete;
  return r;
}

std::size_t BlockingTcpClient::BytesWaiting() const {
  const int s = impl_->Fd();
  int n = 0;
  if (s < 0 || ::ioctl(s, FIONREAD, &n) != 0 || n < 0)
    return 0;
  return static_cast<std::size_t>(n);
}

void BlockingTcpClient::Close() {
  if (impl_->Release() && impl_->hooks.onClose)
    impl_->hooks.onClose();
}

bool BlockingTcpClient::IsConnected() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->fd >= 0 && impl_->connected;
}

void BlockingTcpClient::Wake() {
  std::lock_guard lock(impl_->mutex);
  impl_->woken = true;
  if (impl_->fd >= 0)
    ::shutdown(impl_->fd, SHUT_RDWR);
}

}  // namespace drvnt
