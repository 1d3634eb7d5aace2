#include "tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace drvnt::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what the descriptor holds; false at its end or on a time-out.
bool ReadSome(int fd, std::string& into, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0)
    return false;
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0)
    return false;
  into.append(buf, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

std::string ToolPath(const std::string& tool) {
  return std::string(SIM_TOOLS_DIR) + "/" + tool;
}

ToolProcess::ToolProcess(const std::string& tool, const std::vector<std::string>& args) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  const std::string path = ToolPath(tool);
  std::vector<char*> argv = {const_cast<char*>(path.c_str())};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  if (rc != 0)
    throw std::runtime_error("cannot start " + path);
}

ToolProcess::~ToolProcess() {
  if (exitCode_ == -2 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0)
      close(fd);
  }
}

std::string ToolProcess::NextLine(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t eol = outBuffer_.find('\n');
    if (eol != std::string::npos) {
      std::string line = outBuffer_.substr(0, eol);
      outBuffer_.erase(0, eol + 1);
      return line;
    }
    if (!ReadSome(out_, outBuffer_, MsLeft(deadline)))
      return "";
  }
}

void ToolProcess::WriteInput(std::string_view text) {
  if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("write to the tool failed");
  }
}

void ToolProcess::Signal(int signal) {
  kill(pid_, signal);
}

int ToolProcess::Wait(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (exitCode_ == -2) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else if (Clock::now() >= deadline) {
      return -1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return exitCode_;
}

std::string ToolProcess::ErrorText() {
  std::string text;
  while (ReadSome(err_, text, exitCode_ == -2 ? 0 : 5000)) {
  }
  return text;
}

std::string ToolProcess::RestOfOutput(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ReadSome(out_, outBuffer_, MsLeft(deadline))) {
  }
  std::string rest;
  rest.swap(outBuffer_);
  return rest;
}

RunResult RunToEnd(const std::string& tool, const std::vector<std::string>& args) {
  ToolProcess p(tool, args);
  RunResult r;
  r.out = p.RestOfOutput();
  r.exitCode = p.Wait();
  r.err = p.ErrorText();
  return r;
}

}  // namespace drvnt::sim::test
