#include "v7link/simple_tcp_client.h"

#include <algorithm>
#include <iostream>

#include "v7link/winsock_errors.h"

namespace drvnt {
namespace {

// A notification carries its error in 16 bits, as the window message it stands for did.
std::uint16_t ErrorWord(std::int32_t error) {
  return static_cast<std::uint16_t>(std::clamp<std::int32_t>(error, 0, 0xFFFF));
}

}  // namespace

// ---- TCustomSimpleSocket ------------------------------------------------------------------------

TCustomSimpleSocket::TCustomSimpleSocket(EventLoop& loop, sock::HostResolver lookup)
    : loop_(loop), resolver_(loop, std::move(lookup)) {
  connectTimer_ =
      loop_.CreateTimer([this] { EnterNotification(&TCustomSimpleSocket::OnConnectTimeout); });
}

TCustomSimpleSocket::~TCustomSimpleSocket() {
  // The client releases its connection itself; this only keeps a descriptor from leaking.
  if (socket_ != sock::kInvalidSocket)
    CloseSocket();
}

void TCustomSimpleSocket::ResolveHost(
    std::function<void(std::optional<std::uint32_t> address)> then) {
  if (auto address = sock::ParseDottedIPv4(host_)) {
    then(address);
    return;
  }
  resolver_.TimeoutMs = LookupTimeoutMs;
  resolver_.Resolve(host_, [this, then = std::move(then)](std::optional<std::uint32_t> address) {
    ++notificationDepth_;
    RunReported([&] { then(address); });
    if (--notificationDepth_ == 0)
      retiredWatches_.clear();
  });
}

void TCustomSimpleSocket::CancelResolve() {
  resolver_.Cancel();
}

std::int32_t TCustomSimpleSocket::OpenWatchedSocket() {
  const sock::SocketHandle s = sock::OpenTcpSocket();
  if (s == sock::kInvalidSocket)
    return sock::LastSocketError();
  socket_ = s;
  bytesTaken_ = 0;
  acknowledgedAtEnd_ = 0;
  const std::uint64_t generation = ++generation_;
  awaitingConnect_ = true;
  watch_ = loop_.WatchSocket(
      s,
      [this, generation] {
        if (generation == generation_)
          EnterNotification(&TCustomSimpleSocket::OnSocketReadable);
      },
      [this, generation] {
        if (generation == generation_)
          EnterNotification(&TCustomSimpleSocket::OnSocketWritable);
      });
  // Until the connect has completed only its end is of interest: data the server sends at once
  // must not be reported before the connection is.
  watch_->SetReadEnabled(false);
  return 0;
}

void TCustomSimpleSocket::AwaitConnect() {
  if (awaitingConnect_ && ConnectTimeoutMs > 0)
    connectTimer_->Start(ConnectTimeoutMs);
}

// A server that never answers the connect (a dead host, a full listening queue) would hold the
// attempt for the system's own time-out of about two minutes.
void TCustomSimpleSocket::OnConnectTimeout() {
  connectTimer_->Stop();
  if (!awaitingConnect_ || socket_ == sock::kInvalidSocket)
    return;
  awaitingConnect_ = false;
  WndProc({socket_, kFdConnect, ErrorWord(sock::kWsaETimedOut)});
}

std::int32_t TCustomSimpleSocket::CloseSocket() {
  RetireWatch();
  DropPendingSend();
  connectTimer_->Stop();
  awaitingConnect_ = false;
  const sock::SocketHandle s = socket_;
  socket_ = sock::kInvalidSocket;
  ++generation_;
  const bool established = established_;
  const std::int32_t unacknowledged = established ? sock::UnacknowledgedBytes(s) : 0;
  acknowledgedAtEnd_ = bytesTaken_ - std::min<std::uint64_t>(bytesTaken_, unacknowledged);
  established_ = false;
  if (unacknowledged > 0) {
    std::cerr << "V7 link: connection ended with " << unacknowledged
              << " bytes the server had not acknowledged; their messages stay in spool files and"
                 " are sent again"
              << std::endl;
  }
  // Results of shutdown and linger are of no interest: the socket goes whatever they say. An
  // established connection is never reset: a reset makes the server's system discard what it
  // took and the server has not read yet, messages whose files are gone. It ends in order, and
  // the system goes on delivering what the server has not acknowledged.
  sock::Shutdown(s);
  if (!established)
    sock::SetAbortiveClose(s);
  return sock::Close(s) ? 0 : sock::LastSocketError();
}

void TCustomSimpleSocket::RetireWatch() {
  if (!watch_)
    return;
  watch_->SetReadEnabled(false);
  watch_->SetWriteEnabled(false);
  if (notificationDepth_ > 0) {
    retiredWatches_.push_back(std::move(watch_));
  } else {
    watch_.reset();
  }
}

template <typename Step>
void TCustomSimpleSocket::RunReported(Step step) {
  try {
    step();
  } catch (const std::exception& e) {
    ReportException(e.what());
  } catch (...) {
    ReportException("Unknown error");
  }
}

void TCustomSimpleSocket::EnterNotification(void (TCustomSimpleSocket::*step)()) {
  ++notificationDepth_;
  RunReported([&] { (this->*step)(); });
  if (--notificationDepth_ == 0)
    retiredWatches_.clear();
}

void TCustomSimpleSocket::ReportException(const std::string& text) {
  if (OnException) {
    try {
      OnException(text);
      return;
    } catch (...) {
      // The report itself failed; standard error still gets the text.
    }
  }
  std::cerr << text << std::endl;
}

// Readiness to read stands for three notifications: bytes are there, the peer closed in order
// (end of stream), or the connection failed (an error is pending).
void TCustomSimpleSocket::OnSocketReadable() {
  const sock::SocketHandle s = socket_;
  std::int32_t count = 0;
  if (!sock::BytesReadable(s, count) || count > 0) {
    WndProc({s, kFdRead, 0});
    return;
  }
  const std::int32_t peek = sock::PeekByte(s);
  if (peek > 0) {
    WndProc({s, kFdRead, 0});
  } else if (peek == 0) {
    WndProc({s, kFdClose, 0});
  } else if (const std::int32_t error = sock::LastSocketError(); error != sock::kWsaEWouldBlock) {
    WndProc({s, kFdClose, ErrorWord(error)});
  }
}

// Readiness to write is the end of the connect while it is pending, and afterwards room for the
// bytes kept for sending.
void TCustomSimpleSocket::OnSocketWritable() {
  const sock::SocketHandle s = socket_;
  if (!awaitingConnect_) {
    RunReported([this] { FlushPendingSend(); });
    return;
  }
  awaitingConnect_ = false;
  connectTimer_->Stop();
  const std::int32_t error = sock::PendingError(s);
  watch_->SetWriteEnabled(false);
  established_ = error == 0;
  if (established_)
    watch_->SetReadEnabled(true);
  WndProc({s, kFdConnect, ErrorWord(error)});
}

void TCustomSimpleSocket::WndProc(const SocketMessage& message) {
  RunReported([&] { WMSocket(message); });
}

void TCustomSimpleSocket::WMSocket(const SocketMessage& message) {
  if (message.error > 10000) {
    HandleSocketError(message.socket, message.error);
    return;
  }
  switch (message.event) {
    case kFdRead:
      ReadProcedure(message.socket);
      break;
    case kFdConnect:
      DoConnect();
      break;
    case kFdClose:
      DoClose(message.socket);
      break;
    default:
      break;
  }
}

// Takes what has arrived, up to kMaxReadPerNotification bytes, then hands it over in one stream:
// the peer's message boundaries are not kept. Bytes beyond the bound stay with the socket, whose
// watch reports them again once the event loop has served everything else.
void TCustomSimpleSocket::ReadProcedure(sock::SocketHandle socket) {
  MemoryStream stream;
  const std::uint64_t generation = generation_;
  bool handled = false;
  std::int32_t handledCount = 0;
  std::int32_t budget = kMaxReadPerNotification;
  while (budget > 0) {
    std::int32_t count = 0;
    if (!sock::BytesReadable(socket, count)) {
      HandleSocketError(socket, sock::LastSocketError());
      return;
    }
    // A handler that took over but read nothing would make this loop forever; the watch asks
    // again while bytes are waiting.
    if (count == 0 || (handled && count >= handledCount))
      break;
    count = std::min(count, budget);
    handled = false;
    DoDataAvailable(count, handled);
    if (generation != generation_)
      return;
    if (handled) {
      handledCount = count;
      budget -= count;
      continue;
    }
    const std::int32_t n = ReceiveToStream(socket, stream, count);
    if (n < 0 || generation != generation_)
      return;
    // Nothing taken although bytes were announced: the next notification tells why.
    if (n == 0)
      break;
    budget -= n;
  }
  if (!handled && stream.Size() > 0) {
    stream.SetPosition(0);
    DoRead(stream);
  }
}

void TCustomSimpleSocket::HandleSocketError(sock::SocketHandle socket, std::int32_t errorCode) {
  RaiseError(socket, errorCode, std::string(WinsockErrorText(errorCode)));
}

std::int32_t TCustomSimpleSocket::ReceiveBuf(sock::SocketHandle socket, void* buffer,
                                             std::int32_t count) {
  const std::int32_t n = sock::Receive(socket, buffer, count);
  if (n < 0)
    HandleSocketError(socket, sock::LastSocketError());
  return n;
}

std::int32_t TCustomSimpleSocket::ReceiveToStream(sock::SocketHandle socket, MemoryStream& stream,
                                                  std::int32_t count) {
  if (count <= 0)
    return 0;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
  const std::int32_t n = ReceiveBuf(socket, buffer.data(), count);
  if (n > 0) {
    stream.SetPosition(stream.Size());
    stream.Write(std::span(buffer).first(static_cast<std::size_t>(n)));
  }
  return n;
}

std::int32_t TCustomSimpleSocket::SendStream(MemoryStream* stream) {
  if (socket_ == sock::kInvalidSocket || stream == nullptr)
    return 0;
  // A socket whose connect has not completed cannot send.
  if (awaitingConnect_) {
    HandleSocketError(socket_, sock::kWsaENotConn);
    return -1;
  }
  const std::span<const std::uint8_t> bytes = stream->Bytes();
  if (bytes.empty())
    return 0;
  // The system would take bytes into a connection the server has already closed and lose them.
  if (sock::PeerHasClosed(socket_)) {
    if (const std::int32_t error = sock::PendingError(socket_); error != 0)
      HandleSocketError(socket_, error);
    return -1;
  }
  // The rest of an earlier message goes first; while it waits, nothing else can go.
  FlushPendingSend();
  if (socket_ == sock::kInvalidSocket)
    return -1;
  if (!pending_.empty())
    return 0;
  const auto size = static_cast<std::int32_t>(std::min<std::size_t>(bytes.size(), INT32_MAX));
  const std::int32_t n = sock::Send(socket_, bytes.data(), size);
  if (n < 0)
    return SendFailed() ? -1 : 0;
  bytesTaken_ += static_cast<std::uint64_t>(n);
  if (n < size) {
    pending_.assign(bytes.begin() + n, bytes.begin() + size);
    watch_->SetWriteEnabled(true);
  }
  return n;
}

// After a send that took nothing: true when it failed (the connection is released and the error
// reported), false when the socket's buffer is only full.
bool TCustomSimpleSocket::SendFailed() {
  const std::int32_t error = sock::LastSocketError();
  if (error == sock::kWsaEWouldBlock)
    return false;
  HandleSocketError(socket_, error);
  return true;
}

void TCustomSimpleSocket::FlushPendingSend() {
  std::size_t sent = 0;
  while (sent < pending_.size()) {
    const std::size_t rest = pending_.size() - sent;
    const std::int32_t n =
        sock::Send(socket_, pending_.data() + sent,
                   static_cast<std::int32_t>(std::min<std::size_t>(rest, INT32_MAX)));
    if (n < 0) {
      if (SendFailed())
        return;
      break;
    }
    sent += static_cast<std::size_t>(n);
    bytesTaken_ += static_cast<std::uint64_t>(n);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
  if (pending_.empty() && watch_)
    watch_->SetWriteEnabled(false);
}

std::uint64_t TCustomSimpleSocket::AcknowledgedBytes() const {
  if (socket_ == sock::kInvalidSocket)
    return acknowledgedAtEnd_;
  if (!established_)
    return 0;
  const auto unacknowledged = static_cast<std::uint64_t>(sock::UnacknowledgedBytes(socket_));
  return bytesTaken_ - std::min(bytesTaken_, unacknowledged);
}

bool TCustomSimpleSocket::ShutdownSending() {
  if (socket_ == sock::kInvalidSocket || !established_)
    return false;
  return sock::ShutdownSending(socket_);
}

// The message these bytes belong to counted as not sent when the socket took only its start, so
// its owner still holds it whole; the peer gets it again in full from there.
void TCustomSimpleSocket::DropPendingSend() {
  if (!pending_.empty()) {
    std::cerr << "V7 link: connection ended with the last " << pending_.size()
              << " bytes of a message not sent; the message was kept to be sent again whole"
              << std::endl;
  }
  pending_.clear();
  pending_.shrink_to_fit();
}

// ---- TSimpleTCPClient ---------------------------------------------------------------------------

TSimpleTCPClient::TSimpleTCPClient(EventLoop& loop, sock::HostResolver resolver)
    : TCustomSimpleSocket(loop, std::move(resolver)) {}

TSimpleTCPClient::~TSimpleTCPClient() {
  destroying_ = true;
  try {
    SetConnected(false);
  } catch (const std::exception& e) {
    ReportException(e.what());
  } catch (...) {
    ReportException("Unknown error");
  }
}

void TSimpleTCPClient::SetConnected(bool value) {
  if (value == connectRequested_)
    return;
  connectRequested_ = value;
  if (value) {
    Start();
  } else {
    Release();
  }
}

// Idle → Connecting: the attempt goes on while the host name is looked up.
void TSimpleTCPClient::Start() {
  ResolveHost([this](std::optional<std::uint32_t> address) {
    // The resolver's own reason is not reported: an unknown host is a bad address.
    if (!address) {
      HandleSocketError(sock::kInvalidSocket, sock::kWsaEFault);
      return;
    }
    ConnectTo(*address);
  });
}

void TSimpleTCPClient::ConnectTo(std::uint32_t address) {
  if (const std::int32_t error = OpenWatchedSocket(); error != 0) {
    HandleSocketError(sock::kInvalidSocket, error);
    return;
  }
  if (!sock::Connect(Socket(), address, port_)) {
    HandleSocketError(Socket(), sock::LastSocketError());
    return;
  }
  AwaitConnect();
}

void TSimpleTCPClient::Release() {
  connected_ = false;
  CancelResolve();
  // A start that failed before it had a socket has nothing to release and nothing to report.
  if (Socket() == sock::kInvalidSocket)
    return;
  const sock::SocketHandle s = Socket();
  const std::int32_t closeError = CloseSocket();
  if (OnDisconnected && !destroying_)
    OnDisconnected(*this);
  // The descriptor is gone even when close failed, so the release stands; the failure is only
  // reported.
  if (closeError != 0)
    TCustomSimpleSocket::HandleSocketError(s, closeError);
}

void TSimpleTCPClient::HandleSocketError(sock::SocketHandle socket, std::int32_t errorCode) {
  SetConnected(false);
  TCustomSimpleSocket::HandleSocketError(socket, errorCode);
}

void TSimpleTCPClient::RaiseError(sock::SocketHandle socket, std::int32_t errorCode,
                                  const std::string& text) {
  if (!OnError)
    throw SimpleSocketError(text);
  OnError(*this, socket, errorCode, text);
}

void TSimpleTCPClient::DoConnect() {
  connected_ = true;
  if (OnConnected)
    OnConnected(*this);
}

void TSimpleTCPClient::DoClose(sock::SocketHandle) {
  SetConnected(false);
  if (AutoTryReconnect && !destroying_)
    SetConnected(true);
}

void TSimpleTCPClient::DoDataAvailable(std::int32_t dataSize, bool& handled) {
  handled = static_cast<bool>(OnDataAvailable);
  if (handled)
    OnDataAvailable(*this, dataSize);
}

void TSimpleTCPClient::DoRead(MemoryStream& stream) {
  if (OnRead)
    OnRead(*this, stream);
}

void TSimpleTCPClient::SetHost(const std::string& value) {
  if (value == host_)
    return;
  ChangeAddress([&] { host_ = value; }, "Can not change Host while connected");
}

void TSimpleTCPClient::SetPort(std::uint16_t value) {
  if (value == port_)
    return;
  ChangeAddress([&] { port_ = value; }, "Can not change Port while connected");
}

void TSimpleTCPClient::ChangeAddress(const std::function<void()>& store, const char* refusal) {
  if (!connected_) {
    store();
    return;
  }
  if (!AllowChangeHostAndPortOnConnection)
    throw SimpleSocketError(refusal);
  SetConnected(false);
  store();
  SetConnected(true);
}

}  // namespace drvnt
