#include "common/stop_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

namespace drvnt::sim {
namespace {

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_requested = 0;

void OnSignal(int) {
  g_requested = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
}

}  // namespace

void StopSignal::Install() {
  if (g_pipe[0] >= 0)
    return;
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error("cannot create a pipe");
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int StopSignal::Fd() {
  return g_pipe[0];
}

bool StopSignal::Requested() {
  return g_requested != 0;
}

}  // namespace drvnt::sim
