#pragma once
// A function run once from the event loop, after the handler that scheduled it has returned.
// Start-up uses it for its message to the operator: the message window waits for an OK, and the
// links and timers must not wait with it.

#include <functional>
#include <memory>

#include "platform/event_loop.h"

namespace drvnt {

class DeferredCall {
 public:
  DeferredCall(EventLoop& loop, std::function<void()> fn)
      : fn_(std::move(fn)), timer_(loop.CreateTimer([this] { Run(); })) {}

  void Schedule() { timer_->Start(0); }
  bool Pending() const { return timer_->IsActive(); }

 private:
  void Run() {
    timer_->Stop();
    fn_();
  }

  std::function<void()> fn_;
  std::unique_ptr<Timer> timer_;
};

}  // namespace drvnt
