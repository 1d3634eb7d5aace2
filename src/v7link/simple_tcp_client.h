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
// It must never hold up the main thread waiting for the server (only a host-name lookup is
// synchronous), never put a cut message on the wire (bytes the socket does not take at once are
// kept and sent first when it can take more), never raise SIGPIPE, and never let an exception of
// an event handler escape into the event loop.

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

  // Bytes kept for sending beyond which the connection is released as on a send error: a server
  // that stopped reading must not make the driver grow without limit.
  static constexpr std::size_t kMaxPendingSendBytes = std::size_t{1} << 20;

  bool AllowChangeHostAndPortOnConnection = false;

  // The application's error report for an exception that an event handler raised inside a
  // notification; standard error when unassigned.
  std::function<void(const std::string& text)> OnException;

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  virtual void SetHost(const std::string& value) = 0;
  virtual void SetPort(std::uint16_t value) = 0;

  // The connection's socket; kInvalidSocket when there is none.
  sock::SocketHandle Socket() const { return socket_; }

  // Sends the whole content of `stream` (its position does not matter and is kept). Returns the
  // stream's size when every byte went to the socket or was kept to follow as soon as the socket
  // can take more, 0 without a socket or stream, -1 when the send failed (the connection is then
  // released and the error reported).
  std::int32_t SendStream(MemoryStream* stream);

  // One receive of up to `count` bytes; -1 after reporting a failure.
  std::int32_t ReceiveBuf(sock::SocketHandle socket, void* buffer, std::int32_t count);
  // One receive of up to `count` bytes appended to `stream`; ReceiveBuf's result.
  std::int32_t ReceiveToStream(sock::SocketHandle socket, MemoryStream& stream, std::int32_t count);

  // Bytes taken by SendStream that the socket has not taken yet.
  std::size_t PendingSendBytes() const { return pending_.size(); }

 protected:
  TCustomSimpleSocket(EventLoop& loop, sock::HostResolver resolver);

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

  // The address of `Host`: a dotted address as it is, anything else through the resolver.
  std::optional<std::uint32_t> ResolveHost() const;
  // Opens a socket and watches it for the end of its connect; 0 or the Windows Sockets error.
  std::int32_t OpenWatchedSocket();
  // Stops the watch, drops unsent bytes, resets and closes the socket; 0 or the close error.
  std::int32_t CloseSocket();

  void ReportException(const std::string& text);

  std::string host_;
  std::uint16_t port_ = 0;

 private:
  void OnSocketReadable();
  void OnSocketWritable();
  void EnterNotification(void (TCustomSimpleSocket::*step)());
  void ReadProcedure(sock::SocketHandle socket);
  void FlushPendingSend();
  bool KeepForSending(std::span<const std::uint8_t> bytes);
  void RetireWatch();
  template <typename Step>
  void RunReported(Step step);

  EventLoop& loop_;
  sock::HostResolver resolver_;
  sock::SocketHandle socket_ = sock::kInvalidSocket;
  // Changes whenever a socket is opened or closed, so that a notification or a read procedure
  // that outlived its socket (a handler released or reconnected) stops instead of acting on a new
  // socket that may have got the same descriptor number.
  std::uint64_t generation_ = 0;
  bool awaitingConnect_ = false;
  std::unique_ptr<SocketWatch> watch_;
  // Watches released inside one of their own notifications; destroyed once it has returned.
  std::vector<std::unique_ptr<SocketWatch>> retiredWatches_;
  int notificationDepth_ = 0;
  std::vector<std::uint8_t> pending_;
};

// The client: one connection to `Host`:`Port`, started by `SetConnected(true)`, with the state
// Idle (nothing requested, no socket), Connecting (requested, socket, not connected) and
// Established (requested, socket, connected).
class TSimpleTCPClient : public TCustomSimpleSocket {
 public:
  explicit TSimpleTCPClient(EventLoop& loop, sock::HostResolver resolver = sock::LookupHostIPv4);
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
  void Release();
  void ChangeAddress(const std::function<void()>& store, const char* refusal);

  bool connectRequested_ = false;
  bool connected_ = false;
  bool destroying_ = false;
};

}  // namespace drvnt
