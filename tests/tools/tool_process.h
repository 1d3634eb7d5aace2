#pragma once
// A built tool run as a child process with pipes on its standard input, output and error, read
// line by line with time-outs, as the end-to-end tests read it. Ends the child when dropped.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace drvnt::sim::test {

std::string ToolPath(const std::string& tool);

class ToolProcess {
 public:
  ToolProcess(const std::string& tool, const std::vector<std::string>& args);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // The next line of standard output; empty when none came within the time.
  std::string NextLine(int timeoutMs = 5000);
  void WriteInput(std::string_view text);
  void Signal(int signal);
  // Exit code, or -1 when the process did not end within the time or died of a signal.
  int Wait(int timeoutMs = 5000);
  // Everything on standard error so far, waiting for its end once the process has ended.
  std::string ErrorText();
  // What standard output still holds, read until its end.
  std::string RestOfOutput(int timeoutMs = 5000);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outBuffer_;
  int exitCode_ = -2;
};

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
RunResult RunToEnd(const std::string& tool, const std::vector<std::string>& args);

}  // namespace drvnt::sim::test
