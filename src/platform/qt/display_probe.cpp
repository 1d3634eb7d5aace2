#include "platform/qt/display_probe.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

namespace drvnt {
namespace {

// A display that answers neither yes nor no within this time counts as none.
constexpr int kProbeTimeoutMs = 10000;

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// The child: opens the platform with the program's own arguments and says whether it could.
[[noreturn]] void OpenPlatformAndExit(int argc, char** argv) {
  // Qt aborts when its platform fails: that abort is this check's answer, not a crash worth a
  // core dump. Its complaints about the display are the parent's to summarise.
  ::prctl(PR_SET_DUMPABLE, 0);
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0)
    ::dup2(null, STDERR_FILENO);
  { QGuiApplication app(argc, argv); }
  ::_exit(0);
}

// The child's exit status, or -1 when it did not end within the time-out (it is then killed).
int WaitForChild(pid_t child) {
  for (int waited = 0; waited < kProbeTimeoutMs; waited += 10) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR)
      return -1;
    const timespec pause{0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return -1;
}

}  // namespace

DisplayProbe ProbeDisplay(int argc, char** argv) {
  if (!IsSet("QT_QPA_PLATFORM") && !IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY"))
    return {false, "no display (DISPLAY and WAYLAND_DISPLAY are not set)"};
  const pid_t child = ::fork();
  if (child < 0)
    return {false, "no display: cannot start the display check"};
  if (child == 0)
    OpenPlatformAndExit(argc, argv);
  const int status = WaitForChild(child);
  if (status == 0)
    return {true, {}};
  if (status < 0)
    return {false, "no display: the display did not answer within 10 s"};
  return {false, "no display: Qt cannot open the display"};
}

}  // namespace drvnt
