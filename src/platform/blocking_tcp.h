#pragma once
// The blocking TCP client of the V8 worker: connect with a time-out, write a buffer completely,
// read exactly n bytes within a time-out keeping what arrived, close. Every call blocks the calling
// thread; only Wake() may be called from another thread, to end a blocked call at shutdown.
//
// It never retries, reconnects or interprets bytes: what to do about a time-out, a closed peer or
// an error is the caller's decision.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace drvnt {

// How a read ended.
enum class ReadEnd {
  kComplete,  // all the requested bytes arrived
  kTimedOut,  // the time-out passed first
  kClosed,    // the peer closed the connection
  kError,     // a socket error, no connection, or Wake()
};

struct ReadResult {
  std::size_t received = 0;  // bytes placed at the start of the buffer, kept whatever the end
  ReadEnd end = ReadEnd::kComplete;
};

struct TcpHooks {
  // Runs on the connecting thread inside a successful connect, before Connect returns; an
  // exception from it makes the connect fail (the connection is closed without the on-close hook).
  std::function<void()> afterConnect;
  // Runs when Close() ends an open connection; not when the client is destroyed.
  std::function<void()> onClose;
  // How a host name becomes an IPv4 address (host byte order), blocking; the system's resolver
  // when unset. It runs on a thread of its own, so that Connect's time-out bounds it too.
  std::function<std::optional<std::uint32_t>(const std::string& host)> lookup = nullptr;
};

class BlockingTcpClient {
 public:
  explicit BlockingTcpClient(TcpHooks hooks);
  // Closes an open connection without running the on-close hook.
  ~BlockingTcpClient();

  BlockingTcpClient(const BlockingTcpClient&) = delete;
  BlockingTcpClient& operator=(const BlockingTcpClient&) = delete;

  // Connects to `host` (a host name or dotted IPv4 address) and `port`, giving up after
  // `timeoutMs`, which bounds the name lookup and the connect together. On failure `errorText`
  // says why and the client stays closed.
  bool Connect(const std::string& host, std::int32_t port, int timeoutMs, std::string* errorText);

  // Writes all of `data`, waiting at most `timeoutMs` for the system to take the last byte. False
  // on a network error, when not connected, when the peer has already closed the connection (the
  // system would take the bytes and lose them), and after the time-out (a peer that stopped
  // reading). After a failed write the connection may hold part of `data`: close it.
  bool WriteAll(std::span<const std::uint8_t> data, int timeoutMs, std::string* errorText);

  // Reads exactly `out.size()` bytes, waiting at most `timeoutMs` for all of them.
  ReadResult ReadExactly(std::span<std::uint8_t> out, int timeoutMs);

  // How many bytes have arrived and wait to be read, found without waiting and without taking
  // them; 0 when there are none, when not connected, and when the peer has closed and sent
  // nothing more.
  std::size_t BytesWaiting() const;

  // Closes an open connection and runs the on-close hook; does nothing when already closed.
  void Close();

  bool IsConnected() const;

  // From any thread: ends a blocked Connect, WriteAll or ReadExactly at once (shutdown of the
  // socket), and makes every later call on this client fail at once.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace drvnt
