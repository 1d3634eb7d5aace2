#pragma once
// The V7 messages on their way to the server. V7 messages have no reply, so a message's .ddk file
// may go only once the server's TCP has acknowledged every byte of it; until then it is in flight.
// At most kMaxInFlight messages are in flight at once: past that, new messages wait in their files
// and go as the window opens, so a server that stops reading holds a few messages in the kernel,
// not thousands. When the connection ends, the files of the messages still in flight stay and are
// sent again on the next connection: a repeat at the server is possible, a loss is not.
//
// Positions count the bytes of one connection: a message ends at the client's stream end right
// after it was handed to the socket, and it is acknowledged once the peer acknowledged that many.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace drvnt {

class V7DeliveryWindow {
 public:
  static constexpr std::size_t kMaxInFlight = 16;

  // `delivered` takes the file of each message the server has: it deletes it.
  using Delivered = std::function<void(const std::string& path)>;

  explicit V7DeliveryWindow(Delivered delivered) : delivered_(std::move(delivered)) {}

  bool IsOpen() const { return inFlight_.size() < kMaxInFlight; }
  bool Contains(const std::string& path) const;
  std::size_t InFlight() const { return inFlight_.size(); }

  // The message of `path` was handed to the socket and ends at `streamEnd`.
  void Sent(const std::string& path, std::uint64_t streamEnd);
  // The peer acknowledged `acknowledged` bytes of this connection: every message that ends there or
  // before is delivered, and its file goes.
  void Settle(std::uint64_t acknowledged);
  // The connection ended: what is still in flight stays in its files, to be sent again.
  void ConnectionEnded();

 private:
  struct Message {
    std::string path;
    std::uint64_t end;
  };
  Delivered delivered_;
  std::deque<Message> inFlight_;
};

}  // namespace drvnt
