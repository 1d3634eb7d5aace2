#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace drvnt::testing {

Pty::Pty() {
  char name[128] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    master_ = slave_ = -1;
    return;
  }
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  slavePath_ = name;
}

Pty::~Pty() {
  if (master_ >= 0)
    ::close(master_);
  if (slave_ >= 0)
    ::close(slave_);
}

void Pty::CloseMaster() {
  if (master_ >= 0)
    ::close(master_);
  master_ = -1;
}

bool Pty::WriteToMaster(std::span<const std::uint8_t> bytes) {
  const ssize_t n = ::write(master_, bytes.data(), bytes.size());
  return n == static_cast<ssize_t>(bytes.size());
}

std::vector<std::uint8_t> Pty::ReadFromMaster(int waitMs, int quietMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  std::vector<std::uint8_t> got;
  while (Clock::now() < deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{master_, POLLIN, 0};
    const int timeout = got.empty() ? static_cast<int>(left) : quietMs;
    const int ready = ::poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0 || (p.revents & POLLIN) == 0)
      break;
    std::uint8_t chunk[256];
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0)
      break;
    got.insert(got.end(), chunk, chunk + n);
  }
  return got;
}

}  // namespace drvnt::testing
