#pragma once
// SIGINT and SIGTERM end a tool in order. The handler only sets a flag and writes one byte to a
// pipe that every wait of the tool watches, so a tool blocked in poll() wakes at once, leaves its
// loop, prints its summary and returns; nothing else runs inside the handler.

namespace drvnt::sim {

class StopSignal {
 public:
  // Creates the pipe and installs the handler; call once, before the first wait.
  static void Install();
  // Read end of the pipe: readable once a stop was requested. -1 before Install.
  static int Fd();
  static bool Requested();
};

}  // namespace drvnt::sim
