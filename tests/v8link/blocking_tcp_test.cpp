// The blocking TCP client against raw loopback sockets of the test's own.

#include "platform/blocking_tcp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace drvnt {
namespace {

using Wire = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

long MsSince(SteadyClock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t0).count());
}

class Listener {
 public:
  explicit Listener(int backlog = 4) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(fd_, backlog);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd_); }
  std::int32_t Port() const { return port_; }
  // The next connection, already made by the client.
  int Accept() const { return ::accept(fd_, nullptr, nullptr); }

 private:
  int fd_ = -1;
  std::int32_t port_ = 0;
};

void Send(int fd, const Wire& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// True when the peer of `fd` has closed (end of stream within a second).
bool SeesEndOfStream(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 1000) <= 0)
    return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

struct Connected {
  Listener listener;
  BlockingTcpClient client{TcpHooks{}};
  int peer = -1;
  Connected() {
    if (!client.Connect("127.0.0.1", listener.Port(), 2500, nullptr)) {
      throw std::runtime_error("no loopback connection");
    }
    peer = listener.Accept();
  }
  ~Connected() { ::close(peer); }
};

TEST(BlockingTcpRead, ReadsExactlyAndKeepsWhatArrived) {
  struct Case {
    const char* name;
    std::function<void(int peer)> script;
    int timeoutMs;
    std::size_t received;
    ReadEnd end;
  };
  const Case cases[] = {
      {"all at once",
       [](int p) {
         Send(p, {1, 2, 3, 4, 5});
       },
       1000, 5, ReadEnd::kComplete},
      {"in pieces",
       [](int p) {
         Send(p, {1, 2});
         std::this_thread::sleep_for(std::chrono::milliseconds(50));
         Send(p, {3, 4, 5, 6});  // one byte more than asked: it stays for the next read
       },
       1000, 5, ReadEnd::kComplete},
      {"time-out",
       [](int p) {
         Send(p, {1, 2, 3});
       },
       200, 3, ReadEnd::kTimedOut},
      {"peer closes",
       [](int p) {
         Send(p, {1, 2});
         ::shutdown(p, SHUT_WR);
       },
       1000, 2, ReadEnd::kClosed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connected conn;
    std::thread peer(c.script, conn.peer);
    Wire buf(5, 0);
    const auto t0 = SteadyClock::now();
    const ReadResult r = conn.client.ReadExactly(buf, c.timeoutMs);
    peer.join();
    EXPECT_EQ(r.received, c.received);
    EXPECT_EQ(r.end, c.end);
    for (std::size_t i = 0; i < r.received; ++i)
      EXPECT_EQ(buf[i], i + 1);
    if (c.end == ReadEnd::kTimedOut) {
      EXPECT_GE(MsSince(t0), c.timeoutMs - 20);
    }
  }
}

// Bytes that wait are counted without being taken: the next read still gets them. A closed peer
// and a closed client have none.
TEST(BlockingTcpRead, CountsWaitingBytesWithoutTakingThem) {
  Connected conn;
  EXPECT_EQ(conn.client.BytesWaiting(), 0u);
  Send(conn.peer, {1, 2, 3});
  const auto t0 = SteadyClock::now();
  while (conn.client.BytesWaiting() < 3 && MsSince(t0) < 1000)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(conn.client.BytesWaiting(), 3u);
  Wire buf(3, 0);
  EXPECT_EQ(conn.client.ReadExactly(buf, 100).received, 3u);
  EXPECT_EQ(buf, (Wire{1, 2, 3}));
  EXPECT_EQ(conn.client.BytesWaiting(), 0u);

  ::shutdown(conn.peer, SHUT_WR);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(conn.client.BytesWaiting(), 0u);  // the end of the stream is no byte
}

TEST(BlockingTcpWrite, WritesEverythingAndFailsOnceThePeerHasClosed) {
  Connected conn;
  const Wire big(300000, 0x5A);
  std::size_t got = 0;
  std::thread reader([&] {
    std::vector<std::uint8_t> buf(65536);
    while (got < big.size()) {
      const ssize_t n = ::recv(conn.peer, buf.data(), buf.size(), 0);
      if (n <= 0)
        return;
      got += static_cast<std::size_t>(n);
    }
  });
  EXPECT_TRUE(conn.client.WriteAll(big, 5000, nullptr));
  reader.join();
  EXPECT_EQ(got, big.size());

  ::close(conn.peer);
  conn.peer = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::string error;
  EXPECT_FALSE(conn.client.WriteAll(Wire{1, 2, 3}, 1000, &error));
  EXPECT_FALSE(error.empty());
}

// A peer that never reads: once the buffers of both ends are full a write can go no further. It
// gives up after its time-out, and Wake() ends it at once.
TEST(BlockingTcpWrite, APeerThatDoesNotReadCostsNoMoreThanTheTimeOutOrAWake) {
  const Wire big(16 << 20, 0x5A);  // more than the buffers of both ends hold
  {
    Connected conn;
    std::string error;
    const auto t0 = SteadyClock::now();
    EXPECT_FALSE(conn.client.WriteAll(big, 300, &error));
    EXPECT_GE(MsSince(t0), 280);
    EXPECT_LT(MsSince(t0), 3000);
    EXPECT_FALSE(error.empty());
  }
  {
    Connected conn;
    std::thread waker([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      conn.client.Wake();
    });
    const auto t0 = SteadyClock::now();
    EXPECT_FALSE(conn.client.WriteAll(big, 10000, nullptr));
    waker.join();
    EXPECT_LT(MsSince(t0), 2000);
  }
}

TEST(BlockingTcpHooks, AfterConnectRunsInsideConnectAndItsFaultFailsIt) {
  Listener listener;
  bool connectedInHook = false;
  int closes = 0;
  {
    BlockingTcpClient* self = nullptr;
    BlockingTcpClient client(
        TcpHooks{[&] { connectedInHook = self->IsConnected(); }, [&] { ++closes; }});
    self = &client;
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2500, nullptr));
    EXPECT_TRUE(connectedInHook);
    EXPECT_TRUE(client.IsConnected());
    client.Close();
    client.Close();
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(closes, 1);
    ::close(listener.Accept());

    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2500, nullptr));
    ::close(listener.Accept());
  }  // destroyed while connected: no on-close hook
  EXPECT_EQ(closes, 1);

  BlockingTcpClient failing(
      TcpHooks{[] { throw std::runtime_error("queue refused"); }, [&] { ++closes; }});
  std::string error;
  EXPECT_FALSE(failing.Connect("127.0.0.1", listener.Port(), 2500, &error));
  EXPECT_EQ(error, "queue refused");
  EXPECT_FALSE(failing.IsConnected());
  EXPECT_EQ(closes, 1);
  const int peer = listener.Accept();
  EXPECT_TRUE(SeesEndOfStream(peer));
  ::close(peer);
}

TEST(BlockingTcpConnect, HostNamesAndFailures) {
  Listener listener;
  int unused = 0;
  {
    Listener gone;
    unused = gone.Port();
  }
  struct Case {
    const char* host;
    std::int32_t port;
    bool ok;
  };
  const Case cases[] = {
      {"127.0.0.1", listener.Port(), true},
      {"localhost", listener.Port(), true},
      {"127.0.0.1", unused, false},  // refused
      {"host.invalid", listener.Port(), false},
      {"127.0.0.1", 0, false},
      {"127.0.0.1", 70000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
    BlockingTcpClient client{TcpHooks{}};
    std::string error;
    EXPECT_EQ(client.Connect(c.host, c.port, 2500, &error), c.ok) << error;
    EXPECT_EQ(client.IsConnected(), c.ok);
    EXPECT_EQ(error.empty(), c.ok);
    if (c.ok)
      ::close(listener.Accept());
  }
}

// A listener whose backlog is full lets a connect hang: the time-out ends it.
TEST(BlockingTcpConnect, GivesUpAfterItsTimeOut) {
  Listener listener(0);
  std::vector<std::unique_ptr<BlockingTcpClient>> fillers;
  bool full = false;
  while (!full && fillers.size() < 4) {
    fillers.push_back(std::make_unique<BlockingTcpClient>(TcpHooks{}));
    full = !fillers.back()->Connect("127.0.0.1", listener.Port(), 200, nullptr);
  }
  if (!full)
    GTEST_SKIP() << "this system completes connects beyond the backlog";
  BlockingTcpClient client{TcpHooks{}};
  const auto t0 = SteadyClock::now();
  std::string error;
  EXPECT_FALSE(client.Connect("127.0.0.1", listener.Port(), 1500, &error));
  EXPECT_GE(MsSince(t0), 1400);
  EXPECT_LT(MsSince(t0), 5000);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(error.empty());
}

// A name server that never answers holds the lookup; the connect gives up within its own time-out
// all the same, and while that lookup still hangs the next attempt starts no second one.
TEST(BlockingTcpConnect, LookupThatNeverAnswersEndsWithTheTimeOut) {
  std::mutex mutex;
  std::condition_variable answered;
  bool release = false;
  std::atomic<int> lookups = 0, running = 0;
  TcpHooks hooks;
  hooks.lookup = [&](const std::string&) -> std::optional<std::uint32_t> {
    ++lookups;
    ++running;
    std::unique_lock lock(mutex);
    answered.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    --running;
    return std::nullopt;
  };
  {
    BlockingTcpClient client{hooks};
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::string error;
      EXPECT_FALSE(client.Connect("v8-server.test", 12543, 300, &error));
      EXPECT_NE(error.find("host not found"), std::string::npos) << error;
      EXPECT_EQ(running, 1);  // the lookup still hangs, but the connect has given up
    }
    EXPECT_EQ(lookups, 1);
  }
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  answered.notify_all();
  // The lookup's thread outlives the client; it must end without touching it.
  for (int i = 0; i < 500 && running > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(running, 0);
}

TEST(BlockingTcpWake, EndsABlockedReadAndEveryLaterCall) {
  Connected conn;
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    conn.client.Wake();
  });
  Wire buf(21);
  const auto t0 = SteadyClock::now();
  const ReadResult r = conn.client.ReadExactly(buf, 5000);
  waker.join();
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(r.end, ReadEnd::kError);
  EXPECT_FALSE(conn.client.WriteAll(Wire{1}, 1000, nullptr));
  EXPECT_FALSE(conn.client.Connect("127.0.0.1", conn.listener.Port(), 2500, nullptr));
}

}  // namespace
}  // namespace drvnt
