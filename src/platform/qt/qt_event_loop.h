#pragma once
// The main thread's event loop on Qt: precise QTimers, QSocketNotifiers, and blocking queued calls
// for the hand-offs of the V8 worker.

#include <QObject>
#include <thread>

#include "platform/event_loop.h"

namespace drvnt {

class QtEventLoop final : public EventLoop {
 public:
  // Must be created on the main thread, after the QCoreApplication.
  QtEventLoop();
  ~QtEventLoop() override;

  std::unique_ptr<Timer> CreateTimer(std::function<void()> onTimeout) override;
  std::unique_ptr<SocketWatch> WatchSocket(int fd, std::function<void()> onReadable,
                                           std::function<void()> onWritable) override;
  void RunAndWait(std::function<void()> fn) override;
  void WaitForEvents() override;
  void WakeUp() override;
  void Quit() override;

 private:
  QObject context_;
  std::thread::id mainThread_;
};

}  // namespace drvnt
