#pragma once
// The asynchronous TCP client of the V7 link, `SimpleTCPClient1` of the engine.
//
// Setting `Connected` to true starts a connection attempt and returns at once; the socket's
// readiness, watched through the main thread's event loop, is turned into the notifications
// "connect completed", "bytes readable" and "closed" (each with its error code), which become the
// events `OnConnected`, `OnRead`, `OnDisconnected` and `OnError` on the main thread, in order.
// Every socket failure releases the connection and is reported with its Windows Sockets number and
// text, whatever the platform.
//
// It must never hold up the main thread: a host name is looked up on a thread of its own, a
// lookup or a connect that gets no answer in time fails, and one notification reads a bounded
// piece of what the server sent. It never puts a cut message on the wire (when the socket takes
// only part of a message, the rest is kept and sent before anything else), never raises SIGPIPE,
// and never lets an exception of an event handler escape into the event loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/memory_stream.h"
#include "platform/event_loop.h"
#include "platform/host_lookup.h"
#include "platform/socket_shim.h"

namespace drvnt {

// An exception of the socket component; what() is the text.
class SimpleSocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The notifications of a socket, numbered as the dispatch knows them.
inline constexpr std::uint16_t kFdRead = 1;
inline constexpr std::uint16_t kFdConnect = 16;
inline constexpr std::uint16_t kFdClose = 32;

struct SocketMessage {
  sock::SocketHandle socket;
  std::uint16_t event;  // kFdRead, kFdConnect or kFdClose
  std::uint16_t error;  // Windows Sockets number; 0 = none
};

// The socket half of the component: the socket and its watch, the translation of readiness into
// notifications, the read procedure and sending. The connection's state lives in the derived
// client.
class TCustomSimpleSocket {
 public:
  TCustomSimpleSocket(const TCustomSimpleSocket&) = delete;
  TCustomSimpleSocket& operator=(const TCustomSimpleSocket&) = delete;
  virtual ~TCustomSimpleSocket();

  // Bytes one read notification takes at most; the rest waits for the next notification, so a
  // server that floods the link cannot hold up the main thread or fill its memory.
  static constexpr std::int32_t kMaxReadPerNotification = 64 * 1024;
  // How long a connect may go unanswered before it fails with 10060 "Connection timed out"; 0
  // leaves it to the system (about two minutes).
  static constexpr std::uint32_t kDefaultConnectTimeoutMs = 10000;

  bool AllowChangeHostAndPortOnConnection = false;
  std::uint32_t ConnectTimeoutMs = kDefaultConnectTimeoutMs;
  // How long a host-name lookup may take before it counts as failed.
  std::uint32_t LookupTimeoutMs = AsyncHostResolver::kDefaultTimeoutMs;

  // The application's error report for an exception that an event handler raised inside a
  // notification; standard error when unassigned.
  std::function<void(const std::string& text)> OnException;

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  virtual void SetHost(const std::string& value) = 0;
  virtual void SetPort(std::uint16_t value) = 0;

  // The connection's socket; kInvalidSocket when there is none.
  sock::SocketHandle Socket() const { return socket_; }

  // Sends the content of `stream` (its position does not matter and is kept) and returns the
  // number of bytes the socket took: the stream's size only when it took all of them. Bytes the
  // client merely keeps do not count. When the socket took a part, the rest is kept and goes out
  // before anything else, so the peer's framing holds; when it took nothing (its buffer is full, or
  // bytes kept from before still wait) the result is 0. Either way the content counts as not sent
  // and the caller keeps it. 0 also without a socket or stream; -1 when the send failed (the
  // connection is then released and the error reported) or the peer has closed its side (nothing
  // is written; the close notification that follows releases the connection).
  std::int32_t SendStream(MemoryStream* stream);

  // One receive of up to `count` bytes; -1 after reporting a failure.
  std::int32_t ReceiveBuf(sock::SocketHandle socket, void* buffer, std::int32_t count);
  // One receive of up to `count` bytes appended to `stream`; ReceiveBuf's result.
  std::int32_t ReceiveToStream(sock::SocketHandle socket, MemoryStream& stream, std::int32_t count);

  // The rest of a message the socket took only in part, not yet taken.
  std::size_t PendingSendBytes() const { return pending_.size(); }

  // Positions in the bytes this connection carries to the server, counted from its start. The end
  // of everything SendStream accepted: what the socket took and the rest it keeps to go first.
  std::uint64_t StreamEnd() const { return bytesTaken_ + pending_.size(); }
  // How many of them the server's TCP has acknowledged; after the connection ended, the count at
  // its end, until the next connection begins.
  std::uint64_t AcknowledgedBytes() const;
  // Shuts the sending side down after what the socket took, for an orderly end: the server reads
  // to the end and acknowledges it. False when there is no connection or it failed.
  bool ShutdownSending();

 protected:
  // `lookup` turns host names into addresses on a thread of its own.
  TCustomSimpleSocket(EventLoop& loop, sock::HostResolver lookup);

  // Handles one notification; an exception raised on the way goes to the error report.
  virtual void WndProc(const SocketMessage& message);
  void WMSocket(const SocketMessage& message);

  // Text lookup, then RaiseError.
  virtual void HandleSocketError(sock::SocketHandle socket, std::int32_t errorCode);
  // `OnError`, or an exception when it is unassigned.
  virtual void RaiseError(sock::SocketHandle socket, std::int32_t errorCode,
                          const std::string& text) = 0;
  virtual void DoConnect() = 0;
  virtual void DoClose(sock::SocketHandle socket) = 0;
  virtual void DoDataAvailable(std::int32_t dataSize, bool& handled) = 0;
  virtual void DoRead(MemoryStream& stream) = 0;

  // The address of `Host` for `then`: a dotted address at once, a name once it is looked up (on
  // the main thread, inside a reported notification); nothing when it does not resolve in time.
  void ResolveHost(std::function<void(std::optional<std::uint32_t> address)> then);
  void CancelResolve();
  // Opens a socket and watches it for the end of its connect; 0 or the Windows Sockets error.
  std::int32_t OpenWatchedSocket();
  // The connect has begun: it must end within ConnectTimeoutMs.
  void AwaitConnect();
  // Stops the watch, drops the kept rest of a message, and closes the socket: in order once
  // connected (a reset would make the server's system discard what it has not read), by a reset
  // while the connect is still under way; 0 or the close error.
  std::int32_t CloseSocket();

  void ReportException(const std::string& text);

  std::string host_;
  std::uint16_t port_ = 0;

 private:
  void OnSocketReadable();
  void OnSocketWritable();
  void OnConnectTimeout();
  void EnterNotification(void (TCustomSimpleSocket::*step)());
  void ReadProcedure(sock::SocketHandle socket);
  void FlushPendingSend();
  bool SendFailed();
  void DropPendingSend();
  void RetireWatch();
  template <typename Step>
  void RunReported(Step step);

  EventLoop& loop_;
  AsyncHostResolver resolver_;
  std::unique_ptr<Timer> connectTimer_;
  sock::SocketHandle socket_ = sock::kInvalidSocket;
  // Changes whenever a socket is opened or closed, so that a notification or a read procedure
  // that outlived its socket (a handler released or reconnected) stops instead of acting on a new
  // socket that may have got the same descriptor number.
  std::uint64_t generation_ = 0;
  bool awaitingConnect_ = false;
  bool established_ = false;  // the connect completed: bytes may have gone to the server
  std::unique_ptr<SocketWatch> watch_;
  // Watches released inside one of their own notifications; destroyed once it has returned.
  std::vector<std::unique_ptr<SocketWatch>> retiredWatches_;
  int notificationDepth_ = 0;
  std::vector<std::uint8_t> pending_;
  std::uint64_t bytesTaken_ = 0;         // the socket took them on this connection
  std::uint64_t acknowledgedAtEnd_ = 0;  // AcknowledgedBytes of the connection that ended
};

// The client: one connection to `Host`:`Port`, started by `SetConnected(true)`, with the state
// Idle (nothing requested, no socket), Connecting (requested, socket, not connected) and
// Established (requested, socket, connected).
class TSimpleTCPClient : public TCustomSimpleSocket {
 public:
  explicit TSimpleTCPClient(EventLoop& loop, sock::HostResolver lookup = sock::LookupHostIPv4);
  // Releases the connection without raising OnDisconnected.
  ~TSimpleTCPClient() override;

  // Request a new connection at once after the peer closed.
  bool AutoTryReconnect = false;

  std::function<void(TSimpleTCPClient& sender)> OnConnected;
  std::function<void(TSimpleTCPClient& sender)> OnDisconnected;
  // Bytes are waiting; a handler that is assigned takes over reading them.
  std::function<void(TSimpleTCPClient& sender, std::int32_t dataSize)> OnDataAvailable;
  // The bytes read, at position 0; the stream belongs to the component.
  std::function<void(TSimpleTCPClient& sender, MemoryStream& stream)> OnRead;
  std::function<void(TSimpleTCPClient& sender, std::int32_t socket, std::int32_t errorCode,
                     const std::string& errorMsg)>
      OnError;

  // The connection is established (a pending attempt reads false).
  bool Connected() const { return connected_; }
  bool ConnectRequested() const { return connectRequested_; }
  // True starts an attempt unless one is wanted already; false releases.
  void SetConnected(bool value);

  // While connected these raise SimpleSocketError, or reconnect to the new address when
  // AllowChangeHostAndPortOnConnection is set. A pending attempt keeps the address it started
  // with.
  void SetHost(const std::string& value) override;
  void SetPort(std::uint16_t value) override;

 protected:
  void HandleSocketError(sock::SocketHandle socket, std::int32_t errorCode) override;
  void RaiseError(sock::SocketHandle socket, std::int32_t errorCode,
                  const std::string& text) override;
  void DoConnect() override;
  void DoClose(sock::SocketHandle socket) override;
  void DoDataAvailable(std::int32_t dataSize, bool& handled) override;
  void DoRead(MemoryStream& stream) override;

 private:
  void Start();
  void ConnectTo(std::uint32_t address);
  void Release();
  void ChangeAddress(const std::function<void()>& store, const char* refusal);

  bool connectRequested_ = false;
  bool connected_ = false;
  bool destroying_ = false;
};

}  // namespace drvnt
