#pragma once
// What the engine and the V8 worker know of each other: the engine's view of the link (connected
// flag, Enqueue), the spool hand-over state both threads share, and what the worker asks of the
// engine. Nothing here may block the main thread on the worker.

#include <cstdint>
#include <iostream>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace drvnt {

// What the engine sees of the V8 link (the frame handler's hand-over, the service timer, port
// management).
class V8Link {
 public:
  virtual ~V8Link() = default;
  // The worker's connected flag; never waits.
  virtual bool IsConnected() const = 0;
  // Queues one packet (header with type, body length and the next sequence number, then the body).
  // False when all 100 slots are taken and the packet was refused (the sequence counter has
  // advanced all the same). `spoolFile`: the .dd8 spool file the body was read from, empty for
  // live packets; an event acknowledgement of that very packet deletes the file.
  virtual bool Enqueue(std::uint32_t type, std::span<const std::uint8_t> body,
                       std::string spoolFile = {}) = 0;
};

// The spool hand-over state shared between the main thread (the service timer) and the worker;
// one small mutex, so neither value can tear.
//
// The 3 s pacing of .dd8 hand-overs is judged by the monotonic tick, so that a step of the wall
// clock neither freezes the drain nor hurries it. The worker lets the next file go at once (on an
// acknowledgement, on a new connection) by a flag that only the next hand-over clears: the
// service timer records a hand-over before it queues the record, so an acknowledgement that comes
// back before the main thread runs on is never overwritten.
class SpoolHandOver {
 public:
  std::string PendingDd8File() const {
    std::lock_guard lock(mutex_);
    return pendingDd8File_;
  }
  // The service timer, just before it queues the record of `path`, at `tick`.
  void Dd8HandedOver(std::string path, std::uint32_t tick) {
    std::lock_guard lock(mutex_);
    pendingDd8File_ = std::move(path);
    lastDd8SendTick_ = tick;
    nextDd8AtOnce_ = false;
  }
  // The worker: the next .dd8 file may go at the service timer's next tick.
  void LetNextDd8GoAtOnce() {
    std::lock_guard lock(mutex_);
    nextDd8AtOnce_ = true;
  }
  bool NextDd8AtOnce() const {
    std::lock_guard lock(mutex_);
    return nextDd8AtOnce_;
  }
  // Whether a .dd8 file may be handed over at `tick`: at once when the worker let it, otherwise
  // once more than `pacingMs` have passed since the last hand-over (by unsigned difference, so
  // the tick's wrap costs at most one pacing interval).
  bool Dd8Due(std::uint32_t tick, std::uint32_t pacingMs) const {
    std::lock_guard lock(mutex_);
    return nextDd8AtOnce_ || static_cast<std::uint32_t>(tick - lastDd8SendTick_) > pacingMs;
  }
  // A .dd8 file whose record the server acknowledged but which could not be deleted: the worker
  // reports it, and the service timer no longer hands it over.
  void ReportUndeletedDd8File(std::string path) {
    std::lock_guard lock(mutex_);
    undeletedDd8Files_.push_back(std::move(path));
  }
  std::vector<std::string> TakeUndeletedDd8Files() {
    std::lock_guard lock(mutex_);
    return std::exchange(undeletedDd8Files_, {});
  }

  // The .dd8 files whose records wait in the send queue or are on their way: the service timer
  // never hands one of them over again. The main thread marks a file before it queues its record;
  // the worker releases it once the exchange of that record is over (its file deleted on the
  // acknowledgement, or left for the service timer).
  void MarkQueued(const std::string& path) {
    std::lock_guard lock(mutex_);
    queuedDd8Files_.insert(path);
  }
  void ReleaseQueued(const std::string& path) {
    std::lock_guard lock(mutex_);
    queuedDd8Files_.erase(path);
  }
  bool IsQueued(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return queuedDd8Files_.contains(path);
  }

 private:
  mutable std::mutex mutex_;
  std::string pendingDd8File_;
  std::uint32_t lastDd8SendTick_ = 0;
  bool nextDd8AtOnce_ = true;  // the first file goes at the first tick
  std::vector<std::string> undeletedDd8Files_;
  std::set<std::string> queuedDd8Files_;
};

struct PortStatus {
  std::string portName;  // the remembered port name, UTF-8
  bool open = false;     // whether the serial port is open
};

struct ServerHostConfig {
  std::string address = "127.0.0.1";
  std::int32_t port = 12543;
  std::int32_t packetSize = 2000;
};

// What the worker needs from the engine. Called on the worker thread.
class V8Host {
 public:
  virtual ~V8Host() = default;
  // Synchronous hand-off: returns once the main thread has shown the line.
  virtual void LogLine(const std::string& message) = 0;
  // Synchronous hand-off: the main thread steps the V8 activity counter and paints the glyph.
  virtual void ActivityStep() = 0;
  // The remembered port name and whether the serial port is open; thread-safe.
  virtual PortStatus CurrentPortStatus() = 0;
  // INI `FirstNumber`; thread-safe.
  virtual std::int32_t FirstNumber() = 0;
  // Section [ServerHost] of the INI file, read afresh at each call.
  virtual ServerHostConfig ReadServerHost() = 0;
  // A live event record that went out but got no reply, or a refusal: the server may never have
  // had it. The engine spools it, so that the service timer sends it again; a duplicate at the
  // server is better than a lost alarm. Synchronous hand-off.
  virtual void SpoolUnconfirmedEventRecord(std::span<const std::uint8_t> record) { (void)record; }
  // The worker has left its loop (after a stop). Must return at once, without waiting for the main
  // thread: the engine wakes its event loop, where it may be waiting for the worker to finish.
  virtual void WorkerFinished() {}
  // Why the configured server cannot be used at all (a port or address that no attempt can
  // reach), said once and again only when it changes; on standard error unless the host shows it
  // elsewhere.
  virtual void ReportConfigurationProblem(const std::string& text) {
    std::cerr << text << std::endl;
  }
};

}  // namespace drvnt
