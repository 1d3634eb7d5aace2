#pragma once
// The driver's side of a Type=notify service: "ready" once start-up is over, the watchdog fed
// from a timer of the main event loop, "stopping" when the close begins. The timer only fires
// while the loop runs, so a main thread stuck in a handler (or a loop that never returns to its
// timers) stops feeding the watchdog and the service manager restarts the driver. Without a
// service manager nothing is sent and no timer runs.

#include <memory>

#include "platform/event_loop.h"
#include "platform/service_notify.h"

namespace drvnt {

class ServiceHeartbeat {
 public:
  ServiceHeartbeat(EventLoop& loop, std::unique_ptr<ServiceNotifier> notifier);

  void Ready();
  void Stopping();

  // The feeding period: half the watchdog time-out, 0 without a watchdog.
  std::uint32_t FeedPeriodMs() const { return feedPeriodMs_; }

 private:
  std::unique_ptr<ServiceNotifier> notifier_;
  std::unique_ptr<Timer> feed_;
  std::uint32_t feedPeriodMs_ = 0;
};

}  // namespace drvnt
