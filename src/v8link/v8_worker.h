#pragma once
// The V8 worker `cl`: one thread that owns the V8 connection. It connects (at most one attempt
// every 5 s), queues the hello set on every new connection, sends queued packets one at a time,
// polls the server about twice a second when idle once the server has accepted it, and acts on
// the server's replies. After each packet it sends it reads exactly one reply before it sends
// anything else. A request whose reply does not come whole and in time leaves the exchange out of
// step: the worker then ends the connection, so that no later reply can pass for the answer to a
// packet sent after it, and the unconfirmed packet goes again on the next connection. So do bytes
// the server sent unasked, found waiting before a request or behind a reply. Only an event
// acknowledgement in step confirms an event record.
//
// It never touches the main thread's state itself: it reaches the operator only through the host's
// synchronous hand-offs, and the main thread reaches it only through Enqueue, the connected flag
// and Stop(). It never ends on a network fault; only Stop() ends it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "platform/blocking_tcp.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "v8link/reply_reader.h"
#include "v8link/send_queue.h"
#include "v8link/server_address.h"
#include "v8link/v8_link.h"
#include "v8link/wire_codec.h"

namespace drvnt {

// What the worker sleeps on between cycles: a wait with a deadline that Notify() ends early, from
// any thread. A notification that comes before the wait ends the next wait at once.
class WakeSignal {
 public:
  void Notify();
  // Returns when notified, after `ms` milliseconds, or at once when `done()` holds.
  template <typename Done>
  void WaitFor(std::uint32_t ms, Done done) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return notified_ || done(); });
    notified_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool notified_ = false;
};

class cl final : public V8Link {
 public:
  cl(V8Host& host, SpoolHandOver& spool, Clock& clock, SpoolDir& spoolDir);
  // Stops and joins a worker that is still running. With a host whose hand-offs need the main
  // thread, stop it in order first (Stop, serve hand-offs until Finished, Join).
  ~cl() override;

  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // Starts the thread; the first connection attempt follows at once.
  void Start();
  // Sets the stop flag and returns at once. A connection attempt or a write in progress is woken; a
  // reply being awaited is left to come (it is bounded by the reply's deadline, 2000 ms), so that a
  // record the server is acknowledging is not taken for lost and spooled again. The worker ends
  // after its current cycle, closing its connection, and then calls the host's WorkerFinished.
  void Stop();
  // True once the thread has left its loop (or was never started).
  bool Finished() const;
  void Join();

  // The live event records still queued, removed from the queue; for the engine to spool once the
  // worker has finished, so that stopping the program loses none of them.
  std::vector<Bytes> TakeUnsentEventRecords();

  bool IsConnected() const override { return connected_; }
  bool Enqueue(std::uint32_t type, std::span<const std::uint8_t> body,
               std::string spoolFile = {}) override;

  // The worker's state as it stands, for the window's diagnostics and for tests.
  std::int32_t ErrorCount() const { return errorCount_; }
  bool Accepted() const { return accepted_; }
  bool Enabled() const { return enabled_; }
  int QueuedPackets() const { return queue_.Count(); }
  std::int64_t NextSequence() const { return queue_.NextSequence(); }
  std::int32_t PacketSize() const { return packetSize_; }
  // Exchanges finished since start: a packet or poll sent and its reply read (or given up), or a
  // write that failed.
  std::uint64_t ExchangeCount() const { return exchanges_; }

 private:
  void Run();
  void RunCycle();
  void ExchangeCycle();
  bool PollDue();
  bool UnaskedBytesWaiting() const;
  bool SendOldest(const QueuedPacket& packet);
  bool SendStep(std::span<const std::uint8_t> packet);
  bool WriteWakeable(std::span<const std::uint8_t> wire);
  v8::ReplyEnd ReceiveStep();
  void SettleEventRecord(const std::optional<v8::PacketHeader>& reply);
  void EndOutOfStep();
  void HandleReply(std::uint32_t type);
  void OnEventAcknowledgement();
  void OnDisconnectOrder();
  void DropStep();

  bool AttemptDue() const;
  std::uint32_t MsUntilWork() const;
  void WaitForWork();
  void ConnectionAttempt();
  bool ServerHostUsable(const ServerHostConfig& config);
  void ReplaceClient();
  void QueueHelloSet();
  void OnClose();
  void CloseOnExit();
  void Log(const std::string& message) { host_.LogLine(message); }

  V8Host& host_;
  SpoolHandOver& spool_;
  Clock& clock_;
  SpoolDir& spoolDir_;

  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> connecting_{false};
  std::atomic<bool> writing_{false};

  std::mutex clientMutex_;  // guards replacing the client and the writes against Stop()'s wake
  std::unique_ptr<BlockingTcpClient> client_;

  std::atomic<bool> enabled_{true};
  bool deniedReported_ = false;
  std::atomic<bool> connected_{false};
  std::atomic<bool> accepted_{false};
  SendQueue queue_;
  WakeSignal wake_;  // a packet queued, a stop

  bool sentFromQueue_ = false;
  std::string sentSpoolFile_;  // spool file of the packet sent in this cycle
  Bytes unconfirmed_;          // the live event record sent in this cycle, until its reply
  std::uint32_t lastPollTick_ = 0;
  std::uint32_t lastAttemptTick_ = 0;
  bool attempted_ = false;
  std::atomic<std::int32_t> errorCount_{0};  // failed exchanges since the last valid reply
  std::atomic<std::int32_t> packetSize_{0};
  std::atomic<std::uint64_t> exchanges_{0};
  Bytes reply_;  // the packet last received, packet header and body
  ServerHostProblem serverHostProblem_;
};

}  // namespace drvnt
