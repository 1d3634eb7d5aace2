#pragma once
// The service manager's notification socket: a driver started by systemd with Type=notify says
// when it is ready and when it stops, and feeds the watchdog, by datagrams to the socket named by
// NOTIFY_SOCKET. Without that variable (started by hand or from a test) it sends nothing.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace drvnt {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;
  // Sends one state ("READY=1", "WATCHDOG=1", "STOPPING=1"); false when it did not go out.
  virtual bool Notify(const std::string& state) = 0;
  // The watchdog time-out that the service manager set for this process (WATCHDOG_USEC, and
  // WATCHDOG_PID when given must be this process), in milliseconds.
  virtual std::optional<std::uint32_t> WatchdogTimeoutMs() const = 0;
};

// The notifier of this process's environment; nullptr when no service manager listens.
std::unique_ptr<ServiceNotifier> ServiceNotifierFromEnvironment();

}  // namespace drvnt
