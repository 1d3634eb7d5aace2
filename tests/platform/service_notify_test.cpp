// The service manager's notification socket as systemd offers it: a datagram socket named by
// NOTIFY_SOCKET (a path or an abstract name), and the watchdog time-out of WATCHDOG_USEC, meant
// for this process only when WATCHDOG_PID names it.

#include "platform/service_notify.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/temp_dir.h"

namespace drvnt {
namespace {

// Sets or clears an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_.empty() ? ::unsetenv(name_) : ::setenv(name_, old_.c_str(), 1); }

 private:
  const char* name_;
  std::string old_;
};

// The manager's end: a datagram socket bound to `name` ("@..." for an abstract name).
class ManagerSocket {
 public:
  explicit ManagerSocket(const std::string& name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, name.data(), name.size());
    if (name[0] == '@')
      a.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                               (name[0] == '@' ? 0 : 1));
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), length) == 0;
    timeval t{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  }
  ~ManagerSocket() { ::close(fd_); }
  bool Ok() const { return ok_; }
  std::string Receive() {
    char buf[256];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

TEST(ServiceNotifier, NothingWithoutAServiceManager) {
  ScopedEnv socket("NOTIFY_SOCKET", nullptr);
  EXPECT_EQ(ServiceNotifierFromEnvironment(), nullptr);
}

TEST(ServiceNotifier, StatesReachThePathAndTheAbstractSocket) {
  testing::TempDir dir;
  const std::string names[] = {dir.Path() + "/notify",
                               "@drvnt417-notify-test-" + std::to_string(::getpid())};
  for (const std::string& name : names) {
    ManagerSocket manager(name);
    ASSERT_TRUE(manager.Ok()) << name;
    ScopedEnv socket("NOTIFY_SOCKET", name.c_str());
    auto notifier = ServiceNotifierFromEnvironment();
    ASSERT_NE(notifier, nullptr) << name;
    EXPECT_TRUE(notifier->Notify("READY=1"));
    EXPECT_EQ(manager.Receive(), "READY=1") << name;
    EXPECT_TRUE(notifier->Notify("WATCHDOG=1"));
    EXPECT_EQ(manager.Receive(), "WATCHDOG=1") << name;
  }
}

struct WatchdogCase {
  const char* name;
  const char* usec;
  bool pidIsOurs;
  const char* pid;  // used when not ours; nullptr: no WATCHDOG_PID
  std::optional<std::uint32_t> timeoutMs;
};

class WatchdogTimeout : public ::testing::TestWithParam<WatchdogCase> {};

TEST_P(WatchdogTimeout, ReadFromTheEnvironment) {
  const WatchdogCase& c = GetParam();
  const std::string ours = std::to_string(::getpid());
  ScopedEnv socket("NOTIFY_SOCKET", "@drvnt417-watchdog-test");
  ScopedEnv usec("WATCHDOG_USEC", c.usec);
  ScopedEnv pid("WATCHDOG_PID", c.pidIsOurs ? ours.c_str() : c.pid);
  auto notifier = ServiceNotifierFromEnvironment();
  ASSERT_NE(notifier, nullptr);
  EXPECT_EQ(notifier->WatchdogTimeoutMs(), c.timeoutMs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WatchdogTimeout,
    ::testing::Values(WatchdogCase{"ThirtySeconds", "30000000", false, nullptr, 30000},
                      WatchdogCase{"ForThisProcess", "400000", true, nullptr, 400},
                      WatchdogCase{"ForAnotherProcess", "400000", false, "1", std::nullopt},
                      WatchdogCase{"None", nullptr, false, nullptr, std::nullopt},
                      WatchdogCase{"NotANumber", "30s", false, nullptr, std::nullopt},
                      WatchdogCase{"BelowAMillisecond", "999", false, nullptr, std::nullopt}),
    [](const ::testing::TestParamInfo<WatchdogCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace drvnt
