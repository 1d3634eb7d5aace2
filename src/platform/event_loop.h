#pragma once
// The main thread's event loop as the engine and its components see it: periodic timers, watches on
// sockets, running a function on the main thread from another thread and waiting for it, quitting.
// Everything that the loop calls runs on the main thread, one handler at a time.

#include <cstdint>
#include <functional>
#include <memory>

namespace drvnt {

class Timer {
 public:
  virtual ~Timer() = default;
  // Starts (or restarts) the timer with a period in milliseconds.
  virtual void Start(std::uint32_t periodMs) = 0;
  virtual void Stop() = 0;
  virtual bool IsActive() const = 0;
};

// Readiness of one socket descriptor. A watch with a side disabled reports nothing for that side.
class SocketWatch {
 public:
  virtual ~SocketWatch() = default;
  virtual void SetReadEnabled(bool on) = 0;
  virtual void SetWriteEnabled(bool on) = 0;
};

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> onTimeout) = 0;

  // Watches `fd` (a socket, or any descriptor that poll() can watch, such as a tty): `onReadable`
  // while bytes (or end of stream, or an error) can be read, `onWritable` while the socket can take
  // bytes or its connect has completed. Both sides start enabled.
  virtual std::unique_ptr<SocketWatch> WatchSocket(int fd, std::function<void()> onReadable,
                                                   std::function<void()> onWritable) = 0;

  // Runs `fn` on the main thread and returns once it has run. From the main thread itself it runs
  // at once.
  virtual void RunAndWait(std::function<void()> fn) = 0;

  // Handles what is pending (timers, sockets, hand-offs), waiting without spinning until at least
  // one event has come when none is pending; used while the main thread waits for the V8 worker to
  // stop. WakeUp() is such an event.
  virtual void WaitForEvents() = 0;

  // From any thread: ends a WaitForEvents that is waiting, or the next one when none is.
  virtual void WakeUp() = 0;

  virtual void Quit() = 0;
};

}  // namespace drvnt
