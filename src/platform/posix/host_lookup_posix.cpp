// Host-name lookups on a detached thread, with an eventfd that tells an event loop of the end.

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/host_lookup.h"

namespace drvnt {

// Shared by the lookup and its thread; the last of the two to let go of it closes the eventfd.
struct HostLookup::State {
  State() : readyFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~State() {
    if (readyFd >= 0)
      ::close(readyFd);
  }

  void Finish(std::optional<std::uint32_t> address) {
    {
      std::lock_guard lock(mutex);
      running = false;
      answered = true;
      answer = address;
    }
    ended.notify_all();
    if (readyFd >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(readyFd, &one, sizeof one);
    }
  }

  std::mutex mutex;
  std::condition_variable ended;
  bool running = false;
  bool answered = false;
  std::string host;
  std::optional<std::uint32_t> answer;
  const int readyFd;
};

HostLookup::HostLookup(sock::HostResolver lookup)
    : lookup_(std::move(lookup)), state_(std::make_shared<State>()) {}

HostLookup::~HostLookup() = default;

bool HostLookup::Begin(const std::string& host) {
  std::lock_guard lock(state_->mutex);
  if (state_->running)
    return state_->host == host;
  // An answer nobody took any more is stale: the name is looked up afresh.
  state_->answered = false;
  state_->answer.reset();
  state_->host = host;
  try {
    std::thread([state = state_, lookup = lookup_, host] {
      std::optional<std::uint32_t> address;
      try {
        if (lookup)
          address = lookup(host);
      } catch (...) {
        // A resolver that fails counts as a name that does not resolve.
      }
      state->Finish(address);
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  state_->running = true;
  return true;
}

std::optional<std::optional<std::uint32_t>> HostLookup::TakeAnswer() {
  std::lock_guard lock(state_->mutex);
  if (!state_->answered)
    return std::nullopt;
  state_->answered = false;
  return state_->answer;
}

std::optional<std::optional<std::uint32_t>> HostLookup::WaitForAnswer(
    Clock::time_point deadline, const std::function<bool()>& stop) {
  constexpr auto kLookAgain = std::chrono::milliseconds(20);
  std::unique_lock lock(state_->mutex);
  while (!state_->answered) {
    if (Clock::now() >= deadline || (stop && stop()))
      return std::nullopt;
    state_->ended.wait_until(lock, std::min(deadline, Clock::now() + kLookAgain));
  }
  state_->answered = false;
  return state_->answer;
}

int HostLookup::ReadyDescriptor() const {
  return state_->readyFd;
}

void HostLookup::ClearReady() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(state_->readyFd, &count, sizeof count);
}

}  // namespace drvnt
