// A self-pipe: the signal handler only writes one byte, the main thread reads it through a socket
// watch of the event loop and runs the callback there.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/termination_signals.h"

namespace drvnt {
namespace {

int g_writeFd = -1;

extern "C" void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_writeFd, &byte, 1);
  errno = saved;
}

class PosixTerminationSignals final : public TerminationSignals {
 public:
  PosixTerminationSignals(EventLoop& loop, std::function<void()> onSignal)
      : onSignal_(std::move(onSignal)) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
      return;
    g_writeFd = fds_[1];
    watch_ = loop.WatchSocket(
        fds_[0], [this] { Drain(); }, [] {});
    watch_->SetWriteEnabled(false);
    struct sigaction sa {};
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
  }

  ~PosixTerminationSignals() override {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    watch_.reset();
    g_writeFd = -1;
    if (fds_[0] >= 0)
      ::close(fds_[0]);
    if (fds_[1] >= 0)
      ::close(fds_[1]);
  }

 private:
  void Drain() {
    char buf[64];
    bool any = false;
    while (::read(fds_[0], buf, sizeof buf) > 0)
      any = true;
    if (any && onSignal_)
      onSignal_();
  }

  int fds_[2] = {-1, -1};
  std::unique_ptr<SocketWatch> watch_;
  std::function<void()> onSignal_;
};

}  // namespace

std::unique_ptr<TerminationSignals> WatchTerminationSignals(EventLoop& loop,
                                                            std::function<void()> onSignal) {
  return std::make_unique<PosixTerminationSignals>(loop, std::move(onSignal));
}

}  // namespace drvnt
