#pragma once
// The simulated alarm receiver at work: sends the items of a scenario or of the built-in mix over
// the serial line, a byte every 4.17 ms as the 2400 bit/s line would carry them or each frame in
// one write, waits for the 0x06 after every terminated frame and repeats an unacknowledged frame
// after the time-out, as a receiver does.
//
// Every 0x06 that arrives is accounted for exactly once: the first one after a frame's last byte
// acknowledges that frame, every other one is reported as a stray (late, or one too many). Bytes
// are taken one by one from each read, so a read that brings two never loses the second.

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "common/receiver_frames.h"
#include "receiver_sim/serial_line.h"

namespace drvnt::sim {

struct ReceiverOptions {
  bool burst = false;
  int ackTimeoutMs = 2000;
  int retries = 3;
  bool waitOpen = false;
  int startDelayMs = 0;
  long count = 10;  // built-in mix; 0 runs until stopped
  int intervalMs = 1000;
  unsigned seed = 1;
  bool hold = false;
};

class ReceiverRun {
 public:
  ReceiverRun(SerialLine& line, const ReceiverOptions& options);

  // Each returns false once a stop was requested or the line failed.
  bool Start();  // waits for the driver to open the port, then the start delay
  bool RunScenario(const std::vector<ScenarioItem>& items);
  bool RunMix();
  void HoldUntilStopped();

  void PrintSummary() const;
  bool LineFailed() const { return lineFailed_; }

 private:
  using Clock = std::chrono::steady_clock;

  bool Perform(const ScenarioItem& item);
  bool SendFrame(const ScenarioItem& item, Fields description);
  bool Transmit(const ScenarioItem& item);
  bool WriteBytes(const Bytes& bytes);
  bool Write(const std::uint8_t* data, std::size_t size);
  bool SendData(const char* kind, const Bytes& bytes);

  // Serves the line (incoming bytes, port events) until the deadline or until the wait is over.
  // False on stop or line failure.
  bool PumpUntil(Clock::time_point deadline);
  bool PumpFor(int ms) { return PumpUntil(Clock::now() + std::chrono::milliseconds(ms)); }
  // What the current wait waits for has happened: the awaited acknowledgement, or the open.
  bool WaitOver() const { return (awaiting_ && acked_) || (waitingOpen_ && opened_); }
  void ServeInput();
  void ServePortEvents();
  void OnByte(std::uint8_t byte);

  SerialLine& line_;
  ReceiverOptions options_;
  std::mt19937 rng_;
  bool lineFailed_ = false;
  bool opened_ = false;
  bool waitingOpen_ = false;

  // The frame waiting for its acknowledgement.
  bool awaiting_ = false;
  bool acked_ = false;
  long awaitedFrame_ = 0;
  Clock::time_point lastByteAt_{};

  long frames_ = 0;
  long ackedCount_ = 0;
  long lost_ = 0;
  long retriesDone_ = 0;
  long stray_ = 0;
  long unexpected_ = 0;
  long dataBytes_ = 0;
};

}  // namespace drvnt::sim
