// The V7 client against loopback servers written here with plain POSIX sockets. The servers encode
// and check bytes themselves; the client runs on the real Qt event loop.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/qt/qt_event_loop.h"
#include "support/run_until.h"
#include "v7link/simple_tcp_client.h"

namespace drvnt {
namespace {

using ::testing::ElementsAre;
using testing::RunFor;
using testing::RunUntil;

// An owned descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  ~Fd() { Reset(); }
  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

// A listening socket on 127.0.0.1 at a port the system chose.
class LoopbackServer {
 public:
  // A small receive buffer keeps what the system holds for a server that does not read small.
  explicit LoopbackServer(int receiveBuffer = 0) : listen_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0) {
      ::setsockopt(listen_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const sockaddr_in sa = Loopback(0);
    ::bind(listen_.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    ::listen(listen_.Get(), 8);
    port_ = BoundPort(listen_.Get());
  }

  std::uint16_t Port() const { return port_; }

  // The next connection, or an invalid Fd when none came in time.
  Fd Accept(int timeoutMs = 5000) {
    if (!WaitReadable(listen_.Get(), timeoutMs))
      return Fd();
    return Fd(::accept4(listen_.Get(), nullptr, nullptr, SOCK_NONBLOCK));
  }

  bool HasWaitingConnection(int waitMs) { return WaitReadable(listen_.Get(), waitMs); }

 private:
  Fd listen_;
  std::uint16_t port_ = 0;
};

// A port on which nobody listens.
std::uint16_t UnusedPort() {
  Fd s(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in sa = Loopback(0);
  ::bind(s.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  return BoundPort(s.Get());
}

void WriteAll(int fd, const std::string& text) {
  ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Appends what the peer socket holds now.
void ReadAvailable(int fd, std::vector<std::uint8_t>& into) {
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0)
      return;
    into.insert(into.end(), buffer, buffer + n);
  }
}

void CloseWithReset(Fd& fd) {
  const linger l{1, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd.Reset();
}

std::int32_t Send(TSimpleTCPClient& client, const std::string& text) {
  MemoryStream stream(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return client.SendStream(&stream);
}

class SimpleTcpClientTest : public ::testing::Test {
 protected:
  SimpleTcpClientTest() { client_ = MakeClient(); }

  std::unique_ptr<TSimpleTCPClient> MakeClient(sock::HostResolver resolver = sock::LookupHostIPv4) {
    auto client = std::make_unique<TSimpleTCPClient>(loop_, std::move(resolver));
    client->OnConnected = [this](TSimpleTCPClient&) { events_.push_back("connected"); };
    client->OnDisconnected = [this](TSimpleTCPClient&) { events_.push_back("disconnected"); };
    client->OnRead = [this](TSimpleTCPClient&, MemoryStream& stream) {
      events_.push_back("read " + std::to_string(stream.Position()) + " " +
                        std::string(stream.Bytes().begin(), stream.Bytes().end()));
    };
    client->OnError = [this](TSimpleTCPClient&, std::int32_t, std::int32_t code,
                             const std::string& text) {
      events_.push_back("error " + std::to_string(code) + " " + text);
    };
    client->OnException = [this](const std::string& text) { exceptions_.push_back(text); };
    return client;
  }

  void StartTo(TSimpleTCPClient& client, const std::string& host, std::uint16_t port) {
    client.SetHost(host);
    client.SetPort(port);
    client.SetConnected(true);
  }

  // Connects the client to `server` and returns the server's end.
  Fd Establish(LoopbackServer& server) {
    StartTo(*client_, "127.0.0.1", server.Port());
    Fd peer = server.Accept();
    EXPECT_GE(peer.Get(), 0);
    EXPECT_TRUE(RunUntil([&] { return client_->Connected(); }));
    events_.clear();
    return peer;
  }

  bool RunUntilEvents(std::size_t n) {
    return RunUntil([&] { return events_.size() >= n; });
  }

  void ExpectIdle(const TSimpleTCPClient& client) {
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.ConnectRequested());
    EXPECT_EQ(client.Socket(), sock::kInvalidSocket);
  }

  QtEventLoop loop_;
  LoopbackServer server_;
  std::vector<std::string> events_;
  std::vector<std::string> exceptions_;
  std::unique_ptr<TSimpleTCPClient> client_;
};

// ---- connecting -------------------------------------------------------------------------------

TEST_F(SimpleTcpClientTest, RefusedConnectionReportsDisconnectedThenError) {
  StartTo(*client_, "127.0.0.1", UnusedPort());
  ASSERT_TRUE(RunUntilEvents(2));
  RunFor(50);
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10061 Connection refused"));
  ExpectIdle(*client_);
}

TEST_F(SimpleTcpClientTest, SecondRequestWhileConnectingMakesNoSecondAttempt) {
  StartTo(*client_, "127.0.0.1", server_.Port());
  const sock::SocketHandle first = client_->Socket();
  client_->SetConnected(true);
  EXPECT_EQ(client_->Socket(), first);
  EXPECT_FALSE(client_->Connected());  // a pending attempt reads false

  const Fd peer = server_.Accept();
  ASSERT_GE(peer.Get(), 0);
  ASSERT_TRUE(RunUntil([&] { return client_->Connected(); }));
  EXPECT_FALSE(server_.HasWaitingConnection(200));
  EXPECT_THAT(events_, ElementsAre("connected"));
}

// Which hosts go through the resolver and which do not.
TEST_F(SimpleTcpClientTest, OnlyHostNamesGoThroughTheResolver) {
  struct Case {
    const char* host;
    int lookups;
  };
  for (const Case& c : {Case{"127.0.0.1", 0}, Case{"localhost", 1}}) {
    SCOPED_TRACE(c.host);
    int lookups = 0;
    auto client = MakeClient([&](const std::string& host) {
      ++lookups;
      return sock::LookupHostIPv4(host);
    });
    StartTo(*client, c.host, server_.Port());
    const Fd peer = server_.Accept();
    EXPECT_GE(peer.Get(), 0);
    EXPECT_TRUE(RunUntil([&] { return client->Connected(); }));
    EXPECT_EQ(lookups, c.lookups);
  }
}

TEST_F(SimpleTcpClientTest, UnknownHostIsABadAddressAndLeavesTheClientIdle) {
  StartTo(*client_, "no-such-host.invalid", server_.Port());
  // No socket was made, so nothing is disconnected.
  EXPECT_THAT(events_, ElementsAre("error 10014 Bad address"));
  ExpectIdle(*client_);
  EXPECT_FALSE(server_.HasWaitingConnection(50));
}

TEST_F(SimpleTcpClientTest, WithoutOnErrorAFailureBecomesAnException) {
  client_->OnError = nullptr;
  client_->SetHost("no-such-host.invalid");
  // From the caller's own call, the exception reaches the caller.
  try {
    client_->SetConnected(true);
    FAIL() << "no exception";
  } catch (const SimpleSocketError& e) {
    EXPECT_STREQ(e.what(), "Bad address");
  }
  ExpectIdle(*client_);

  // Inside a notification it reaches the error report instead of the event loop.
  StartTo(*client_, "127.0.0.1", UnusedPort());
  ASSERT_TRUE(RunUntil([&] { return !exceptions_.empty(); }));
  EXPECT_THAT(exceptions_, ElementsAre("Connection refused"));
  ExpectIdle(*client_);
}

// ---- host and port ----------------------------------------------------------------------------

TEST_F(SimpleTcpClientTest, ChangingHostOrPortWhileConnectedIsRefused) {
  const Fd peer = Establish(server_);
  try {
    client_->SetPort(static_cast<std::uint16_t>(server_.Port() + 1));
    FAIL() << "no exception";
  } catch (const SimpleSocketError& e) {
    EXPECT_STREQ(e.what(), "Can not change Port while connected");
  }
  try {
    client_->SetHost("localhost");
    FAIL() << "no exception";
  } catch (const SimpleSocketError& e) {
    EXPECT_STREQ(e.what(), "Can not change Host while connected");
  }
  // Setting the current values changes nothing and is allowed.
  client_->SetHost("127.0.0.1");
  client_->SetPort(server_.Port());

  EXPECT_EQ(client_->Host(), "127.0.0.1");
  EXPECT_EQ(client_->Port(), server_.Port());
  EXPECT_TRUE(client_->Connected());
  EXPECT_TRUE(events_.empty());
}

TEST_F(SimpleTcpClientTest, ChangingThePortWhileConnectedReconnectsWhenAllowed) {
  const Fd peer = Establish(server_);
  LoopbackServer other;
  client_->AllowChangeHostAndPortOnConnection = true;
  client_->SetPort(other.Port());

  const Fd otherPeer = other.Accept();
  ASSERT_GE(otherPeer.Get(), 0);
  ASSERT_TRUE(RunUntilEvents(2));
  EXPECT_THAT(events_, ElementsAre("disconnected", "connected"));
  EXPECT_EQ(client_->Port(), other.Port());
  EXPECT_FALSE(server_.HasWaitingConnection(0));
}

// ---- the peer ends the connection -------------------------------------------------------------

TEST_F(SimpleTcpClientTest, PeerCloseReleasesOnceWithoutNewAttempt) {
  Fd peer = Establish(server_);
  peer.Reset();
  ASSERT_TRUE(RunUntilEvents(1));
  RunFor(100);
  EXPECT_THAT(events_, ElementsAre("disconnected"));
  ExpectIdle(*client_);
  EXPECT_FALSE(server_.HasWaitingConnection(100));
}

TEST_F(SimpleTcpClientTest, PeerCloseWithAutoTryReconnectMakesOneNewAttempt) {
  client_->AutoTryReconnect = true;
  Fd peer = Establish(server_);
  peer.Reset();

  // The new attempt starts inside the close notification, so the loop must run for it.
  ASSERT_TRUE(RunUntil([&] { return server_.HasWaitingConnection(0); }));
  const Fd second = server_.Accept();
  ASSERT_GE(second.Get(), 0);
  ASSERT_TRUE(RunUntilEvents(2));
  RunFor(100);
  EXPECT_THAT(events_, ElementsAre("disconnected", "connected"));
  EXPECT_TRUE(client_->Connected());
  EXPECT_FALSE(server_.HasWaitingConnection(0));
}

TEST_F(SimpleTcpClientTest, PeerResetReportsDisconnectedThenError) {
  Fd peer = Establish(server_);
  CloseWithReset(peer);
  ASSERT_TRUE(RunUntilEvents(2));
  RunFor(50);
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10054 Connection reset by peer"));
  ExpectIdle(*client_);
}

// A send after the peer has gone fails as an error; it must not raise SIGPIPE (which would end
// this test program).
TEST_F(SimpleTcpClientTest, SendAfterThePeerHasGoneIsAnErrorNotASignal) {
  Fd peer = Establish(server_);
  peer.Reset();
  // The client has not yet handled the close: the first send is still taken, the peer's system
  // answers it with a reset, and the next send finds the connection broken.
  ASSERT_TRUE(WaitReadable(client_->Socket(), 5000));
  EXPECT_EQ(Send(*client_, "a"), 1);
  ::usleep(50000);
  EXPECT_EQ(Send(*client_, "b"), -1);
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10054 Connection reset by peer"));
  ExpectIdle(*client_);
}

TEST_F(SimpleTcpClientTest, DestructionWhileConnectedResetsWithoutDisconnected) {
  const Fd peer = Establish(server_);
  client_.reset();
  EXPECT_TRUE(events_.empty());

  // The peer learns of the end at once, and it is a reset: its first send fails, whereas after
  // an orderly close the first send would still be taken.
  ASSERT_TRUE(WaitReadable(peer.Get(), 5000));
  RunFor(50);
  errno = 0;
  EXPECT_EQ(::send(peer.Get(), "x", 1, MSG_NOSIGNAL), -1);
  EXPECT_TRUE(errno == ECONNRESET || errno == EPIPE) << errno;
}

// ---- reading ----------------------------------------------------------------------------------

TEST_F(SimpleTcpClientTest, BytesThatArrivedBeforeTheNotificationComeAsOneStream) {
  const Fd peer = Establish(server_);
  WriteAll(peer.Get(), "abc");
  WriteAll(peer.Get(), "defg");
  // Both writes are with the client before its loop runs again.
  int queued = 0;
  for (int i = 0; i < 2000 && queued < 7; ++i) {
    ::ioctl(client_->Socket(), FIONREAD, &queued);
    if (queued < 7)
      ::usleep(1000);
  }
  ASSERT_EQ(queued, 7);

  ASSERT_TRUE(RunUntilEvents(1));
  RunFor(100);
  EXPECT_THAT(events_, ElementsAre("read 0 abcdefg"));
}

TEST_F(SimpleTcpClientTest, DataSentAtOnceByTheServerFollowsTheConnectedEvent) {
  StartTo(*client_, "127.0.0.1", server_.Port());
  const Fd peer = server_.Accept();
  ASSERT_GE(peer.Get(), 0);
  WriteAll(peer.Get(), "hi");
  ::usleep(20000);
  ASSERT_TRUE(RunUntilEvents(2));
  EXPECT_THAT(events_, ElementsAre("connected", "read 0 hi"));
}

TEST_F(SimpleTcpClientTest, ExceptionInOnReadReachesTheErrorReportAndTheClientGoesOn) {
  const Fd peer = Establish(server_);
  auto record = client_->OnRead;
  bool thrown = false;
  client_->OnRead = [&](TSimpleTCPClient& sender, MemoryStream& stream) {
    record(sender, stream);
    if (!std::exchange(thrown, true))
      throw std::runtime_error("handler failed");
  };

  WriteAll(peer.Get(), "one");
  ASSERT_TRUE(RunUntil([&] { return !exceptions_.empty(); }));
  EXPECT_THAT(exceptions_, ElementsAre("handler failed"));
  EXPECT_TRUE(client_->Connected());

  WriteAll(peer.Get(), "two");
  ASSERT_TRUE(RunUntilEvents(2));
  EXPECT_THAT(events_, ElementsAre("read 0 one", "read 0 two"));

  EXPECT_EQ(Send(*client_, "back"), 4);
  std::vector<std::uint8_t> received;
  ASSERT_TRUE(RunUntil([&] {
    ReadAvailable(peer.Get(), received);
    return received.size() >= 4;
  }));
  EXPECT_EQ(std::string(received.begin(), received.end()), "back");
}

TEST_F(SimpleTcpClientTest, OnDataAvailableTakesOverReading) {
  const Fd peer = Establish(server_);
  std::vector<std::int32_t> announced;
  MemoryStream own;
  client_->OnDataAvailable = [&](TSimpleTCPClient& sender, std::int32_t dataSize) {
    announced.push_back(dataSize);
    // The first announcement is left unread: the client must neither hang nor lose the bytes.
    if (announced.size() > 1)
      sender.ReceiveToStream(sender.Socket(), own, dataSize);
  };
  WriteAll(peer.Get(), "hello");
  ASSERT_TRUE(RunUntil([&] { return own.Size() == 5; }));
  RunFor(50);
  EXPECT_EQ(std::string(own.Bytes().begin(), own.Bytes().end()), "hello");
  EXPECT_EQ(announced.front(), 5);
  EXPECT_TRUE(events_.empty());  // no OnRead when the handler took over
}

// ---- sending ----------------------------------------------------------------------------------

TEST_F(SimpleTcpClientTest, SendStreamWithoutConnectionSendsNothing) {
  MemoryStream stream;
  stream.Write(std::vector<std::uint8_t>(555, 0x41));
  EXPECT_EQ(client_->SendStream(&stream), 0);
  EXPECT_EQ(client_->SendStream(nullptr), 0);
  RunFor(20);
  EXPECT_TRUE(events_.empty());
  ExpectIdle(*client_);
}

TEST_F(SimpleTcpClientTest, SendStreamBeforeTheConnectCompletesIsNotConnected) {
  StartTo(*client_, "127.0.0.1", server_.Port());
  EXPECT_EQ(Send(*client_, "early"), -1);
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10057 Socket is not connected"));
  ExpectIdle(*client_);
}

// The link greets the server from its connected handler.
TEST_F(SimpleTcpClientTest, ConnectedHandlerCanSendAtOnce) {
  client_->OnConnected = [this](TSimpleTCPClient& sender) {
    events_.push_back("connected " + std::to_string(Send(sender, "greeting")));
  };
  StartTo(*client_, "127.0.0.1", server_.Port());
  const Fd peer = server_.Accept();
  ASSERT_GE(peer.Get(), 0);
  std::vector<std::uint8_t> received;
  ASSERT_TRUE(RunUntil([&] {
    ReadAvailable(peer.Get(), received);
    return received.size() >= 8;
  }));
  EXPECT_EQ(std::string(received.begin(), received.end()), "greeting");
  EXPECT_THAT(events_, ElementsAre("connected 8"));
}

TEST_F(SimpleTcpClientTest, SendStreamKeepsThePositionOfTheStream) {
  const Fd peer = Establish(server_);
  MemoryStream stream;
  stream.Write(std::vector<std::uint8_t>{'a', 'b', 'c', 'd'});
  stream.SetPosition(2);
  EXPECT_EQ(client_->SendStream(&stream), 4);
  EXPECT_EQ(stream.Position(), 2u);
  std::vector<std::uint8_t> received;
  ASSERT_TRUE(RunUntil([&] {
    ReadAvailable(peer.Get(), received);
    return received.size() >= 4;
  }));
  EXPECT_EQ(std::string(received.begin(), received.end()), "abcd");
}

// 555-byte messages as the V7 link sends them, each one different.
constexpr std::size_t kMessageSize = 555;

std::vector<std::uint8_t> Message(std::size_t index) {
  std::vector<std::uint8_t> m(kMessageSize);
  for (std::size_t i = 0; i < kMessageSize; ++i)
    m[i] = static_cast<std::uint8_t>(index * 7 + i);
  m[0] = static_cast<std::uint8_t>(index);
  m[1] = static_cast<std::uint8_t>(index >> 8);
  return m;
}

std::int32_t SendMessage(TSimpleTCPClient& client, std::size_t index) {
  MemoryStream stream(Message(index));
  return client.SendStream(&stream);
}

// The client's socket made to hold little, so that a server that does not read fills it soon.
void ShrinkSendBuffer(const TSimpleTCPClient& client) {
  const int size = 16384;
  ::setsockopt(client.Socket(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

class SimpleTcpClientSendTest : public SimpleTcpClientTest {
 protected:
  LoopbackServer slowServer_{16384};
};

TEST_F(SimpleTcpClientSendTest, BytesTheSocketCannotTakeFollowInOrder) {
  const Fd peer = Establish(slowServer_);
  ShrinkSendBuffer(*client_);
  const std::size_t total = (4u << 20) / kMessageSize;  // about 4 MiB
  const std::size_t keepLimit = TCustomSimpleSocket::kMaxPendingSendBytes / 2;

  // The server does not read yet: the socket fills up and the client keeps the rest.
  std::size_t next = 0;
  for (; next < 1500; ++next)
    ASSERT_EQ(SendMessage(*client_, next), 555) << next;
  ASSERT_GT(client_->PendingSendBytes(), 0u);

  // Now it reads, while the client goes on sending whenever it keeps less than the limit.
  std::vector<std::uint8_t> received;
  const auto serverReads = [&] { ReadAvailable(peer.Get(), received); };
  while (next < total) {
    if (client_->PendingSendBytes() < keepLimit) {
      ASSERT_EQ(SendMessage(*client_, next), 555) << next;
      ++next;
    } else {
      ASSERT_TRUE(RunUntil([&] {
        serverReads();
        return client_->PendingSendBytes() < keepLimit;
      }));
    }
  }
  ASSERT_TRUE(RunUntil(
      [&] {
        serverReads();
        return received.size() >= total * kMessageSize;
      },
      30000));

  ASSERT_EQ(received.size(), total * kMessageSize);
  for (std::size_t i = 0; i < total; ++i) {
    const std::vector<std::uint8_t> expected = Message(i);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(),
                           received.begin() + static_cast<std::ptrdiff_t>(i * kMessageSize)))
        << "message " << i;
  }
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(client_->PendingSendBytes(), 0u);
}

TEST_F(SimpleTcpClientSendTest, KeepingMoreThanTheBoundReleasesTheConnection) {
  Fd peer = Establish(slowServer_);
  ShrinkSendBuffer(*client_);

  std::size_t accepted = 0;
  std::int32_t result = 0;
  for (std::size_t i = 0; i < (8u << 20) / kMessageSize; ++i) {
    result = SendMessage(*client_, i);
    if (result != 555)
      break;
    ++accepted;
  }
  EXPECT_EQ(result, -1);
  EXPECT_GT(accepted * kMessageSize, TCustomSimpleSocket::kMaxPendingSendBytes);
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10055 No buffer space available"));
  ExpectIdle(*client_);
  EXPECT_EQ(client_->PendingSendBytes(), 0u);

  // The kept bytes went with the connection: a new one carries only what is sent on it.
  events_.clear();
  client_->SetConnected(true);
  const Fd second = slowServer_.Accept();
  ASSERT_GE(second.Get(), 0);
  ASSERT_TRUE(RunUntil([&] { return client_->Connected(); }));
  EXPECT_EQ(Send(*client_, "fresh"), 5);
  std::vector<std::uint8_t> received;
  ASSERT_TRUE(RunUntil([&] {
    ReadAvailable(second.Get(), received);
    return received.size() >= 5;
  }));
  RunFor(100);
  ReadAvailable(second.Get(), received);
  EXPECT_EQ(std::string(received.begin(), received.end()), "fresh");
}

}  // namespace
}  // namespace drvnt
