// sd_notify without libsystemd: one datagram per state to the AF_UNIX socket of NOTIFY_SOCKET
// (a path, or an abstract name after "@"). Sending never blocks: a service manager that does not
// read loses a notification, never the main thread.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/service_notify.h"

namespace drvnt {
namespace {

std::optional<std::uint32_t> WatchdogFromEnvironment() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr || *usec == '\0')
    return std::nullopt;
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid != nullptr && *pid != '\0') {
    char* end = nullptr;
    const long long value = std::strtoll(pid, &end, 10);
    if (*end != '\0' || value != static_cast<long long>(::getpid()))
      return std::nullopt;
  }
  char* end = nullptr;
  const unsigned long long value = std::strtoull(usec, &end, 10);
  if (*end != '\0' || value < 1000 || value / 1000 > 0xFFFFFFFFull)
    return std::nullopt;
  return static_cast<std::uint32_t>(value / 1000);
}

class PosixServiceNotifier final : public ServiceNotifier {
 public:
  PosixServiceNotifier(const sockaddr_un& address, socklen_t length)
      : address_(address),
        length_(length),
        fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
        watchdog_(WatchdogFromEnvironment()) {}
  ~PosixServiceNotifier() override {
    if (fd_ >= 0)
      ::close(fd_);
  }

  bool Notify(const std::string& state) override {
    if (fd_ < 0)
      return false;
    ssize_t n;
    do {
      n = ::sendto(fd_, state.data(), state.size(), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&address_), length_);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(state.size());
  }

  std::optional<std::uint32_t> WatchdogTimeoutMs() const override { return watchdog_; }

 private:
  sockaddr_un address_;
  socklen_t length_;
  int fd_;
  std::optional<std::uint32_t> watchdog_;
};

}  // namespace

std::unique_ptr<ServiceNotifier> ServiceNotifierFromEnvironment() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@'))
    return nullptr;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t size = std::strlen(name);
  if (size >= sizeof address.sun_path)
    return nullptr;
  std::memcpy(address.sun_path, name, size);
  if (name[0] == '@')
    address.sun_path[0] = '\0';  // an abstract name: the length says where it ends
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + (name[0] == '@' ? 0 : 1));
  return std::make_unique<PosixServiceNotifier>(address, length);
}

}  // namespace drvnt
