#pragma once
// SIGTERM and SIGINT as an event of the main thread, so that a service manager or Ctrl-C closes the
// driver in order, as the V7 server's close command does.

#include <functional>
#include <memory>

#include "platform/event_loop.h"

namespace drvnt {

class TerminationSignals {
 public:
  virtual ~TerminationSignals() = default;
};

// `onSignal` runs on the main thread once per signal received. Only one watcher may exist.
std::unique_ptr<TerminationSignals> WatchTerminationSignals(EventLoop& loop,
                                                            std::function<void()> onSignal);

}  // namespace drvnt
