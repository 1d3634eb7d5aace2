#include "app/service_heartbeat.h"

#include <algorithm>

namespace drvnt {

ServiceHeartbeat::ServiceHeartbeat(EventLoop& loop, std::unique_ptr<ServiceNotifier> notifier)
    : notifier_(std::move(notifier)) {
  if (!notifier_)
    return;
  if (const auto timeout = notifier_->WatchdogTimeoutMs()) {
    feedPeriodMs_ = std::max<std::uint32_t>(*timeout / 2, 1);
    feed_ = loop.CreateTimer([this] { notifier_->Notify("WATCHDOG=1"); });
  }
}

void ServiceHeartbeat::Ready() {
  if (!notifier_)
    return;
  notifier_->Notify("READY=1");
  if (feed_)
    feed_->Start(feedPeriodMs_);
}

void ServiceHeartbeat::Stopping() {
  // The watchdog stays fed while the links close in order.
  if (notifier_)
    notifier_->Notify("STOPPING=1");
}

}  // namespace drvnt
