#pragma once
// The V8 send queue: a ring of 100 packets waiting to be sent, oldest first, together with the
// sequence counter that numbers them. Any thread may append; only the worker takes and removes the
// oldest packet. One mutex covers the ring and the counter, so a packet's sequence number and its
// place in the queue are taken together.
//
// It never drops a packet it has taken and is never cleared on a disconnection: what waits while
// the link is down goes out first on the next connection.

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace drvnt {

struct QueuedPacket {
  Bytes packet;  // packet header and body, without the transport header
  std::uint32_t type = 0;
  std::string spoolFile;  // the .dd8 file the body was read from; empty for live packets
  bool helloSet = false;  // queued by the worker for one connection as its hello set
};

class SendQueue {
 public:
  static constexpr int kSlots = 100;

  // Builds the packet with the next sequence number and appends it. The counter advances even when
  // the queue is full and the packet is refused (false).
  bool Enqueue(std::uint32_t type, std::span<const std::uint8_t> body, std::string spoolFile,
               bool helloSet = false);

  // A copy of the oldest packet; it stays queued.
  std::optional<QueuedPacket> Oldest() const;
  // Drops the oldest packet; nothing when empty.
  void RemoveOldest();

  // Removes the packets of a hello set; the others keep their order.
  void RemoveHelloSets();

  // Removes and returns every packet, oldest first.
  std::vector<QueuedPacket> TakeAll();

  bool Empty() const;
  int Count() const;
  // The sequence number the next Enqueue will use.
  std::int64_t NextSequence() const;

 private:
  bool EmptyLocked() const { return readIndex_ == writeIndex_ && !full_; }

  mutable std::mutex mutex_;
  std::array<QueuedPacket, kSlots> slots_;
  int readIndex_ = 0;
  int writeIndex_ = 0;
  bool full_ = false;
  std::int64_t sequence_ = 0;
};

}  // namespace drvnt
