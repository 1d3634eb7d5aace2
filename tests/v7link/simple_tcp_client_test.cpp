// The V7 client against loopback servers written here with plain POSIX sockets, well-behaved and
// not: servers that stop reading, close or reset at awkward moments, flood the link, never answer
// a connect, and a name server that never answers. The servers encode and check bytes themselves;
// the client runs on the real Qt event loop. They listen on 127.0.0.2, an address of their own.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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

// The servers' own loopback address, never 127.0.0.1 where a real server may listen.
constexpr std::uint32_t kServerAddress = 0x7F000002;
constexpr char kServerHost[] = "127.0.0.2";

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(kServerAddress);
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

// A listening socket on the servers' address at a port the system chose.
class LoopbackServer {
 public:
  // A small receive buffer keeps what the system holds for a server that does not read small.
  explicit LoopbackServer(int receiveBuffer = 0, int backlog = 8)
      : listen_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0) {
      ::setsockopt(listen_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const sockaddr_in sa = Loopback(0);
    ::bind(listen_.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    ::listen(listen_.Get(), backlog);
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
    StartTo(*client_, kServerHost, server.Port());
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
  StartTo(*client_, kServerHost, UnusedPort());
  ASSERT_TRUE(RunUntilEvents(2));
  RunFor(50);
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10061 Connection refused"));
  ExpectIdle(*client_);
}

TEST_F(SimpleTcpClientTest, SecondRequestWhileConnectingMakesNoSecondAttempt) {
  StartTo(*client_, kServerHost, server_.Port());
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

// Which hosts go through the lookup and which do not: a name is looked up off the main thread and
// the connect follows once its answer is back.
TEST_F(SimpleTcpClientTest, OnlyHostNamesGoThroughTheLookup) {
  struct Case {
    const char* host;
    int lookups;
  };
  for (const Case& c : {Case{kServerHost, 0}, Case{"v7-server.test", 1}}) {
    SCOPED_TRACE(c.host);
    std::atomic<int> lookups = 0;
    auto client = MakeClient([&](const std::string&) -> std::optional<std::uint32_t> {
      ++lookups;
      return kServerAddress;
    });
    StartTo(*client, c.host, server_.Port());
    EXPECT_TRUE(RunUntil([&] { return server_.HasWaitingConnection(0); }));
    const Fd peer = server_.Accept();
    EXPECT_GE(peer.Get(), 0);
    EXPECT_TRUE(RunUntil([&] { return client->Connected(); }));
    EXPECT_EQ(lookups, c.lookups);
  }
}

TEST_F(SimpleTcpClientTest, UnknownHostIsABadAddressAndLeavesTheClientIdle) {
  client_ = MakeClient([](const std::string&) { return std::optional<std::uint32_t>(); });
  StartTo(*client_, "no-such-host.test", server_.Port());
  // No socket was made, so nothing is disconnected.
  ASSERT_TRUE(RunUntilEvents(1));
  EXPECT_THAT(events_, ElementsAre("error 10014 Bad address"));
  ExpectIdle(*client_);
  EXPECT_FALSE(server_.HasWaitingConnection(50));
}

TEST_F(SimpleTcpClientTest, WithoutOnErrorAFailureBecomesAnException) {
  client_->OnError = nullptr;
  StartTo(*client_, kServerHost, server_.Port());
  // From the caller's own call, the exception reaches the caller.
  try {
    Send(*client_, "early");
    FAIL() << "no exception";
  } catch (const SimpleSocketError& e) {
    EXPECT_STREQ(e.what(), "Socket is not connected");
  }
  ExpectIdle(*client_);

  // Inside a notification it reaches the error report instead of the event loop.
  StartTo(*client_, kServerHost, UnusedPort());
  ASSERT_TRUE(RunUntil([&] { return !exceptions_.empty(); }));
  EXPECT_THAT(exceptions_, ElementsAre("Connection refused"));
  ExpectIdle(*client_);
}

// A name server that reads queries and never answers, on a UDP socket of the test's own, and the
// lookup the test names it in: it asks that server and waits for a reply as long as a resolver
// would (about a second here), counting its queries.
class SilentNameServer {
 public:
  SilentNameServer() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in sa = Loopback(0);
    ::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    port_ = BoundPort(socket_.Get());
  }
  ~SilentNameServer() {
    // A lookup thread must not outlive what it counts with.
    RunUntil([&] { return running_ == 0; }, 5000);
  }

  sock::HostResolver Lookup() {
    return [this](const std::string& host) -> std::optional<std::uint32_t> {
      ++running_;
      Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      const sockaddr_in to = Loopback(port_);
      // Enough of a query for a server that only reads: an id, flags, one question.
      std::string query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
      query += static_cast<char>(host.size()) + host + std::string("\0\0\x01\0\x01", 5);
      ::sendto(s.Get(), query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
      WaitReadable(s.Get(), 1000);
      --running_;
      return std::nullopt;
    };
  }

  // Queries that have reached the server so far.
  int Queries() {
    char buffer[512];
    while (::recv(socket_.Get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0)
      ++queries_;
    return queries_;
  }
  bool LookupRunning() const { return running_ > 0; }

 private:
  Fd socket_;
  std::uint16_t port_ = 0;
  int queries_ = 0;
  std::atomic<int> running_ = 0;
};

// The lookup runs while the main thread goes on; one that takes longer than its bound fails, and
// while it still hangs no second one starts.
TEST_F(SimpleTcpClientTest, NameServerThatNeverAnswersDoesNotHoldUpTheMainThread) {
  SilentNameServer nameServer;
  client_ = MakeClient(nameServer.Lookup());
  client_->LookupTimeoutMs = 200;
  int ticks = 0;
  const auto timer = loop_.CreateTimer([&] { ++ticks; });
  timer->Start(10);

  StartTo(*client_, "v7-server.test", server_.Port());
  EXPECT_TRUE(events_.empty());  // the call returned before any answer
  EXPECT_TRUE(client_->ConnectRequested());
  ASSERT_TRUE(RunUntil([&] { return nameServer.Queries() == 1 && ticks >= 5; }));
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(nameServer.LookupRunning());

  ASSERT_TRUE(RunUntilEvents(1));
  EXPECT_THAT(events_, ElementsAre("error 10014 Bad address"));
  ExpectIdle(*client_);

  // The next attempt while that lookup still hangs waits for it instead of asking again.
  ASSERT_TRUE(nameServer.LookupRunning());
  client_->SetConnected(true);
  ASSERT_TRUE(RunUntilEvents(2));
  EXPECT_EQ(nameServer.Queries(), 1);
  EXPECT_FALSE(server_.HasWaitingConnection(0));
}

// A server whose listening queue is full never answers a connect: the attempt fails after its
// bound instead of the system's two minutes, so that the owner can try again.
TEST_F(SimpleTcpClientTest, ConnectWithoutAnswerTimesOut) {
  LoopbackServer full(0, 0);
  std::vector<Fd> fillers;
  for (int i = 0; i < 2; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    const sockaddr_in sa = Loopback(full.Port());
    ::connect(fillers.back().Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  }
  client_->ConnectTimeoutMs = 300;
  StartTo(*client_, kServerHost, full.Port());
  ASSERT_TRUE(RunUntilEvents(2));
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10060 Connection timed out"));
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
  client_->SetHost(kServerHost);
  client_->SetPort(server_.Port());

  EXPECT_EQ(client_->Host(), kServerHost);
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

// A send into a connection the server has already ended takes nothing, whether the server closed
// in order (the system would take the bytes and lose them) or reset it, and never raises SIGPIPE
// (which would end this test program). The close notification still releases the connection.
TEST_F(SimpleTcpClientTest, SendAfterThePeerHasEndedTakesNothing) {
  struct Case {
    const char* name;
    bool reset;
    std::vector<std::string> eventsAtOnce;
  };
  const Case cases[] = {
      {"closed in order", false, {}},
      {"reset", true, {"disconnected", "error 10054 Connection reset by peer"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fd peer = Establish(server_);
    const int clientSocket = client_->Socket();
    if (c.reset) {
      CloseWithReset(peer);
    } else {
      ::shutdown(peer.Get(), SHUT_WR);
    }
    // The end has reached the client's socket; the client has not yet handled it.
    ASSERT_TRUE(WaitReadable(clientSocket, 5000));
    EXPECT_EQ(Send(*client_, "event"), -1);
    // A reset released the connection at once; after an orderly close it waits for its notice.
    EXPECT_EQ(Send(*client_, "event"), c.reset ? 0 : -1);
    EXPECT_EQ(events_, c.eventsAtOnce);
    if (!c.reset) {
      ASSERT_TRUE(RunUntilEvents(1));
      EXPECT_THAT(events_, ElementsAre("disconnected"));
      std::vector<std::uint8_t> received;
      ReadAvailable(peer.Get(), received);
      EXPECT_TRUE(received.empty());
    }
    ExpectIdle(*client_);
    events_.clear();
  }
}

// The end is in order, never a reset, which would make the peer's system discard what it took
// and the peer has not read: the peer reads what was sent, then the end of the stream.
TEST_F(SimpleTcpClientTest, DestructionWhileConnectedEndsInOrderWithoutDisconnected) {
  const Fd peer = Establish(server_);
  const std::vector<std::uint8_t> sent = {'a', 'b', 'c'};
  MemoryStream stream(sent);
  ASSERT_EQ(client_->SendStream(&stream), 3);
  client_.reset();
  EXPECT_TRUE(events_.empty());

  ASSERT_TRUE(WaitReadable(peer.Get(), 5000));
  char buf[8];
  EXPECT_EQ(::recv(peer.Get(), buf, sizeof buf, 0), 3);
  EXPECT_EQ(::recv(peer.Get(), buf, sizeof buf, 0), 0) << "a reset: " << errno;
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
  StartTo(*client_, kServerHost, server_.Port());
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
  StartTo(*client_, kServerHost, server_.Port());
  EXPECT_EQ(Send(*client_, "early"), -1);
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10057 Socket is not connected"));
  ExpectIdle(*client_);
}

// The link greets the server from its connected handler.
TEST_F(SimpleTcpClientTest, ConnectedHandlerCanSendAtOnce) {
  client_->OnConnected = [this](TSimpleTCPClient& sender) {
    events_.push_back("connected " + std::to_string(Send(sender, "greeting")));
  };
  StartTo(*client_, kServerHost, server_.Port());
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

// Sends messages while the server does not read until one is not taken whole; returns the
// indexes taken whole and the result for the first that was not.
std::pair<std::vector<std::size_t>, std::int32_t> FillUntilRefused(TSimpleTCPClient& client) {
  std::vector<std::size_t> taken;
  for (std::size_t i = 0; i < (4u << 20) / kMessageSize; ++i) {
    const std::int32_t result = SendMessage(client, i);
    if (result != static_cast<std::int32_t>(kMessageSize))
      return {taken, result};
    taken.push_back(i);
  }
  return {taken, static_cast<std::int32_t>(kMessageSize)};
}

// A server that stops reading: a message counts as sent only when the socket took all of it. One it
// took in part is not sent (its owner keeps it), yet its rest goes out before anything else so the
// server's 555-byte framing holds; while that rest waits, nothing else is taken.
TEST_F(SimpleTcpClientSendTest, MessageTheSocketTakesOnlyInPartCountsAsNotSentAndItsRestGoesFirst) {
  const Fd peer = Establish(slowServer_);
  ShrinkSendBuffer(*client_);
  const auto [taken, result] = FillUntilRefused(*client_);
  ASSERT_GE(result, 0);
  ASSERT_LT(result, static_cast<std::int32_t>(kMessageSize));
  ASSERT_FALSE(taken.empty());
  const bool cut = result > 0;
  EXPECT_EQ(client_->PendingSendBytes(), cut ? kMessageSize - static_cast<std::size_t>(result) : 0);
  EXPECT_EQ(SendMessage(*client_, 90000),
            0);  // takes nothing behind the kept rest or a full socket
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(client_->Connected());

  // The server reads again: every message taken, then the cut one whole, and nothing else.
  std::vector<std::size_t> expected = taken;
  if (cut)
    expected.push_back(taken.size());
  std::vector<std::uint8_t> received;
  ASSERT_TRUE(RunUntil([&] {
    ReadAvailable(peer.Get(), received);
    return received.size() >= expected.size() * kMessageSize && client_->PendingSendBytes() == 0;
  }));
  // Now the socket takes messages whole again, in order behind the others.
  ASSERT_EQ(SendMessage(*client_, 70000), static_cast<std::int32_t>(kMessageSize));
  expected.push_back(70000);
  ASSERT_TRUE(RunUntil([&] {
    ReadAvailable(peer.Get(), received);
    return received.size() >= expected.size() * kMessageSize;
  }));
  RunFor(50);
  ReadAvailable(peer.Get(), received);
  ASSERT_EQ(received.size(), expected.size() * kMessageSize);
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const std::vector<std::uint8_t> m = Message(expected[k]);
    ASSERT_TRUE(std::equal(m.begin(), m.end(),
                           received.begin() + static_cast<std::ptrdiff_t>(k * kMessageSize)))
        << "message " << k;
  }
  EXPECT_TRUE(events_.empty());
}

// A server that accepts, never reads, then resets: what the client still kept of a cut message goes
// with the connection, and a line on standard error says so; the owner still has the message.
TEST_F(SimpleTcpClientSendTest, ConnectionEndingWithTheRestOfAMessageKeptSaysSo) {
  Fd peer = Establish(slowServer_);
  ShrinkSendBuffer(*client_);
  const std::string large(1u << 20, 'x');  // far more than the socket can hold
  const std::int32_t taken = Send(*client_, large);
  ASSERT_GT(taken, 0);
  ASSERT_LT(taken, static_cast<std::int32_t>(large.size()));
  EXPECT_EQ(client_->PendingSendBytes(), large.size() - static_cast<std::size_t>(taken));

  ::testing::internal::CaptureStderr();
  CloseWithReset(peer);
  ASSERT_TRUE(RunUntilEvents(2));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(events_, ElementsAre("disconnected", "error 10054 Connection reset by peer"));
  EXPECT_NE(err.find("V7 link: connection ended with the last " +
                     std::to_string(large.size() - static_cast<std::size_t>(taken)) + " bytes"),
            std::string::npos)
      << err;
  EXPECT_EQ(client_->PendingSendBytes(), 0u);
  ExpectIdle(*client_);
}

// Releasing an established connection ends it in order, never by a reset, which would make the
// server discard what it took and has not read; a line on standard error tells how much the server
// had not acknowledged yet.
TEST_F(SimpleTcpClientSendTest, ReleaseSaysHowMuchTheServerHadNotAcknowledged) {
  const Fd peer = Establish(slowServer_);
  ShrinkSendBuffer(*client_);
  FillUntilRefused(*client_);
  ::testing::internal::CaptureStderr();
  client_->SetConnected(false);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("bytes the server had not acknowledged"), std::string::npos) << err;
  EXPECT_THAT(events_, ElementsAre("disconnected"));
}

// A server that floods the link with junk: one notification takes a bounded piece and the event
// loop serves its timers between pieces, so neither time nor memory grows with the flood.
TEST_F(SimpleTcpClientTest, FloodingServerIsReadInBoundedPieces) {
  Fd peer = Establish(server_);
  // Room for much more than one piece waiting at the client.
  const int large = 4 << 20;
  ::setsockopt(client_->Socket(), SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
  constexpr std::size_t kFlood = 48u << 20;
  std::atomic<bool> flooding = true;
  std::thread flood([&] {
    const std::vector<std::uint8_t> junk(64 * 1024, 0xA5);
    std::size_t sent = 0;
    while (sent < kFlood) {
      pollfd p{peer.Get(), POLLOUT, 0};
      if (::poll(&p, 1, 5000) <= 0)
        break;
      const ssize_t n = ::send(peer.Get(), junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (errno != EAGAIN)
        break;
    }
    flooding = false;
  });
  // The client's socket fills before its loop runs again.
  int queued = 0;
  for (int i = 0; i < 2000 && queued < 256 * 1024; ++i) {
    ::ioctl(client_->Socket(), FIONREAD, &queued);
    ::usleep(1000);
  }

  std::size_t largest = 0, total = 0;
  client_->OnRead = [&](TSimpleTCPClient&, MemoryStream& stream) {
    largest = std::max(largest, stream.Size());
    total += stream.Size();
  };
  int ticksWhileFlooding = 0;
  const auto timer = loop_.CreateTimer([&] { ticksWhileFlooding += flooding ? 1 : 0; });
  timer->Start(5);
  const bool done = RunUntil([&] { return !flooding && total >= kFlood; }, 30000);
  flood.join();
  ASSERT_TRUE(done) << total;
  EXPECT_LE(largest, static_cast<std::size_t>(TCustomSimpleSocket::kMaxReadPerNotification));
  EXPECT_GE(ticksWhileFlooding, 3);
  EXPECT_TRUE(client_->Connected());
}

}  // namespace
}  // namespace drvnt
