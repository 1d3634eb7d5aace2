// The socket calls of the asynchronous V7 client on POSIX, with errno mapped onto the Windows
// Sockets numbers.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/socket_shim.h"

namespace drvnt::sock {
namespace {

struct ErrnoMapping {
  int err;
  std::int32_t wsa;
};

// Every Windows Sockets error this system knows a text for that has an errno counterpart here.
// EINPROGRESS is what a non-blocking connect reports on POSIX; Windows reports the same situation
// as "would block". EPIPE comes from a send after the peer ended the connection (the client never
// shuts its own sending side while it is connected), which Windows reports as a reset.
constexpr ErrnoMapping kErrnoMappings[] = {
    {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
    {EPERM, 10013},           {EFAULT, 10014},       {EINVAL, 10022},
    {EMFILE, 10024},          {ENFILE, 10024},       {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},          {EINPROGRESS, 10035},  {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {EPIPE, 10054},
    {ENOBUFS, 10055},         {ENOMEM, 10055},       {EISCONN, 10056},
    {ENOTCONN, 10057},        {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061}, {ELOOP, 10062},
    {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},       {EUSERS, 10068},       {EDQUOT, 10069},
    {ESTALE, 10070},          {EREMOTE, 10071},
};

sockaddr_in IPv4Address(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

// Non-blocking sockets hardly ever see EINTR, but a signal handler of the process must not turn
// into a lost connection.
template <typename Call>
ssize_t RetryOnInterrupt(Call call) {
  ssize_t n;
  do {
    n = call();
  } while (n < 0 && errno == EINTR);
  return n;
}

std::int32_t ClampSize(std::size_t n) {
  return n > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(n);
}

}  // namespace

std::int32_t WinsockErrorFromErrno(int err) {
  if (err == 0)
    return 0;
  for (const ErrnoMapping& m : kErrnoMappings) {
    if (m.err == err)
      return m.wsa;
  }
  return kUnmappedErrnoBase + err;
}

std::int32_t LastSocketError() {
  return WinsockErrorFromErrno(errno);
}

SocketHandle OpenTcpSocket() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
}

bool Connect(SocketHandle s, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sa = IPv4Address(address, port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
    return true;
  return errno == EINPROGRESS;
}

std::int32_t PendingError(SocketHandle s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
    return LastSocketError();
  return WinsockErrorFromErrno(err);
}

bool BytesReadable(SocketHandle s, std::int32_t& count) {
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0)
    return false;
  count = n;
  return true;
}

std::int32_t Receive(SocketHandle s, void* buffer, std::int32_t size) {
  if (size <= 0)
    return 0;
  const auto n =
      RetryOnInterrupt([&] { return ::recv(s, buffer, static_cast<std::size_t>(size), 0); });
  return n < 0 ? -1 : ClampSize(static_cast<std::size_t>(n));
}

std::int32_t PeekByte(SocketHandle s) {
  char byte;
  const auto n = RetryOnInterrupt([&] { return ::recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
  return n < 0 ? -1 : static_cast<std::int32_t>(n);
}

std::int32_t Send(SocketHandle s, const void* buffer, std::int32_t size) {
  if (size <= 0)
    return 0;
  const auto n = RetryOnInterrupt(
      [&] { return ::send(s, buffer, static_cast<std::size_t>(size), MSG_NOSIGNAL); });
  return n < 0 ? -1 : ClampSize(static_cast<std::size_t>(n));
}

bool PeerHasClosed(SocketHandle s) {
  pollfd p{s, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0)
    return false;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::int32_t UnacknowledgedBytes(SocketHandle s) {
  int n = 0;
  if (::ioctl(s, SIOCOUTQ, &n) != 0)
    return 0;
  return n;
}

bool Shutdown(SocketHandle s) {
  return ::shutdown(s, SHUT_RDWR) == 0;
}

bool ShutdownSending(SocketHandle s) {
  return ::shutdown(s, SHUT_WR) == 0;
}

bool SetAbortiveClose(SocketHandle s) {
  const linger l{1, 0};
  return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

// On Linux the descriptor is released even when close reports EINTR or EIO, so it is never
// retried: a retry could close a descriptor that another part of the program has just opened.
bool Close(SocketHandle s) {
  return ::close(s) == 0;
}

std::optional<std::uint32_t> ParseDottedIPv4(const std::string& text) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
    return std::nullopt;
  return ntohl(a.s_addr);
}

std::optional<std::uint32_t> LookupHostIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  const auto* sa = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  const std::uint32_t address = ntohl(sa->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return address;
}

}  // namespace drvnt::sock
